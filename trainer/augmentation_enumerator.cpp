#include "augmentation_enumerator.h"

#include "augmentation_transforms.h"

#include <algorithm>
#include <array>

namespace {

using T = AugmentationTransforms;

// The values each loop takes, worked out once from the settings. Values pass through the
// widgets' limits first, so settings made in code cannot make a loop endless or huge.
struct Plan
{
    std::vector<double> noiseLevels;
    std::vector<int> blurKernels;
    std::vector<int> angles;
    std::vector<double> gains;
    int mirrorsHorizontal = 0; // 0, or 1 to add the mirrored variants
    int mirrorsVertical = 0;

    explicit Plan(const AugmentationSettings& s)
    {
        namespace L = AugmentationLimits;

        const double noiseLast = s.noiseEnabled ? L::noiseMax.normalise(s.noiseMax) : 0.0;
        const double noiseStep = L::noiseStep.normalise(s.noiseStep);
        for (double n = 0.0; n <= noiseLast; n += noiseStep)
            noiseLevels.push_back(n);

        // Integer parts truncate toward zero.
        const int blurLast = s.blurEnabled ? int(L::blurKernel.normalise(s.blurMax)) : 1;
        const int blurStep = int(L::blurKernel.normalise(s.blurStep));
        for (int b = 1; b <= blurLast; b += blurStep)
            blurKernels.push_back(b);

        const int angleFirst = s.rotationEnabled ? int(L::rotationAngle.normalise(s.rotationMin)) : 0;
        const int angleLast = s.rotationEnabled ? int(L::rotationAngle.normalise(s.rotationMax)) : 0;
        const int angleStep = int(L::rotationStep.normalise(s.rotationStep));
        for (int r = angleFirst; r <= angleLast; r += angleStep)
            angles.push_back(r);

        // Repeated addition, so 0.2 by 0.2 reaches exactly 1.0 and then 1.2.
        const double gainFirst = s.contrastEnabled ? L::contrastMin.normalise(s.contrastMin) : 1.0;
        const double gainLast = s.contrastEnabled ? L::contrastMax.normalise(s.contrastMax) : 1.0;
        const double gainStep = L::contrastStep.normalise(s.contrastStep);
        for (double g = gainFirst; g <= gainLast; g += gainStep)
            gains.push_back(g);

        mirrorsHorizontal = s.flipHorizontalEnabled ? 1 : 0;
        mirrorsVertical = s.flipVerticalEnabled ? 1 : 0;
    }

    // The pass whose unmirrored variant is the source itself, which is left out.
    static bool isIdentityPass(double noise, int blur, int angle, double gain)
    {
        return noise == 0.0 && blur == 1 && angle == 0 && gain == 1.0;
    }
};

// Hands out the mirror variants of one pass (left-right flag outer, upside-down inner). All of
// them exist before the first is handed out, so a sink that edits its variant cannot disturb
// the next one (flag 0 shares the pixels of its input).
int emitMirrors(const cv::Mat& gained, const Plan& plan, bool identityPass,
                const AugmentationEnumerator::VariantSink& sink)
{
    std::array<cv::Mat, 4> variants;
    int count = 0;
    for (int x = 0; x <= plan.mirrorsHorizontal; ++x) {
        const cv::Mat mirrored = T::flipHorizontal(gained, x);
        for (int y = 0; y <= plan.mirrorsVertical; ++y) {
            if (identityPass && x == 0 && y == 0)
                continue;
            variants[count++] = T::flipVertical(mirrored, y);
        }
    }
    for (int i = 0; i < count; ++i)
        sink(std::move(variants[i]));
    return count;
}

} // namespace

int AugmentationEnumerator::enumerate(const cv::Mat& source, const AugmentationSettings& settings,
                                      const KeepRunning& keepRunning, const VariantSink& sink)
{
    const cv::Mat bgr = T::toBgr8(source);
    if (bgr.empty())
        return 0;
    const Plan plan(settings);
    int produced = 0;

    // Identity steps (noise 0, blur 1, gain 1.0, mirror flag 0) reuse their input instead of
    // copying it; only the scaling, the rotation and any real transform allocate pixels.
    for (const double noise : plan.noiseLevels) {
        if (!keepRunning())
            break;
        const cv::Mat noisy = noise == 0.0 ? bgr : T::noise(bgr, noise);
        for (const int kernel : plan.blurKernels) {
            if (!keepRunning())
                break;
            const cv::Mat scaled = T::scaled(kernel <= 1 ? noisy : T::blur(noisy, kernel));
            for (const int angle : plan.angles) {
                if (!keepRunning())
                    break;
                const cv::Mat rotated = T::rotation(scaled, angle);
                for (size_t gi = 0; gi < plan.gains.size(); ++gi) {
                    if (!keepRunning())
                        break;
                    const double gain = plan.gains[gi];
                    // The rotated image may become a variant itself only when no later gain
                    // still reads it, so that every variant owns its pixels.
                    const bool lastGain = gi + 1 == plan.gains.size();
                    const cv::Mat gained = gain == 1.0 && lastGain ? rotated : T::contrast(rotated, gain);

                    produced += emitMirrors(gained, plan, Plan::isIdentityPass(noise, kernel, angle, gain), sink);
                }
            }
        }
    }
    return produced;
}

int AugmentationEnumerator::enumerate(const cv::Mat& source, const AugmentationSettings& settings,
                                      const std::atomic<bool>& running, const VariantSink& sink)
{
    return enumerate(source, settings, [&running] { return running.load(); }, sink);
}

std::vector<cv::Mat> AugmentationEnumerator::collect(const cv::Mat& source, const AugmentationSettings& settings,
                                                     const KeepRunning& keepRunning,
                                                     const std::function<void()>& afterEach)
{
    std::vector<cv::Mat> variants;
    // Reserve for the usual few dozen, not for whatever extreme settings promise.
    variants.reserve(size_t(std::min<long long>(count(settings), 1024)));
    enumerate(source, settings, keepRunning, [&](cv::Mat variant) {
        variants.push_back(std::move(variant));
        if (afterEach)
            afterEach();
    });
    return variants;
}

std::vector<cv::Mat> AugmentationEnumerator::collect(const cv::Mat& source, const AugmentationSettings& settings,
                                                     const std::atomic<bool>& running)
{
    return collect(source, settings, [&running] { return running.load(); });
}

long long AugmentationEnumerator::count(const AugmentationSettings& settings)
{
    const Plan plan(settings);
    const size_t passes = plan.noiseLevels.size() * plan.blurKernels.size() * plan.angles.size() * plan.gains.size();
    const size_t mirrors = size_t(plan.mirrorsHorizontal + 1) * size_t(plan.mirrorsVertical + 1);
    size_t total = passes * mirrors;
    // The untouched image is the one combination left out, when the loops reach it.
    bool untouchedReached = false;
    for (const int angle : plan.angles)
        for (const double gain : plan.gains)
            untouchedReached = untouchedReached || Plan::isIdentityPass(0.0, 1, angle, gain);
    if (untouchedReached && !plan.noiseLevels.empty() && !plan.blurKernels.empty())
        --total;
    return static_cast<long long>(total);
}
