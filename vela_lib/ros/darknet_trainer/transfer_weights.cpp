#include "transfer_weights.h"

#include "weights_file.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// darknet writes 0.2.0; files from older versions or with transposed connected layers carry
// numbers above 1000. Anything past that is not a darknet header.
constexpr int32_t kLargestVersionNumber = 100000;

std::string notFitting(const std::string& path, const std::string& held, size_t expected)
{
    return "weights file " + path + " does not fit the network: it holds " + held + " parameters, the network has " +
           std::to_string(expected);
}

// Parameters a layer would hold with `units` filters or outputs, where that is the only change.
size_t parametersPerUnit(const layer& l)
{
    const size_t scales = l.batch_normalize && !l.dontloadscales ? 3 : 0;
    if (l.type == CONVOLUTIONAL && l.groups == 1)
        return 1 + size_t(l.c) * size_t(l.size) * size_t(l.size) + scales;
    if (l.type == CONNECTED)
        return 1 + size_t(l.inputs) + scales;
    return 0;
}

int unitsOf(const layer& l) { return l.type == CONNECTED ? l.outputs : l.n; }

const char* kindName(LAYER_TYPE type)
{
    switch (type) {
    case CONVOLUTIONAL: return "convolutional";
    case CONNECTED: return "connected";
    case BATCHNORM: return "batchnorm";
    default: return "layer";
    }
}

// Weights files say nothing of their layers' shapes, so a file of another network can have a
// size that seems to fit. Batch-normalised layers read from the wrong place almost surely find
// negative or non-finite variances: such a file is refused rather than trained on garbage.
bool variancesArePlausible(const std::string& path, size_t header, const network* net, int layers)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    bool plausible = true;
    size_t offset = header;
    for (int i = 0; i < layers && plausible; ++i) {
        const layer& l = net->layers[i];
        const size_t count = WeightsFile::layerParameterCount(l, false);
        if (l.type == CONVOLUTIONAL && l.batch_normalize && !l.dontloadscales && count > 0) {
            std::vector<float> variances(size_t(l.n));
            // biases, scales, rolling means, then the rolling variances
            plausible = std::fseek(file, long(offset + 3 * size_t(l.n) * sizeof(float)), SEEK_SET) == 0 &&
                        std::fread(variances.data(), sizeof(float), variances.size(), file) == variances.size();
            for (float v : variances)
                plausible = plausible && std::isfinite(v) && v >= 0;
        }
        offset += count * sizeof(float);
    }
    std::fclose(file);
    return plausible;
}

} // namespace

bool TransferWeights::plan(const std::string& path, const network* net, Plan* plan, std::string* error)
{
    WeightsHeader start;
    size_t size = 0;
    if (!WeightsFile::readHeader(path, &start, &size, error))
        return false;
    for (int32_t number : {start.major, start.minor, start.revision})
        if (number < 0 || number > kLargestVersionNumber) {
            *error = "weights file " + path + " is not a darknet weights file: its header gives version " +
                     std::to_string(start.major) + "." + std::to_string(start.minor) + "." +
                     std::to_string(start.revision);
            return false;
        }
    const size_t header = start.bytes;
    const size_t expected = WeightsFile::parameterCount(net, false);
    if (size < header || (size - header) % sizeof(float) != 0) {
        *error = notFitting(path, size < header ? std::string("no") : std::to_string((size - header) / sizeof(float)),
                            expected);
        return false;
    }
    const size_t held = (size - header) / sizeof(float);

    *plan = Plan();
    if (held == expected) {
        plan->exact = true;
        plan->loadedLayers = net->n;
        return true;
    }
    // Layers in order while the file has them whole; the first one it ends before or inside is
    // where the networks part.
    size_t loaded = 0;
    int first = 0;
    int lastWeighted = -1;
    for (int i = 0; i < net->n; ++i)
        if (WeightsFile::layerParameterCount(net->layers[i], false) > 0)
            lastWeighted = i;
    while (first < net->n) {
        const size_t count = WeightsFile::layerParameterCount(net->layers[first], false);
        // The last weighted layer is taken only when it ends the file.
        if (count > 0 && (loaded + count > held || loaded == held || (first == lastWeighted && loaded + count != held)))
            break;
        loaded += count;
        ++first;
    }
    bool fits = loaded > 0 && loaded == held; // a partial file
    if (!fits && loaded > 0 && first == lastWeighted) {
        // The same network with another number of units in its last weighted layer.
        const layer& last = net->layers[first];
        const size_t perUnit = parametersPerUnit(last);
        const size_t rest = held - loaded;
        fits = perUnit > 0 && rest % perUnit == 0 && rest / perUnit != size_t(unitsOf(last));
    }
    if (!fits || !variancesArePlausible(path, header, net, first)) {
        *error = notFitting(path, std::to_string(held), expected);
        return false;
    }
    plan->loadedLayers = first;
    for (int i = first; i < net->n; ++i)
        if (WeightsFile::layerParameterCount(net->layers[i], false) > 0)
            plan->initialised.push_back(i);
    return true;
}

void TransferWeights::load(network* net, const std::string& path, const Plan& plan)
{
    std::string name = path; // libdarknet takes its file names as char*
    if (plan.exact) {
        load_weights(net, name.data());
        return;
    }
    load_weights_upto(net, name.data(), 0, plan.loadedLayers);
    *net->seen = 0;
}

std::string TransferWeights::summary(const network* net, const std::string& path, const Plan& plan)
{
    std::string initialised;
    for (int index : plan.initialised)
        initialised += (initialised.empty() ? "" : ", ") + std::to_string(index) + " (" +
                       kindName(net->layers[index].type) + ")";
    return "transfer from " + path + ": loaded the first " + std::to_string(plan.loadedLayers) + " of " +
           std::to_string(net->n) + " layers, initialised layer" + (plan.initialised.size() == 1 ? " " : "s ") +
           initialised + "; images seen start again from 0";
}
