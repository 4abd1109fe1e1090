#pragma once

#include "data_file.h"
#include "train_set.h"
#include "training_engine.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// The held-out images of a run and the class of each (by the label its path contains, as in
// training).
struct ValidationSet
{
    std::vector<std::string> paths;
    std::vector<int> classOf;

    // The data file's valid list. Empty, and so no validation, when the file names none, it
    // cannot be read or is empty, or it lists exactly what the train list lists (a folder
    // generated without a held-out share). Entries without exactly one label are left out with
    // a warning.
    static ValidationSet load(const DataFile& data, const TrainSet& train, std::vector<std::string>* warnings);

    // Names this set of images and classes (16 hexadecimal digits): a regenerated folder, whose
    // held-out pictures have new names, gets another.
    std::string identity() const;
};

// One evaluation of the network on the whole validation set.
struct ValidationResult
{
    int64_t iteration = 0;
    double top1 = 0; // fraction of the evaluated images, 0..1
    double top5 = 0; // equals top1 below five classes
    int images = 0;  // images evaluated
    int skipped = 0; // images that could not be read
    double seconds = 0;
    std::vector<std::vector<int> > confusion; // [true class][predicted class]
};

// Runs the network over the validation images, each prepared exactly as seerkeep prepares a
// test picture, so that the accuracy printed here is the one the server will show: the file
// read as 8-bit colour, scaled to a long side of 608 (OpenCV bilinear), then brought to the
// network size by darknet's own resize (DarknetInput). Prepared inputs are kept in memory up
// to a budget, so later evaluations only run the network.
class ValidationEvaluator
{
public:
    static constexpr int kServerLongSide = 608;
    static constexpr double kCacheBytes = 256.0 * 1024 * 1024;

    // passImages: images the network is given at once (a stop is looked for between passes).
    ValidationEvaluator(const ValidationSet& set, int classes, int netWidth, int netHeight, int passImages, int threads);

    // Evaluates in passes of passImages; false, with result untouched, when abandon() said yes on
    // the way.
    bool evaluate(TrainingEngine& engine, int64_t iteration, const std::function<bool()>& abandon,
                  ValidationResult* result);

    // A picture as the server hands it to its network: a 1x3xHxW blob of the network size.
    static cv::Mat serverInput(const cv::Mat& bgr, int netWidth, int netHeight);

    // "valid[I] top1 T, top5 F, N images, S seconds"
    static std::string line(const ValidationResult& result);

    int imageCount() const { return int(set.paths.size()); }

    // Seconds a first evaluation may take, from preparing a few of the images (which stay
    // prepared): what a run budgets before it has measured one.
    double estimateSeconds();

    // Prepares the remaining inputs on a thread of the lowest priority, so that training keeps the
    // processor and the first evaluation mostly finds them ready. Only when they all fit in
    // memory; an evaluation ends the warm-up first.
    void startWarmUp();
    ~ValidationEvaluator();

private:
    // The input of image index into out (inputsPerImage floats); false when it cannot be read.
    bool prepare(int index, float* out);
    void prepareChunk(int first, int count, std::vector<float>* inputs, std::vector<char>* readable);

    const ValidationSet set;
    const int classes;
    const int netWidth;
    const int netHeight;
    const int inputsPerImage;
    const int passImages;
    const int threads;
    const bool cacheAll;
    std::vector<std::vector<float> > cache;
    std::vector<char> unreadable;
    void stopWarmUp();
    std::atomic<bool> warmUpStop{false};
    std::thread warmUp;
};
