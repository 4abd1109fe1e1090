#include "training_monitor.h"

#include "diagnostic_line.h"
#include "stop_request.h"
#include "text_lines.h"
#include "weights_file.h"

#include <darknet.h>

#include <cstdio>
#include <vector>

namespace {

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The model name of the training folder's version file ("family:name"), else the cfg's name.
std::string modelName(const std::string& dataFile, const std::string& cfgBaseName)
{
    std::string version;
    if (!TextLines::readFile(folderOf(dataFile) + "/version", &version))
        return cfgBaseName;
    version = TextLines::trimmed(version);
    const size_t colon = version.find(':');
    const std::string name = colon == std::string::npos ? version : version.substr(colon + 1);
    return name.empty() ? cfgBaseName : name;
}

// The display names as names.list writes them (empty names kept), else the labels.
std::vector<std::string> classNames(const DataFile& data, const TrainSet& set)
{
    std::string text;
    if (data.names.empty() || !TextLines::readFile(data.names, &text))
        return set.labels;
    std::vector<std::string> names = TextLines::split(text);
    if (!names.empty() && names.back().empty() && int(names.size()) == data.classes + 1)
        names.pop_back(); // a final line break
    return int(names.size()) == data.classes ? names : set.labels;
}

} // namespace

TrainingMonitor::TrainingMonitor(network* net, const DataFile& data, const TrainSet& set, const std::string& dataFile,
                                 const std::string& cfgBaseName, int threads)
    : net(net), backupFolder(data.backup), bestPath(data.backup + "/" + cfgBaseName + ".best"),
      report(modelName(dataFile, cfgBaseName), classNames(data, set), false), start(Clock::now())
{
    std::vector<std::string> warnings;
    const ValidationSet validation = ValidationSet::load(data, set, &warnings);
    for (const auto& w : warnings)
        DiagnosticLine::warning(w);
    if (validation.paths.empty())
        return;
    evaluator = std::make_unique<ValidationEvaluator>(validation, data.classes, net->w, net->h, threads);
    // The first evaluation waits until the budget affords what it is expected to take.
    lastEvaluationSeconds = evaluator->estimateSeconds();
    evaluator->startWarmUp();
    report = TrainingReport(report.model(), report.classes(), true);
}

bool TrainingMonitor::evaluationDue(bool atBackup) const
{
    const Clock::time_point now = Clock::now();
    if (lastEvaluated >= 0 && !atBackup &&
        std::chrono::duration<double>(now - lastEvaluationEnd).count() < kEvaluationGapSeconds)
        return false;
    // The next evaluation, if it lasts as long as the last one, keeps the share within bounds.
    const double wall = std::chrono::duration<double>(now - start).count();
    return evaluationSeconds + lastEvaluationSeconds <= kEvaluationShare * (wall + lastEvaluationSeconds);
}

bool TrainingMonitor::evaluate(int64_t iteration, bool stopAbandons)
{
    const Clock::time_point begin = Clock::now();
    ValidationResult result;
    const auto abandon = [stopAbandons] { return stopAbandons && StopRequest::requested(); };
    if (!evaluator->evaluate(net, iteration, abandon, &result))
        return false;
    lastEvaluated = iteration;
    if (report.addEvaluation(result)) {
        std::string error;
        if (!WeightsFile::save(net, bestPath, &error))
            DiagnosticLine::warning(error);
    }
    const std::string line = ValidationEvaluator::line(result) + "\n";
    if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        StopRequest::request();
    writeReport(iteration, uint64_t(*net->seen));
    lastEvaluationEnd = Clock::now();
    lastEvaluationSeconds = std::chrono::duration<double>(lastEvaluationEnd - begin).count();
    evaluationSeconds += lastEvaluationSeconds;
    return true;
}

void TrainingMonitor::writeReport(int64_t iteration, uint64_t images)
{
    report.setProgress(iteration, images, std::chrono::duration<double>(Clock::now() - start).count());
    report.write(backupFolder);
}

void TrainingMonitor::afterIteration(const IterationReport& progress, bool backupWritten)
{
    report.addIteration(progress.iteration, progress.averageLoss, progress.accuracy);
    if (evaluator) {
        if (lastEvaluated != progress.iteration && evaluationDue(backupWritten))
            evaluate(progress.iteration, true);
        return;
    }
    if (backupWritten)
        writeReport(progress.iteration, progress.images);
}

void TrainingMonitor::atEnd(int64_t iteration, uint64_t images, bool stopped)
{
    if (evaluator && lastEvaluated != iteration) {
        // At a stop the last evaluation must not hold the stop up: it runs when a full one is
        // known to be quick, and ignores the stop it belongs to.
        const bool quick = lastEvaluationSeconds <= kLastEvaluationAtStopSeconds;
        if ((!stopped || quick) && evaluate(iteration, !stopped))
            return;
    }
    writeReport(iteration, images);
}
