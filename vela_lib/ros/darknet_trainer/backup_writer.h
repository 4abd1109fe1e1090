#pragma once

#include "training_engine.h"

#include <string>

// The one place a run writes weights: <backup>/<cfg name>.backup as the run goes (every so many
// iterations or seconds), .weights at the end of a finished run, and .best when validation finds
// a new best. Each is written whole; a write that fails leaves the earlier file as it was and is
// reported as the run's error.
class BackupWriter
{
public:
    BackupWriter(TrainingEngine& engine, const std::string& folder, const std::string& cfgBaseName,
                 int64_t everyIterations, double everySeconds, double now);

    // Writes the backup when this iteration or the time since the last write asks for it; sets
    // written accordingly. False with error when it was due and could not be written.
    bool maybeWrite(int64_t iteration, double now, bool* written, std::string* error);
    bool writeBackup(double now, std::string* error);
    bool writeFinal(std::string* error);
    bool writeBest(std::string* error);
    // Whether the folder holds best weights, of this run or of the one it continues.
    bool bestExists() const;

private:
    TrainingEngine& engine;
    const std::string backup, finalWeights, best;
    const int64_t everyIterations;
    const double everySeconds;
    double lastWrite;
};
