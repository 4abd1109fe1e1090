#pragma once

#include "data_file.h"
#include "net_settings.h"
#include "run_pace.h"
#include "train_set.h"
#include "training_engine.h"
#include "training_report.h"
#include "validation_evaluator.h"

#include <cstdio>
#include <memory>
#include <string>

// One training run on a built engine: batches from the loader, one progress line per iteration,
// backups, validation and the report, until max_batches, a stop, or validation that has stopped
// improving for as many evaluations as its patience allows; at its end a "data wait:" line with
// the time the engine spent waiting for batches. Everything forgewright reads
// comes from here, whichever engine trains.
class TrainingRun
{
public:
    struct Setup
    {
        DataFile data;
        TrainSet set;
        NetSettings net;
        std::string cfgBaseName;     // names the backup files
        TrainingReport report{"", {}, false}; // named for the run's model and classes
        ValidationSet validation;    // empty: no evaluations
        int threads = 1;             // the loader's and the validation's
        int patience = 0;            // evaluations in a row without a new best that end the run; 0: never
        bool continuation = false;   // the weights continue an earlier run (an exact weights file)
    };

    TrainingRun(TrainingEngine& engine, const Setup& setup, const RunPace& pace, std::FILE* out = stdout);

    // Trains; returns the exit code (an error is one line on standard error).
    int train();

private:
    bool moreToTrain() const;
    void reportDataWait(double waited, double total);
    int fail(const std::string& error);

    TrainingEngine& engine;
    const Setup& setup;
    const RunPace& pace;
    std::FILE* out;
};
