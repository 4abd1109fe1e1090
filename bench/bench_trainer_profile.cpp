// Where an iteration of darknet_cpu_ goes, in CPU milliseconds at batch 16, subdivisions 8:
// decoding the pictures (whole, and as the trainer now decodes them), augmenting them, and
// libdarknet's forward pass, backward pass and update, each timed on its own. The engine's own
// parts run here, in one thread, on a generated folder. Then the trainer's loader as a run uses
// it, its picture cache warm: images per second on one thread and on every core, which is what
// it can feed a GPU with:
//   bench_trainer_profile [VoderoVod_32|darknet19] [picture side] [iterations]
// (defaults: VoderoVod_32 608 20; darknet19 256 3). perf cannot count instructions on every
// machine, so plain clocks measure.
#include "darknet_training_folder.h"
#include "test_support.h"

#include "batch_loader.h"
#include "cfg_document.h"
#include "data_file.h"
#include "image_augmenter.h"
#include "net_settings.h"
#include "picture_decoder.h"
#include "train_set.h"

#include <darknet.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core.hpp>

#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Batches of 64 from the trainer's loader, once its cache holds the set (when it fits): images
// per second.
double loaderRate(const TrainSet& set, const NetSettings& settings, int threads)
{
    cv::setNumThreads(1); // as in a run: the loader's threads share out the images
    const int images = 64;
    BatchLoader loader(set, Augmentation::of(settings), images, threads);
    Batch batch;
    std::string error;
    // Every picture drawn a few times over warms the cache.
    for (size_t drawn = 0; drawn < 4 * set.paths.size(); drawn += images)
        loader.next(&batch, &error);
    const auto start = Clock::now();
    const int batches = 30;
    for (int i = 0; i < batches; ++i)
        loader.next(&batch, &error);
    return batches * images / (msSince(start) / 1000);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString model = argc > 1 ? argv[1] : "VoderoVod_32";
    const bool small = model == "VoderoVod_32";
    const int side = argc > 2 ? std::atoi(argv[2]) : (small ? 608 : 256);
    const int iterations = argc > 3 ? std::atoi(argv[3]) : (small ? 20 : 3);
    const int batch = 16, subdivisions = 8;

    QTemporaryDir folder;
    DarknetTrainingFolder::write(folder.path(), {"circle", "cross", "square", "triangle"}, 32, side, side);
    DarknetTrainingFolder::writeTrainCfg(folder.path(), DarknetTrainingFolder::instantiate(model, batch, subdivisions, 4));
    QDir::setCurrent(folder.path());
    DataFile data;
    TrainSet set;
    std::string error;
    std::vector<std::string> warnings;
    if (!DataFile::read("data_gen/data.data", &data, &error) || !TrainSet::load(data, &set, &error, &warnings)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    char cfg[] = "data_gen/train.cfg";
    network* net = parse_network_cfg(cfg);
    CfgDocument document;
    NetSettings settings;
    if (!CfgDocument::readFile(cfg, &document, &error) || !NetSettings::read(document, &settings, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const ImageAugmenter augmenter(Augmentation::of(settings));
    const PictureDecoder reduced(augmenter.largestScaledSide());
    std::mt19937 rng(1);
    std::uniform_int_distribution<size_t> pick(0, set.paths.size() - 1);

    const int images = batch * iterations;
    double decodeWhole = 0, decodeReduced = 0, augmentWhole = 0, augmentReduced = 0;
    int reduction = 1;
    std::vector<float> row(size_t(net->inputs));
    for (int i = 0; i < images; ++i) {
        const std::string& path = set.paths[pick(rng)];
        auto t = Clock::now();
        DecodedPicture whole;
        whole.bgr = ImageAugmenter::read(path);
        whole.original = whole.bgr.size();
        decodeWhole += msSince(t);
        t = Clock::now();
        const DecodedPicture smaller = reduced.read(path);
        decodeReduced += msSince(t);
        reduction = smaller.reduction;
        t = Clock::now();
        augmenter.augment(whole, rng, row.data());
        augmentWhole += msSince(t);
        t = Clock::now();
        augmenter.augment(smaller, rng, row.data());
        augmentReduced += msSince(t);
    }

    // libdarknet's train_network_datum, step by step, on one subdivision's input at a time.
    std::fill(net->input, net->input + size_t(net->inputs) * net->batch, 0.5f);
    std::fill(net->truth, net->truth + size_t(net->truths) * net->batch, 0.0f);
    for (int b = 0; b < net->batch; ++b)
        net->truth[size_t(b) * net->truths] = 1.0f;
    double forward = 0, backward = 0, update = 0;
    for (int it = 0; it <= iterations; ++it) { // the first iteration warms up and is not counted
        double f = 0, bw = 0, u = 0;
        for (int pass = 0; pass < subdivisions; ++pass) {
            *net->seen += net->batch;
            net->train = 1;
            auto t = Clock::now();
            forward_network(net);
            f += msSince(t);
            t = Clock::now();
            backward_network(net);
            bw += msSince(t);
            if (((*net->seen) / net->batch) % net->subdivisions == 0) {
                t = Clock::now();
                update_network(net);
                u += msSince(t);
            }
        }
        if (it > 0) {
            forward += f;
            backward += bw;
            update += u;
        }
    }
    free_network(net);

    const double perIteration = double(batch);
    std::printf("%s, %zu JPEGs of %d x %d, batch %d, subdivisions %d, %d iterations; CPU ms per iteration, "
                "one thread\n", qPrintable(model), set.paths.size(), side, side, batch, subdivisions, iterations);
    std::printf("decode, whole picture        %9.2f\n", decodeWhole / images * perIteration);
    std::printf("decode, reduced 1/%d          %9.2f\n", reduction, decodeReduced / images * perIteration);
    std::printf("augment, from whole picture  %9.2f\n", augmentWhole / images * perIteration);
    std::printf("augment, from reduced        %9.2f\n", augmentReduced / images * perIteration);
    std::printf("forward                      %9.2f\n", forward / iterations);
    std::printf("backward                     %9.2f\n", backward / iterations);
    std::printf("update                       %9.2f\n", update / iterations);

    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const double one = loaderRate(set, settings, 1);
    const double all = loaderRate(set, settings, cores);
    std::printf("loader, cache warm, batches of 64 at %d x %d: %.0f images/s on 1 thread, %.0f images/s on %d threads\n",
                settings.width, settings.height, one, all, cores);
    return 0;
}
