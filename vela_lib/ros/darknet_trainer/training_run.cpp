#include "training_run.h"

#include "backup_writer.h"
#include "batch_loader.h"
#include "diagnostic_line.h"
#include "progress_line.h"
#include "stop_request.h"
#include "training_monitor.h"

#include <opencv2/core.hpp>

namespace {

// The engine's way to the run's next batch, for as long as the run lasts: the source refers to
// the run's own locals, so the engine must not keep it beyond.
class NextBatchOffer
{
public:
    NextBatchOffer(TrainingEngine& engine, TrainingEngine::NextBatch next) : engine(engine)
    {
        engine.setNextBatch(std::move(next));
    }
    ~NextBatchOffer() { engine.setNextBatch(nullptr); }
    NextBatchOffer(const NextBatchOffer&) = delete;
    NextBatchOffer& operator=(const NextBatchOffer&) = delete;

private:
    TrainingEngine& engine;
};

} // namespace

TrainingRun::TrainingRun(TrainingEngine& engine, const Setup& setup, const RunPace& pace, std::FILE* out)
    : engine(engine), setup(setup), pace(pace), out(out)
{
}

bool TrainingRun::moreToTrain() const
{
    const size_t batchNumber = setup.net.batchNumber(engine.imagesSeen());
    return (batchNumber < size_t(setup.net.maxBatches) || setup.net.maxBatches == 0) && !StopRequest::requested();
}

int TrainingRun::fail(const std::string& error)
{
    DiagnosticLine::error(error);
    return 1;
}

// How long the engine waited for the loader: whether the loader or the engine sets the pace.
void TrainingRun::reportDataWait(double waited, double total)
{
    std::fprintf(out, "data wait: %.2f s of %.2f s (%.1f %%)\n", waited, total, total > 0 ? 100 * waited / total : 0.0);
    std::fflush(out);
}

int TrainingRun::train()
{
    const NetSettings& net = setup.net;
    // The loader's threads share out the images; OpenCV must not add threads of its own.
    cv::setNumThreads(1);
    BatchLoader loader(setup.set, Augmentation::of(net), net.imagesPerIteration(), setup.threads);
    BackupWriter weights(engine, setup.data.backup, setup.cfgBaseName, pace.backupEveryIterations,
                         pace.backupEverySeconds, pace.now());
    std::unique_ptr<ValidationEvaluator> evaluator;
    if (!setup.validation.paths.empty())
        evaluator = std::make_unique<ValidationEvaluator>(setup.validation, setup.data.classes, net.width, net.height,
                                                          net.imagesPerPass(), setup.threads);
    TrainingReport report = setup.report;
    report.setHeldOut(setup.validation.identity());
    const int64_t continuesFrom = setup.continuation ? int64_t(net.batchNumber(size_t(engine.imagesSeen()))) : -1;
    TrainingMonitor monitor(engine, weights, report, std::move(evaluator), setup.data.backup, pace, out,
                            setup.patience, continuesFrom);

    std::fprintf(out, "Learning Rate: %g, Momentum: %g, Decay: %g\n", net.learningRate, net.momentum, net.decay);
    std::fflush(out);

    double averageLoss = -1;
    int64_t trainedHere = 0;
    std::string error;
    const double began = pace.now();
    double waitedForData = 0; // the engine idle while the loader prepares the next batch
    const auto load = [&](Batch* into, std::string* why) {
        const double start = pace.now();
        const bool loaded = loader.next(into, why);
        waitedForData += pace.now() - start;
        return loaded;
    };
    // Two batches in turn: while one trains, the engine may ask for the other (the next).
    Batch batches[2];
    int current = 0;
    bool nextTaken = false, nextLoaded = false;
    std::string nextError;
    const NextBatchOffer offer(engine, [&]() -> const Batch* {
        if (!nextTaken) {
            nextTaken = true;
            nextLoaded = load(&batches[current ^ 1], &nextError);
        }
        return nextLoaded ? &batches[current ^ 1] : nullptr;
    });
    while (moreToTrain()) {
        const double start = pace.now();
        bool loaded;
        if (nextTaken) {
            current ^= 1;
            nextTaken = false;
            loaded = nextLoaded;
            error = nextError;
        } else {
            loaded = load(&batches[current], &error);
        }
        const Batch& batch = batches[current];
        if (!loaded) {
            std::string backupError;
            if (trainedHere > 0 && !weights.writeBackup(pace.now(), &backupError))
                DiagnosticLine::error(backupError);
            return fail(error);
        }
        const TrainingEngine::Step step = engine.trainBatch(batch, [] { return StopRequest::requested(); });
        if (step.dropped)
            break;
        averageLoss = averageLoss < 0 ? step.loss : averageLoss * 0.9 + step.loss * 0.1;
        ++trainedHere;

        IterationReport report;
        report.images = engine.imagesSeen();
        report.iteration = int64_t(net.batchNumber(size_t(report.images)));
        report.epoch = double(report.images) / double(setup.set.paths.size());
        report.loss = step.loss;
        report.averageLoss = averageLoss;
        report.accuracy = double(step.correct) / double(batch.images);
        report.rate = engine.currentRate();
        report.seconds = pace.now() - start;
        const std::string line = ProgressLine::format(report) + "\n";
        if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0)
            StopRequest::request(); // nobody reads the progress any more: stop as on a signal
        bool backupWritten = false;
        if (!weights.maybeWrite(report.iteration, pace.now(), &backupWritten, &error) ||
            !monitor.afterIteration(report, backupWritten, &error))
            return fail(error);
        if (monitor.patienceSpent())
            break;
    }
    if (trainedHere > 0)
        reportDataWait(waitedForData, pace.now() - began);
    const int64_t iteration = int64_t(net.batchNumber(size_t(engine.imagesSeen())));
    if (trainedHere > 0 && !monitor.atEnd(iteration, engine.imagesSeen(), StopRequest::requested(), &error))
        return fail(error);
    // A stop before the first iteration keeps whatever backup the folder already holds.
    const bool stopped = StopRequest::requested();
    if ((trainedHere > 0 || !stopped) && !weights.writeBackup(pace.now(), &error))
        return fail(error);
    if (!stopped && !weights.writeFinal(&error))
        return fail(error);
    // Why a run ended before max_batches, for the trainer window's end record.
    if (!stopped && monitor.patienceSpent()) {
        std::fprintf(out, "finished: %s\n", monitor.endReason().c_str());
        std::fflush(out);
    }
    return 0;
}
