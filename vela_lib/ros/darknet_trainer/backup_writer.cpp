#include "backup_writer.h"

#include <unistd.h>

BackupWriter::BackupWriter(TrainingEngine& engine, const std::string& folder, const std::string& cfgBaseName,
                           int64_t everyIterations, double everySeconds, double now)
    : engine(engine), backup(folder + "/" + cfgBaseName + ".backup"), finalWeights(folder + "/" + cfgBaseName + ".weights"),
      best(folder + "/" + cfgBaseName + ".best"), everyIterations(everyIterations), everySeconds(everySeconds),
      lastWrite(now)
{
}

bool BackupWriter::maybeWrite(int64_t iteration, double now, bool* written, std::string* error)
{
    *written = iteration % everyIterations == 0 || now - lastWrite >= everySeconds;
    return !*written || writeBackup(now, error);
}

bool BackupWriter::writeBackup(double now, std::string* error)
{
    lastWrite = now;
    return engine.saveWeights(backup, error);
}

bool BackupWriter::writeFinal(std::string* error) { return engine.saveWeights(finalWeights, error); }

bool BackupWriter::writeBest(std::string* error) { return engine.saveWeights(best, error); }

bool BackupWriter::bestExists() const { return access(best.c_str(), F_OK) == 0; }
