#pragma once

#include "validation_evaluator.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What a training run has shown so far, kept for report.json and report.png in the backup
// folder: the loss and batch accuracy over iterations (sampled ever more sparsely as the run
// grows) and, with validation, every evaluation and the confusion of the best one. A run that
// continues an earlier one continues its report.
class TrainingReport
{
public:
    struct Point
    {
        int64_t iteration = 0;
        double averageLoss = 0;
        double accuracy = 0; // batch top-1, 0..1
    };
    struct Evaluation
    {
        int64_t iteration = 0;
        double top1 = 0, top5 = 0, seconds = 0;
        int images = 0;
    };

    static constexpr size_t kMaxPoints = 400;

    TrainingReport(std::string model, std::vector<std::string> classes, bool validation)
        : modelName(std::move(model)), classNames(std::move(classes)), validation(validation) {}

    void addIteration(int64_t iteration, double averageLoss, double accuracy);
    // Returns true when this evaluation is the best top-1 so far.
    bool addEvaluation(const ValidationResult& result);
    void setProgress(int64_t iterations, uint64_t images, double wallSeconds);
    // The held-out set the evaluations are made on (ValidationSet::identity()).
    void setHeldOut(std::string identity) { heldOutIdentity = std::move(identity); }

    // Takes over the history of an earlier report of the same run up to the iteration this one
    // starts from, and its wall time; with keepBest also its evaluations and its best, which
    // later evaluations must then beat.
    void continueFrom(const TrainingReport& earlier, int64_t startIteration, bool keepBest);

    const std::string& model() const { return modelName; }
    const std::string& heldOut() const { return heldOutIdentity; }
    const std::vector<std::string>& classes() const { return classNames; }
    bool hasValidation() const { return validation; }
    const std::vector<Point>& series() const { return points; }
    const std::vector<Evaluation>& evaluations() const { return evals; }
    // Index into evaluations() of the best one, -1 before the first.
    int bestIndex() const { return best; }
    const ValidationResult& bestResult() const { return bestEvaluation; }
    int64_t iterations() const { return iterationCount; }
    uint64_t images() const { return imageCount; }
    double wallSeconds() const { return earlierSeconds + seconds; }

private:
    std::string modelName;
    std::vector<std::string> classNames;
    bool validation;
    std::vector<Point> points;
    int64_t stride = 1;
    std::vector<Evaluation> evals;
    int best = -1;
    ValidationResult bestEvaluation;
    int64_t iterationCount = 0;
    uint64_t imageCount = 0;
    double seconds = 0;
    double earlierSeconds = 0; // of the runs this one continues
    std::string heldOutIdentity;
};
