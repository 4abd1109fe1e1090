#include "validation_evaluator.h"

#include "darknet_input.h"
#include "text_lines.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Images prepared together before the network runs over them.
constexpr int kChunkImages = 64;

} // namespace

ValidationSet ValidationSet::load(const DataFile& data, const TrainSet& train, std::vector<std::string>* warnings)
{
    ValidationSet set;
    std::vector<std::string> listed;
    if (data.validList.empty() || data.validList == data.trainList || !TextLines::readList(data.validList, &listed))
        return set;
    std::vector<std::string> trained;
    if (TextLines::readList(data.trainList, &trained) && trained == listed)
        return set;
    for (const std::string& path : listed) {
        const int cls = TrainSet::classOfPath(path, train.labels);
        if (cls < 0) {
            warnings->push_back("validation image " + path + (cls == -1 ? " contains no label" : " contains several labels") +
                                "; skipped");
            continue;
        }
        set.paths.push_back(path);
        set.classOf.push_back(cls);
    }
    // Below this one image is worth over 2 %, and the best of many evaluations flatters.
    constexpr size_t kSmallSetImages = 50;
    if (!set.paths.empty() && set.paths.size() < kSmallSetImages)
        warnings->push_back("the validation set holds only " + std::to_string(set.paths.size()) + " images (fewer than " +
                            std::to_string(kSmallSetImages) +
                            "): its accuracy is coarse and its best value flatters; hold out more images");
    return set;
}

std::string ValidationSet::identity() const
{
    // FNV-1a over every path and its class.
    uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](const std::string& text) {
        for (const unsigned char c : text + '\n')
            hash = (hash ^ c) * 1099511628211ull;
    };
    for (size_t i = 0; i < paths.size(); ++i)
        add(paths[i] + '\t' + std::to_string(classOf[i]));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

ValidationEvaluator::ValidationEvaluator(const ValidationSet& set, int classes, int netWidth, int netHeight,
                                         int passImages, int threads)
    : set(set), classes(classes), netWidth(netWidth), netHeight(netHeight), inputsPerImage(3 * netWidth * netHeight),
      passImages(std::max(1, passImages)), threads(std::max(1, threads)),
      cacheAll(double(set.paths.size()) * double(inputsPerImage) * sizeof(float) <= kCacheBytes),
      cache(cacheAll ? set.paths.size() : 0), unreadable(set.paths.size(), 0)
{
}

cv::Mat ValidationEvaluator::serverInput(const cv::Mat& bgr, int width, int height)
{
    const double factor = double(kServerLongSide) / double(std::max(bgr.cols, bgr.rows));
    const cv::Size scaled(int(bgr.cols * factor), int(bgr.rows * factor));
    if (scaled.width < 1 || scaled.height < 1)
        return cv::Mat();
    cv::Mat resized;
    cv::resize(bgr, resized, scaled, 0, 0, cv::INTER_LINEAR);
    // The server's network has no crop layer (its importer drops it and the input does the
    // cut); libdarknet's keeps it, so the blob here stays at the full network size.
    return DarknetInput(width, height, {}).blob(resized);
}

bool ValidationEvaluator::prepare(int index, float* out)
{
    if (unreadable[size_t(index)])
        return false;
    if (cacheAll && !cache[size_t(index)].empty()) {
        std::memcpy(out, cache[size_t(index)].data(), sizeof(float) * size_t(inputsPerImage));
        return true;
    }
    cv::Mat blob;
    // A damaged file or one too large for memory throws; it counts as unreadable.
    try {
        const cv::Mat image = cv::imread(set.paths[size_t(index)], cv::IMREAD_COLOR);
        if (!image.empty())
            blob = serverInput(image, netWidth, netHeight);
    } catch (const std::exception&) {
        blob.release();
    }
    if (blob.empty() || int(blob.total()) != inputsPerImage) {
        unreadable[size_t(index)] = 1;
        return false;
    }
    const float* data = blob.ptr<float>();
    std::memcpy(out, data, sizeof(float) * size_t(inputsPerImage));
    if (cacheAll)
        cache[size_t(index)].assign(data, data + inputsPerImage);
    return true;
}

void ValidationEvaluator::prepareChunk(int first, int count, std::vector<float>* inputs, std::vector<char>* readable)
{
    inputs->resize(size_t(count) * size_t(inputsPerImage));
    readable->assign(size_t(count), 0);
    const auto work = [&](int worker, int workers) {
        for (int i = worker; i < count; i += workers)
            (*readable)[size_t(i)] = prepare(first + i, inputs->data() + size_t(i) * size_t(inputsPerImage)) ? 1 : 0;
    };
    const int workers = std::min(threads, count);
    std::vector<std::thread> helpers;
    for (int w = 1; w < workers; ++w)
        helpers.emplace_back(work, w, workers);
    work(0, workers);
    for (std::thread& helper : helpers)
        helper.join();
}

bool ValidationEvaluator::evaluate(TrainingEngine& engine, int64_t iteration, const std::function<bool()>& abandon,
                                   ValidationResult* result)
{
    stopWarmUp();
    const auto start = Clock::now();
    ValidationResult r;
    r.iteration = iteration;
    r.confusion.assign(size_t(classes), std::vector<int>(size_t(classes), 0));
    int top1 = 0;
    int top5 = 0;
    const int total = int(set.paths.size());
    std::vector<float> inputs;
    std::vector<char> readable;
    std::vector<float> packed;
    std::vector<float> scores;
    for (int first = 0; first < total; first += kChunkImages) {
        if (abandon())
            return false;
        const int count = std::min(kChunkImages, total - first);
        prepareChunk(first, count, &inputs, &readable);
        std::vector<int> order; // chunk positions of the readable images
        for (int i = 0; i < count; ++i) {
            if (readable[size_t(i)])
                order.push_back(i);
            else
                ++r.skipped;
        }
        for (size_t pass = 0; pass < order.size(); pass += size_t(passImages)) {
            if (abandon())
                return false;
            const int images = int(std::min(order.size() - pass, size_t(passImages)));
            packed.resize(size_t(images) * size_t(inputsPerImage));
            for (int i = 0; i < images; ++i)
                std::memcpy(packed.data() + size_t(i) * size_t(inputsPerImage),
                            inputs.data() + size_t(order[pass + size_t(i)]) * size_t(inputsPerImage),
                            sizeof(float) * size_t(inputsPerImage));
            engine.predict(packed.data(), images, &scores);
            for (int i = 0; i < images; ++i) {
                const float* row = scores.data() + size_t(i) * size_t(engine.outputs());
                const int truth = set.classOf[size_t(first + order[pass + size_t(i)])];
                const int predicted = int(std::max_element(row, row + classes) - row);
                const int above = int(std::count_if(row, row + classes, [&](float s) { return s > row[truth]; }));
                top1 += predicted == truth;
                top5 += classes >= 5 ? above < 5 : predicted == truth;
                ++r.confusion[size_t(truth)][size_t(predicted)];
                ++r.images;
            }
        }
    }
    r.top1 = r.images > 0 ? double(top1) / double(r.images) : 0;
    r.top5 = r.images > 0 ? double(top5) / double(r.images) : 0;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *result = r;
    return true;
}

double ValidationEvaluator::estimateSeconds()
{
    const int sample = std::min(imageCount(), 2 * threads);
    if (sample == 0)
        return 0;
    const auto start = Clock::now();
    std::vector<float> inputs;
    std::vector<char> readable;
    prepareChunk(0, sample, &inputs, &readable);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return seconds * double(imageCount()) / double(sample);
}

ValidationEvaluator::~ValidationEvaluator()
{
    stopWarmUp();
}

void ValidationEvaluator::startWarmUp()
{
    if (!cacheAll || warmUp.joinable())
        return;
    warmUpStop = false;
    warmUp = std::thread([this] {
        // The lowest nice value: training keeps the processor. (Not SCHED_IDLE: a thread that
        // may starve while holding an allocator lock would stall the batch loader.)
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 19);
        std::vector<float> input(static_cast<size_t>(inputsPerImage));
        for (int i = 0; i < imageCount() && !warmUpStop; ++i)
            prepare(i, input.data());
    });
}

void ValidationEvaluator::stopWarmUp()
{
    warmUpStop = true;
    if (warmUp.joinable())
        warmUp.join();
}

std::string ValidationEvaluator::line(const ValidationResult& r)
{
    char text[160];
    std::snprintf(text, sizeof text, "valid[%" PRId64 "] top1 %f, top5 %f, %d images, %f seconds", r.iteration, r.top1,
                  r.top5, r.images, r.seconds);
    return text;
}
