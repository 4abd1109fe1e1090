#pragma once

#include "backup_writer.h"
#include "progress_line.h"
#include "run_pace.h"
#include "training_engine.h"
#include "training_report.h"
#include "validation_evaluator.h"

#include <cstdio>
#include <memory>
#include <string>

// Watches a training run from outside its iterations: keeps the training report, and, when the
// run holds out validation images, evaluates the network on them as often as the pace's share of
// the wall time allows (at backups, and otherwise at most every few seconds), prints one
// "valid[..]" line per evaluation, and has the weights of the best top-1 kept. The time spent
// includes the report written after each one. A run that continues an earlier one continues its
// report, and keeps its best when it is evaluated on the same held-out images.
class TrainingMonitor
{
public:
    // report: named for the run's model and classes. Without an evaluator, no evaluations.
    // patience: evaluations in a row without a new best after which the run has nothing more to
    // gain (0: never). continuesFrom: the iteration the weights of an earlier run of this folder
    // were loaded at, -1 for a run of its own.
    TrainingMonitor(TrainingEngine& engine, BackupWriter& weights, TrainingReport report,
                    std::unique_ptr<ValidationEvaluator> evaluator, const std::string& backupFolder, const RunPace& pace,
                    std::FILE* out, int patience = 0, int64_t continuesFrom = -1);

    // After each iteration; backupWritten tells whether the iteration ended with a backup.
    // False with error when the best weights or the report could not be written.
    bool afterIteration(const IterationReport& report, bool backupWritten, std::string* error);
    // At the end of the run, by max_batches or (stopped) by a stop request.
    bool atEnd(int64_t iteration, uint64_t images, bool stopped, std::string* error);

    // True once patience evaluations in a row have not beaten the best; endReason() says so.
    bool patienceSpent() const;
    std::string endReason() const;

private:
    // Takes over the report in the backup folder when it is this run's (same model and classes).
    void continueEarlierReport(int64_t startIteration);
    bool evaluationDue(bool atBackup) const;
    // Evaluates unless abandoned by a stop (when stopAbandons); *made tells whether it was made.
    bool evaluate(int64_t iteration, bool stopAbandons, bool* made, std::string* error);
    bool writeReport(int64_t iteration, uint64_t images, std::string* error);

    TrainingEngine& engine;
    BackupWriter& weights;
    const std::string backupFolder;
    const RunPace& pace;
    std::FILE* out;
    std::unique_ptr<ValidationEvaluator> evaluator;
    TrainingReport report;
    double start;
    double evaluationSeconds = 0;
    double lastEvaluationSeconds = 0;
    double lastEvaluationEnd = 0;
    int64_t lastEvaluated = -1; // the iteration of the latest evaluation; -1 before the first
    const int patience;
    int evaluationsWithoutBest = 0;
};
