#pragma once

#include <ATen/ATen.h>

#include <vector>

// Dynamic loss scaling for training in 16-bit floats: the gradient that starts the backward pass
// is multiplied by a scale, so that small gradients do not vanish in fp16; the weights' (fp32)
// gradients are divided by it again before the update. When a gradient overflowed, the update
// is skipped and the scale halved; after a run of good updates it doubles.
class TorchLossScale
{
public:
    static constexpr double kInitial = 1024;
    static constexpr int kGrowthInterval = 500;

    explicit TorchLossScale(double initial = kInitial, int growthInterval = kGrowthInterval)
        : current(initial), growthInterval(growthInterval)
    {
    }

    double scale() const { return current; }

    // Divides the gradients by the scale; true when all are finite (the update may go ahead).
    // Adjusts the scale for the next iteration either way.
    bool unscale(const std::vector<at::Tensor>& gradients);

private:
    double current;
    int growthInterval;
    int goodSteps = 0;
};
