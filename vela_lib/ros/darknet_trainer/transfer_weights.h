#pragma once

#include "weights_layout.h"

#include <string>
#include <vector>

// How a weights file goes into a network. A file that fits exactly continues the training with
// its count of images seen. Otherwise the network starts from what the file shares with it:
// - a file of the network's first layers only (darknet's partial files), or
// - a file of the same network but for the size of its last weighted layer (another class count:
//   darknet's published ImageNet weights, a model trained for other classes);
// the layers up to there are loaded, the rest keep their fresh initialisation, and the count of
// images seen starts again from 0 so the learning-rate schedule, burn-in included, starts over.
// A file that fits in none of these ways, or of which not even the first layer fits, is refused.
// The plan is worked out on the network's weights layout, the same for every engine.
class TransferWeights
{
public:
    struct Plan
    {
        bool exact = false;
        int loadedLayers = 0;         // layers [0, loadedLayers) come from the file
        std::vector<int> initialised; // weighted layers that keep their initialisation
        size_t headerBytes = 0;       // where the parameters start
        bool transposed = false;      // connected weights stored transposed (old files)
    };

    // Reads the file's header and size; false with one line in error when it cannot be used.
    static bool plan(const std::string& path, const WeightsLayout& layout, Plan* plan, std::string* error);

    // The one line telling what a transfer loaded and what it initialised.
    static std::string summary(const WeightsLayout& layout, const std::string& path, const Plan& plan);
};
