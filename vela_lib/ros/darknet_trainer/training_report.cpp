#include "training_report.h"

#include <algorithm>

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

void TrainingReport::continueFrom(const TrainingReport& earlier, int64_t startIteration, bool keepBest)
{
    points.clear();
    for (const Point& point : earlier.points)
        if (point.iteration <= startIteration)
            points.push_back(point);
    // Sampled as sparsely as the earlier run had come to.
    const size_t n = points.size();
    stride = n >= 2 ? std::max<int64_t>(1, points[n - 1].iteration - points[n - 2].iteration) : 1;
    earlierSeconds = earlier.wallSeconds();
    evals.clear();
    best = -1;
    if (!keepBest)
        return;
    for (size_t i = 0; i < earlier.evals.size(); ++i) {
        // The best stays with its weights, even past the iteration this run starts from.
        if (earlier.evals[i].iteration > startIteration && int(i) != earlier.best)
            continue;
        if (int(i) == earlier.best)
            best = int(evals.size());
        evals.push_back(earlier.evals[i]);
    }
    bestEvaluation = earlier.bestEvaluation;
}

void TrainingReport::setProgress(int64_t iterations, uint64_t images, double wallSeconds)
{
    iterationCount = iterations;
    imageCount = images;
    seconds = wallSeconds;
}
