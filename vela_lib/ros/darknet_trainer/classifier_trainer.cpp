#include "classifier_trainer.h"

#include "batch_loader.h"
#include "data_file.h"
#include "diagnostic_line.h"
#include "network_builder.h"
#include "network_cfg_check.h"
#include "progress_line.h"
#include "run_seed.h"
#include "stop_request.h"
#include "train_set.h"
#include "training_monitor.h"
#include "transfer_weights.h"
#include "weights_file.h"

#include <darknet.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Backups are written at least this often, whichever comes first.
constexpr int64_t kBackupEveryIterations = 100;
constexpr auto kBackupEvery = std::chrono::seconds(60);
constexpr double kLargestBatchBytes = 8.0 * 1024 * 1024 * 1024;

int failWith(const std::string& message)
{
    DiagnosticLine::error(message);
    return 1;
}

// darknet's basecfg(): the file name without folders and without its extension.
std::string baseName(const std::string& path)
{
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    const size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool prepareBackupFolder(const std::string& folder, std::string* error)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec) || access(folder.c_str(), W_OK) != 0) {
        *error = "backup folder " + folder + " cannot be created or written";
        return false;
    }
    return true;
}

using NetworkPtr = NetworkBuilder::NetworkPtr;

int topClass(const float* row, int n) { return int(std::max_element(row, row + n) - row); }

// What trainBatch returns for a batch dropped by a stop; a loss is never negative.
constexpr double kDroppedBatch = -1;

// One iteration: every subdivision forward and backward, the update after the last one.
// Returns the mean loss per image; counts the images whose top class is the true one.
// A stop between subdivisions drops the partial batch (the update never happens and the count
// of images seen goes back), so that a large network ends within one subdivision and its
// backup holds the last completed update.
double trainBatch(network* net, const Batch& batch, int* correct)
{
    const int perPass = net->batch;
    const int classes = batch.classes;
    const size_t seenBefore = *net->seen;
    double lossSum = 0;
    *correct = 0;
    for (int pass = 0; pass < net->subdivisions; ++pass) {
        if (pass > 0 && StopRequest::requested()) {
            *net->seen = seenBefore;
            return kDroppedBatch;
        }
        const size_t first = size_t(pass) * size_t(perPass);
        std::memcpy(net->input, batch.x.data() + first * batch.inputsPerImage,
                    sizeof(float) * size_t(perPass) * batch.inputsPerImage);
        std::memcpy(net->truth, batch.y.data() + first * classes, sizeof(float) * size_t(perPass) * classes);
        lossSum += train_network_datum(net);
        for (int i = 0; i < perPass; ++i) {
            const float* truth = batch.y.data() + (first + i) * classes;
            if (topClass(net->output + size_t(i) * net->outputs, classes) == topClass(truth, classes))
                ++*correct;
        }
    }
    return lossSum / double(batch.images);
}

class BackupWriter
{
public:
    BackupWriter(network* net, const std::string& folder, const std::string& base)
        : net(net), backup(folder + "/" + base + ".backup"), finalWeights(folder + "/" + base + ".weights"),
          lastWrite(Clock::now())
    {
    }

    // True when this iteration wrote the backup.
    bool maybeWrite(int64_t iteration)
    {
        if (iteration % kBackupEveryIterations != 0 && Clock::now() - lastWrite < kBackupEvery)
            return false;
        write(backup);
        return true;
    }
    void writeBackup() { write(backup); }
    void writeFinal() { write(finalWeights); }

private:
    void write(const std::string& path)
    {
        std::string error;
        if (!WeightsFile::save(net, path, &error))
            DiagnosticLine::warning(error);
        lastWrite = Clock::now();
    }

    network* net;
    std::string backup;
    std::string finalWeights;
    Clock::time_point lastWrite;
};

} // namespace

bool ClassifierTrainer::parseArguments(int argc, const char* const* argv, TrainerArguments* args, std::string* error)
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-dont_show")
            continue; // there is never a window to show
        if (word.size() > 1 && word[0] == '-') {
            *error = "unknown option " + word;
            return false;
        }
        words.push_back(word);
    }
    if (words.size() < 4 || words.size() > 5 || words[0] != "classifier" || words[1] != "train") {
        *error = "expected: classifier train <data file> <cfg> [<weights>] [-dont_show]";
        return false;
    }
    args->dataFile = words[2];
    args->cfgFile = words[3];
    args->weights = words.size() == 5 ? words[4] : std::string();
    return true;
}

namespace {

// Everything the run needs, checked before libdarknet sees any of it.
struct CheckedInputs
{
    DataFile data;
    TrainSet set;
    NetworkSummary summary;
};

bool checkInputs(const TrainerArguments& args, CheckedInputs* in, std::string* error)
{
    std::vector<std::string> warnings;
    if (!DataFile::read(args.dataFile, &in->data, error) || !TrainSet::load(in->data, &in->set, error, &warnings))
        return false;
    for (const auto& w : warnings)
        DiagnosticLine::warning(w);
    if (!NetworkCfgCheck::checkFile(args.cfgFile, &in->summary, error))
        return false;
    const NetworkSummary& net = in->summary;
    // Two batches of input are kept, one loading while the other trains.
    if (2.0 * net.batch * net.width * net.height * 3 * sizeof(float) > kLargestBatchBytes) {
        *error = "network configuration " + args.cfgFile + ": batch=" + std::to_string(net.batch) + " of " +
                 std::to_string(net.width) + " x " + std::to_string(net.height) +
                 " images is more than this trainer holds in memory";
        return false;
    }
    if (net.outputs != in->data.classes) {
        *error = "network configuration " + args.cfgFile + " ends in " + std::to_string(net.outputs) +
                 " outputs, but the data file says classes=" + std::to_string(in->data.classes);
        return false;
    }
    if (!args.weights.empty() && access(args.weights.c_str(), R_OK) != 0) {
        *error = "weights file " + args.weights + " cannot be read";
        return false;
    }
    return prepareBackupFolder(in->data.backup, error);
}

// The network of the configuration, with the given weights (and their count of images seen).
NetworkPtr buildNetwork(const TrainerArguments& args, const CheckedInputs& in, std::string* error)
{
    unsigned seed = 0;
    std::srand(RunSeed::fixed(&seed) ? seed : unsigned(std::time(nullptr)) ^ unsigned(getpid()));
    error->clear();
    NetworkPtr net = NetworkBuilder::build(args.cfgFile, error);
    if (!net && !error->empty())
        return nullptr;
    if (!net || net->outputs != in.data.classes || net->inputs != in.summary.width * in.summary.height * 3) {
        *error = "the darknet library read " + args.cfgFile + " differently than expected";
        return nullptr;
    }
    if (!args.weights.empty()) {
        TransferWeights::Plan plan;
        if (!TransferWeights::plan(args.weights, net.get(), &plan, error))
            return nullptr;
        TransferWeights::load(net.get(), args.weights, plan);
        if (!plan.exact) {
            std::printf("%s\n", TransferWeights::summary(net.get(), args.weights, plan).c_str());
            std::fflush(stdout);
        }
    }
    return net;
}

bool moreToTrain(network* net)
{
    return (get_current_batch(net) < size_t(net->max_batches) || net->max_batches == 0) &&
           !StopRequest::requested();
}

// Trains until max_batches or a stop; returns the exit code.
int train(network* net, const CheckedInputs& in, const TrainerArguments& args)
{
    // The loader's threads share out the images; OpenCV must not add threads of its own.
    cv::setNumThreads(1);
    const int loaderThreads = int(std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
    BatchLoader loader(in.set, Augmentation::of(net), net->batch * net->subdivisions, loaderThreads);
    BackupWriter backups(net, in.data.backup, baseName(args.cfgFile));
    TrainingMonitor monitor(net, in.data, in.set, args.dataFile, baseName(args.cfgFile), loaderThreads);

    std::printf("Learning Rate: %g, Momentum: %g, Decay: %g\n", net->learning_rate, net->momentum, net->decay);
    std::fflush(stdout);

    double averageLoss = -1;
    int64_t trainedHere = 0;
    Batch batch;
    std::string error;
    while (moreToTrain(net)) {
        const auto start = Clock::now();
        if (!loader.next(&batch, &error)) {
            if (trainedHere > 0)
                backups.writeBackup();
            return failWith(error);
        }
        int correct = 0;
        const double loss = trainBatch(net, batch, &correct);
        if (loss == kDroppedBatch)
            break;
        averageLoss = averageLoss < 0 ? loss : averageLoss * 0.9 + loss * 0.1;
        ++trainedHere;

        IterationReport report;
        report.iteration = int64_t(get_current_batch(net));
        report.images = uint64_t(*net->seen);
        report.epoch = double(*net->seen) / double(in.set.paths.size());
        report.loss = loss;
        report.averageLoss = averageLoss;
        report.accuracy = double(correct) / double(batch.images);
        report.rate = get_current_rate(net);
        report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const std::string line = ProgressLine::format(report) + "\n";
        if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
            StopRequest::request(); // nobody reads the progress any more: stop as on a signal
        monitor.afterIteration(report, backups.maybeWrite(report.iteration));
    }
    if (trainedHere > 0)
        monitor.atEnd(int64_t(get_current_batch(net)), uint64_t(*net->seen), StopRequest::requested());
    // A stop before the first iteration keeps whatever backup the folder already holds.
    const bool stopped = StopRequest::requested();
    if (trainedHere > 0 || !stopped)
        backups.writeBackup();
    if (!stopped)
        backups.writeFinal();
    return 0;
}

} // namespace

int ClassifierTrainer::run(const TrainerArguments& args)
{
    StopRequest::install();
    std::string error;
    CheckedInputs in;
    if (!checkInputs(args, &in, &error))
        return failWith(error);
    NetworkPtr net = buildNetwork(args, in, &error);
    if (!net)
        return failWith(error);
    return train(net.get(), in, args);
}
