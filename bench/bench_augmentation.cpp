// Throughput of the augmentation enumeration, the hot loop of training-data generation: variants
// per second for a 1280 x 960 photo-like source with the default settings (20 variants) and with
// a 0.2 contrast step (59), on one thread and on two side by side, plus the cost of each
// transform, the gain over a literal enumeration that copies at every identity step, and the
// two-thread figure again with OpenCV's own threading switched off.
//
// Run: build/bench/bench_augmentation [seconds per figure, default 3]

#include "augmentation_enumerator.h"
#include "augmentation_settings.h"
#include "augmentation_transforms.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using T = AugmentationTransforms;

// A deterministic stand-in for a photograph: sky and ground gradients, shaded shapes, sensor
// grain and a slight softening, so no transform meets flat or trivially compressible pixels.
cv::Mat photoLikeImage()
{
    const int width = 1280, height = 960;
    cv::Mat img(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        auto* row = img.ptr<cv::Vec3b>(y);
        const double t = double(y) / height;
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            if (t < 0.55)
                row[x] = cv::Vec3b(uchar(230 - 90 * t), uchar(190 - 60 * t + 20 * u), uchar(140 - 40 * t));
            else
                row[x] = cv::Vec3b(uchar(40 + 30 * u), uchar(90 + 50 * (1 - t)), uchar(60 + 40 * t));
        }
    }
    cv::RNG rng(20240607);
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const cv::Size axes(rng.uniform(20, 180), rng.uniform(20, 140));
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        cv::ellipse(img, centre, axes, rng.uniform(0, 180), 0, 360, colour, cv::FILLED, cv::LINE_AA);
        cv::ellipse(img, centre, axes / 2, 0, 0, 360, colour * 0.6, cv::FILLED, cv::LINE_AA);
    }
    for (int i = 0; i < 15; ++i) {
        std::vector<cv::Point> poly;
        for (int k = 0; k < 5; ++k)
            poly.emplace_back(rng.uniform(0, width), rng.uniform(0, height));
        cv::polylines(img, poly, true, cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)),
                      rng.uniform(1, 6), cv::LINE_AA);
    }
    cv::Mat grain(img.size(), CV_16SC3);
    rng.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
    cv::Mat wide;
    img.convertTo(wide, CV_16SC3);
    wide += grain;
    wide.convertTo(img, CV_8UC3);
    cv::GaussianBlur(img, img, cv::Size(3, 3), 0.8);
    return img;
}

// The enumeration as its description reads, copying at every step (source, noise 0, blur 1,
// gain 1.0): the baseline the copy-avoiding enumerator is compared with.
int literalEnumeration(const cv::Mat& image, const AugmentationSettings& s)
{
    int produced = 0;
    const cv::Mat source = image.clone();
    const double noiseLast = s.noiseEnabled ? s.noiseMax : 0.0;
    const int blurLast = s.blurEnabled ? int(s.blurMax) : 1;
    const int angleFirst = s.rotationEnabled ? int(s.rotationMin) : 0;
    const int angleLast = s.rotationEnabled ? int(s.rotationMax) : 0;
    const double gainFirst = s.contrastEnabled ? s.contrastMin : 1.0;
    const double gainLast = s.contrastEnabled ? s.contrastMax : 1.0;
    const int h = s.flipHorizontalEnabled ? 1 : 0, v = s.flipVerticalEnabled ? 1 : 0;
    std::vector<cv::Mat> out;
    for (double n = 0.0; n <= noiseLast; n += s.noiseStep) {
        const cv::Mat a = T::noise(source, n);
        for (int b = 1; b <= blurLast; b += int(s.blurStep)) {
            const cv::Mat scaled = T::scaled(T::blur(a, b));
            for (int r = angleFirst; r <= angleLast; r += int(s.rotationStep)) {
                const cv::Mat rotated = T::rotation(scaled, r);
                for (double g = gainFirst; g <= gainLast; g += s.contrastStep) {
                    const cv::Mat gained = T::contrast(rotated, g);
                    for (int x = 0; x <= h; ++x) {
                        const cv::Mat mirrored = T::flipHorizontal(gained, x);
                        for (int y = 0; y <= v; ++y) {
                            if (n == 0.0 && b == 1 && g == 1.0 && r == 0 && x == 0 && y == 0)
                                continue;
                            out.push_back(T::flipVertical(mirrored, y));
                            ++produced;
                        }
                    }
                }
            }
        }
    }
    return produced;
}

// Runs one enumeration of the source again and again for about `seconds`; variants per second.
double variantsPerSecond(const std::function<int()>& once, double seconds)
{
    once(); // warm-up: allocator, OpenCV's thread pool
    int variants = 0;
    const auto start = Clock::now();
    double elapsed = 0.0;
    do {
        variants += once();
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < seconds);
    return variants / elapsed;
}

double milliseconds(const std::function<void()>& call, int repeats)
{
    call();
    const auto start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        call();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / repeats;
}

int enumerateOnce(const cv::Mat& source, const AugmentationSettings& settings)
{
    std::atomic<bool> running{true};
    return int(AugmentationEnumerator::collect(source, settings, running).size());
}

// Two threads, each enumerating its own copy of the source, as a generation pool would.
double twoThreadVariantsPerSecond(const cv::Mat& source, const AugmentationSettings& settings, double seconds)
{
    std::atomic<int> variants{0};
    const auto start = Clock::now();
    auto work = [&] {
        const cv::Mat own = source.clone();
        while (std::chrono::duration<double>(Clock::now() - start).count() < seconds)
            variants += enumerateOnce(own, settings);
    };
    std::thread first(work), second(work);
    first.join();
    second.join();
    return variants / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 3.0;
    const cv::Mat source = photoLikeImage();
    std::printf("augmentation benchmark: source %dx%d, %.1f s per figure, OpenCV threads %d\n", source.cols,
                source.rows, seconds, cv::getNumThreads());

    const cv::Mat scaled = T::scaled(source);
    const cv::Mat rotated = T::rotation(scaled, 90);
    std::printf("\nper transform (ms per call)\n");
    std::printf("  noise sigma 10, 1280x960     %8.2f\n", milliseconds([&] { T::noise(source, 10); }, 10));
    std::printf("  blur kernel 9, 1280x960      %8.2f\n", milliseconds([&] { T::blur(source, 9); }, 10));
    std::printf("  scale to 608x608             %8.2f\n", milliseconds([&] { T::scaled(source); }, 50));
    std::printf("  rotation 90, 608x608         %8.2f\n", milliseconds([&] { T::rotation(scaled, 90); }, 50));
    std::printf("  rotation 45, 608x608         %8.2f\n", milliseconds([&] { T::rotation(scaled, 45); }, 50));
    std::printf("  contrast 0.2, 609x609        %8.2f\n", milliseconds([&] { T::contrast(rotated, 0.2); }, 100));
    std::printf("  flip horizontal, 609x609     %8.2f\n", milliseconds([&] { T::flipHorizontal(rotated, 1); }, 100));

    AugmentationSettings defaults;
    AugmentationSettings fineContrast;
    fineContrast.contrastStep = 0.2;
    AugmentationSettings onlyFlips;
    onlyFlips.rotationEnabled = onlyFlips.contrastEnabled = onlyFlips.noiseEnabled = onlyFlips.blurEnabled = false;
    onlyFlips.flipHorizontalEnabled = onlyFlips.flipVerticalEnabled = true;

    struct Case { const char* name; AugmentationSettings settings; };
    const Case cases[] = {{"defaults", defaults}, {"contrast step 0.2", fineContrast}, {"only flips", onlyFlips}};
    std::printf("\nvariants per second (variants per source in brackets)\n");
    std::printf("  %-20s %10s %10s %8s %10s %8s\n", "settings", "literal", "enumerator", "ratio", "2 threads",
                "ratio");
    for (const Case& c : cases) {
        const double literal = variantsPerSecond([&] { return literalEnumeration(source, c.settings); }, seconds);
        const double single = variantsPerSecond([&] { return enumerateOnce(source, c.settings); }, seconds);
        const double pair = twoThreadVariantsPerSecond(source, c.settings, seconds);
        std::printf("  %-16s(%2lld) %10.1f %10.1f %7.2fx %10.1f %7.2fx\n", c.name,
                    AugmentationEnumerator::count(c.settings), literal, single, single / literal, pair, pair / single);
    }

    // A generation pool runs one enumeration per core; OpenCV's own threads then compete with it.
    cv::setNumThreads(1);
    const double single = variantsPerSecond([&] { return enumerateOnce(source, defaults); }, seconds);
    const double pair = twoThreadVariantsPerSecond(source, defaults, seconds);
    std::printf("\nwith OpenCV single-threaded, defaults: 1 thread %.1f, 2 threads %.1f (%.2fx)\n", single, pair,
                pair / single);
    return 0;
}
