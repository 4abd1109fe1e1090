#pragma once

#include "data_file.h"
#include "progress_line.h"
#include "train_set.h"
#include "training_report.h"
#include "validation_evaluator.h"

#include <chrono>
#include <memory>
#include <string>

struct network;

// Watches a training run from outside its iterations: keeps the training report, and, when the
// data file holds out validation images, evaluates the network on them as often as a tenth of
// the wall time allows (at backups, and otherwise at most every few seconds), prints one
// "valid[..]" line per evaluation, and keeps the weights of the best top-1 in
// <backup>/<cfg base name>.best. The time spent includes the report written after each one.
class TrainingMonitor
{
public:
    // Share of the wall time that evaluations may take.
    static constexpr double kEvaluationShare = 0.10;
    // Between backups, evaluations are at least this far apart, so that a small validation set
    // does not print a line at every iteration.
    static constexpr double kEvaluationGapSeconds = 5.0;
    // A stop runs one last evaluation only when the previous one took no longer than this.
    static constexpr double kLastEvaluationAtStopSeconds = 2.0;

    TrainingMonitor(network* net, const DataFile& data, const TrainSet& set, const std::string& dataFile,
                    const std::string& cfgBaseName, int threads);

    // After each iteration; backupWritten tells whether the iteration ended with a backup.
    void afterIteration(const IterationReport& report, bool backupWritten);
    // At the end of the run, by max_batches or (stopped) by a stop request.
    void atEnd(int64_t iteration, uint64_t images, bool stopped);

private:
    bool evaluationDue(bool atBackup) const;
    // Evaluates unless abandoned by a stop (when stopAbandons); true when an evaluation was made.
    bool evaluate(int64_t iteration, bool stopAbandons);
    void writeReport(int64_t iteration, uint64_t images);

    using Clock = std::chrono::steady_clock;
    network* net;
    const std::string backupFolder;
    const std::string bestPath;
    std::unique_ptr<ValidationEvaluator> evaluator;
    TrainingReport report;
    Clock::time_point start;
    double evaluationSeconds = 0;
    double lastEvaluationSeconds = 0;
    Clock::time_point lastEvaluationEnd;
    int64_t lastEvaluated = -1; // the iteration of the latest evaluation; -1 before the first
};
