#pragma once

#include <vector>

// One iteration's training data: images drawn at random (with replacement) from the train
// set, augmented, as darknet input rows, with one-hot truth rows.
struct Batch
{
    int images = 0;
    int inputsPerImage = 0;
    int classes = 0;
    std::vector<float> x; // images x inputsPerImage
    std::vector<float> y; // images x classes
};
