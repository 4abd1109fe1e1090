#pragma once

#include "cfg_document.h"

#include <cstddef>
#include <string>
#include <vector>

// What a training run takes from the [net] section of a configuration, read as libdarknet reads
// it: the same defaults, the same float values, and the learning rate at each batch computed by
// libdarknet's own formulas. The document is expected to have passed the trainer's check, so
// values that are present are numbers.
struct NetSettings
{
    enum class Policy { Constant, Step, Steps, Exp, Poly, Random, Sig };

    int width = 0, height = 0, channels = 0;
    int batch = 1;        // images per iteration, as written
    int subdivisions = 1; // passes per iteration; each pass holds batch / subdivisions images
    int maxBatches = 0;   // 0: no end

    float learningRate = 0.001f, momentum = 0.9f, decay = 0.0001f;
    Policy policy = Policy::Constant;
    std::string policyName = "constant";
    int burnIn = 0;
    float power = 4;
    int step = 1;
    float scale = 1;
    float gamma = 1;
    std::vector<int> steps;
    std::vector<float> scales;
    bool adam = false;

    // The training-time jitter.
    float minRatio = 1, maxRatio = 2;
    float angle = 0, aspect = 1, saturation = 1, exposure = 1, hue = 0;
    bool center = false;

    // Reads the first section; false with one line in error when it is no [net] section.
    static bool read(const CfgDocument& document, NetSettings* settings, std::string* error);

    // Images in one pass (libdarknet's net->batch).
    int imagesPerPass() const { return batch / subdivisions; }
    // Images one iteration trains on (libdarknet's net->batch * net->subdivisions).
    int imagesPerIteration() const { return imagesPerPass() * subdivisions; }
    // libdarknet's get_current_batch: the iterations that imagesSeen make.
    size_t batchNumber(size_t imagesSeen) const;
    // libdarknet's get_current_rate at that batch number (the random policy draws with rand()).
    float rate(size_t batchNumber) const;
};
