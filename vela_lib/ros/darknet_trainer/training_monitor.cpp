#include "training_monitor.h"

#include "stop_request.h"
#include "training_report_files.h"

TrainingMonitor::TrainingMonitor(TrainingEngine& engine, BackupWriter& weights, TrainingReport report,
                                 std::unique_ptr<ValidationEvaluator> evaluator, const std::string& backupFolder,
                                 const RunPace& pace, std::FILE* out, int patience, int64_t continuesFrom)
    : engine(engine), weights(weights), backupFolder(backupFolder), pace(pace), out(out),
      evaluator(std::move(evaluator)), report(report.model(), report.classes(), this->evaluator != nullptr),
      start(pace.now()), patience(patience)
{
    this->report.setHeldOut(report.heldOut());
    if (continuesFrom >= 0)
        continueEarlierReport(continuesFrom);
    if (!this->evaluator)
        return;
    // The first evaluation waits until the budget affords what it is expected to take.
    lastEvaluationSeconds = this->evaluator->estimateSeconds();
    this->evaluator->startWarmUp();
}

void TrainingMonitor::continueEarlierReport(int64_t startIteration)
{
    TrainingReport earlier("", {}, false);
    if (!TrainingReportFiles::read(backupFolder, &earlier) || earlier.model() != report.model() ||
        earlier.classes() != report.classes())
        return; // none, or another network's: this run's report starts afresh
    const bool sameImages = earlier.hasValidation() && !report.heldOut().empty() && earlier.heldOut() == report.heldOut();
    const bool keepBest = evaluator && sameImages && earlier.bestIndex() >= 0 && weights.bestExists();
    if (evaluator && earlier.bestIndex() >= 0 && !keepBest) {
        const ValidationResult& best = earlier.bestResult();
        const std::string what = "the best so far (top1 " + std::to_string(best.top1) + " at iteration " +
                                 std::to_string(best.iteration) + ")";
        const std::string why = sameImages ? what + ": its weights are gone"
                                           : "the held-out images are not those " + what + " was measured on";
        std::fprintf(out, "validation: %s; a new best starts\n", why.c_str());
        std::fflush(out);
    }
    report.continueFrom(earlier, startIteration, keepBest);
}

bool TrainingMonitor::evaluationDue(bool atBackup) const
{
    const double now = pace.now();
    if (lastEvaluated >= 0 && !atBackup && now - lastEvaluationEnd < pace.evaluationGapSeconds)
        return false;
    // The next evaluation, if it lasts as long as the last one, keeps the share within bounds.
    const double wall = now - start;
    return evaluationSeconds + lastEvaluationSeconds <= pace.evaluationShare * (wall + lastEvaluationSeconds);
}

bool TrainingMonitor::evaluate(int64_t iteration, bool stopAbandons, bool* made, std::string* error)
{
    *made = false;
    const double begin = pace.now();
    ValidationResult result;
    const auto abandon = [stopAbandons] { return stopAbandons && StopRequest::requested(); };
    if (!evaluator->evaluate(engine, iteration, abandon, &result))
        return true;
    *made = true;
    lastEvaluated = iteration;
    const bool best = report.addEvaluation(result);
    evaluationsWithoutBest = best ? 0 : evaluationsWithoutBest + 1;
    if (best && !weights.writeBest(error))
        return false;
    const std::string line = ValidationEvaluator::line(result) + "\n";
    if (std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0)
        StopRequest::request();
    if (!writeReport(iteration, engine.imagesSeen(), error))
        return false;
    lastEvaluationEnd = pace.now();
    lastEvaluationSeconds = lastEvaluationEnd - begin;
    evaluationSeconds += lastEvaluationSeconds;
    return true;
}

bool TrainingMonitor::writeReport(int64_t iteration, uint64_t images, std::string* error)
{
    report.setProgress(iteration, images, pace.now() - start);
    return TrainingReportFiles::write(report, backupFolder, error);
}

bool TrainingMonitor::afterIteration(const IterationReport& progress, bool backupWritten, std::string* error)
{
    report.addIteration(progress.iteration, progress.averageLoss, progress.accuracy);
    if (evaluator) {
        bool made = false;
        const bool due = pace.evaluateEveryIterations > 0 ? progress.iteration % pace.evaluateEveryIterations == 0
                                                           : evaluationDue(backupWritten);
        if (lastEvaluated != progress.iteration && due)
            return evaluate(progress.iteration, true, &made, error);
        return true;
    }
    return !backupWritten || writeReport(progress.iteration, progress.images, error);
}

bool TrainingMonitor::atEnd(int64_t iteration, uint64_t images, bool stopped, std::string* error)
{
    if (evaluator && lastEvaluated != iteration) {
        // At a stop the last evaluation must not hold the stop up: it runs when a full one is
        // known to be quick, and ignores the stop it belongs to.
        const bool quick = lastEvaluationSeconds <= pace.lastEvaluationAtStopSeconds;
        if (!stopped || quick) {
            bool made = false;
            if (!evaluate(iteration, !stopped, &made, error))
                return false;
            if (made)
                return true;
        }
    }
    return writeReport(iteration, images, error);
}

bool TrainingMonitor::patienceSpent() const
{
    return evaluator && patience > 0 && evaluationsWithoutBest >= patience;
}

std::string TrainingMonitor::endReason() const
{
    return "no improvement in " + std::to_string(patience) + " evaluations";
}
