#include "training_report.h"

void TrainingReport::addIteration(int64_t iteration, double averageLoss, double accuracy)
{
    if (iteration % stride != 0 && !points.empty())
        return;
    points.push_back({iteration, averageLoss, accuracy});
    if (points.size() <= kMaxPoints)
        return;
    // Twice as sparse from the start: every other point goes, and so do later ones.
    for (size_t i = 0; 2 * i < points.size(); ++i)
        points[i] = points[2 * i];
    points.resize((points.size() + 1) / 2);
    stride *= 2;
}

bool TrainingReport::addEvaluation(const ValidationResult& result)
{
    evals.push_back({result.iteration, result.top1, result.top5, result.seconds, result.images});
    if (best >= 0 && result.top1 <= evals[size_t(best)].top1)
        return false;
    best = int(evals.size()) - 1;
    bestEvaluation = result;
    return true;
}

void TrainingReport::setProgress(int64_t iterations, uint64_t images, double wallSeconds)
{
    iterationCount = iterations;
    imageCount = images;
    seconds = wallSeconds;
}
