#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// How often a training run keeps its weights and evaluates, and the clock it goes by. Tests give
// it a clock of their own to check the loop's timing without waiting for it.
struct RunPace
{
    // Backups are written at least this often, whichever comes first.
    int64_t backupEveryIterations = 100;
    double backupEverySeconds = 60;
    // Share of the wall time that evaluations may take.
    double evaluationShare = 0.10;
    // Between backups, evaluations are at least this far apart, so that a small validation set
    // does not print a line at every iteration.
    double evaluationGapSeconds = 5.0;
    // A stop runs one last evaluation only when the previous one took no longer than this.
    double lastEvaluationAtStopSeconds = 2.0;
    // Above 0: an evaluation every so many iterations instead, whatever they take
    // (VELA_TRAINER_EVALUATE_EVERY), for runs that must evaluate at the same iterations each time.
    int64_t evaluateEveryIterations = 0;

    // Seconds on a monotonic clock; the steady clock when empty.
    std::function<double()> clock;

    double now() const
    {
        if (clock)
            return clock();
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};
