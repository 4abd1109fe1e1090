#pragma once

#include <cstdint>
#include <string>

// What one training iteration reports.
struct IterationReport
{
    int64_t iteration = 0;  // batches trained in all, earlier runs included
    double epoch = 0;       // images seen / images in the train list
    double loss = 0;        // mean loss per image of this batch
    double averageLoss = 0; // running average
    double accuracy = 0;    // top-1 accuracy of this batch, 0..1
    double rate = 0;        // learning rate
    double seconds = 0;     // wall time of the iteration, waiting for data included
    uint64_t images = 0;    // images seen in all
};

// The one line per iteration on standard output that the trainer window parses:
// "iteration[I] I, E: L, A avg, C acc, R rate, S seconds, N images".
namespace ProgressLine {
std::string format(const IterationReport& report);
}
