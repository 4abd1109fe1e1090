#include "transfer_weights.h"

#include "weights_file.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// darknet writes 0.2.0; files from older versions or with transposed connected layers carry
// numbers above 1000. Anything past that is not a darknet header.
constexpr int32_t kLargestVersionNumber = 100000;
constexpr int32_t kTransposedAbove = 1000;

std::string notFitting(const std::string& path, const std::string& held, long long expected)
{
    return "weights file " + path + " does not fit the network: it holds " + held + " parameters, the network has " +
           std::to_string(expected);
}

// Weights files say nothing of their layers' shapes, so a file of another network can have a
// size that seems to fit. Batch-normalised layers read from the wrong place almost surely find
// negative or non-finite variances: such a file is refused rather than trained on garbage.
bool variancesArePlausible(const std::string& path, size_t header, const WeightsLayout& layout, int layers)
{
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return false;
    size_t offset = header;
    for (int i = 0; i < layers; ++i) {
        const WeightsLayout::Layer& l = layout.layers[size_t(i)];
        if (l.varianceAt >= 0) {
            std::vector<float> variances(size_t(l.units));
            if (std::fseek(file.get(), long(offset + size_t(l.varianceAt) * sizeof(float)), SEEK_SET) != 0 ||
                std::fread(variances.data(), sizeof(float), variances.size(), file.get()) != variances.size())
                return false;
            for (float v : variances)
                if (!std::isfinite(v) || v < 0)
                    return false;
        }
        offset += size_t(l.loaded) * sizeof(float);
    }
    return true;
}

} // namespace

bool TransferWeights::plan(const std::string& path, const WeightsLayout& layout, Plan* plan, std::string* error)
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
    const long long expected = layout.loadedTotal();
    if (size < header) {
        *error = notFitting(path, "no", expected);
        return false;
    }
    if ((size - header) % sizeof(float) != 0) {
        *error = "weights file " + path + " does not fit the network: the " + std::to_string(size - header) +
                 " bytes after its header are no whole number of parameters (the network has " +
                 std::to_string(expected) + ")";
        return false;
    }
    const long long held = (long long)((size - header) / sizeof(float));

    *plan = Plan();
    plan->headerBytes = header;
    plan->transposed = start.major > kTransposedAbove || start.minor > kTransposedAbove;
    const int count = int(layout.layers.size());
    if (held == expected) {
        plan->exact = true;
        plan->loadedLayers = count;
        return true;
    }
    // Layers in order while the file has them whole; the first one it ends before or inside is
    // where the networks part.
    long long loaded = 0;
    int first = 0;
    int lastWeighted = -1;
    for (int i = 0; i < count; ++i)
        if (layout.layers[size_t(i)].loaded > 0)
            lastWeighted = i;
    while (first < count) {
        const long long floats = layout.layers[size_t(first)].loaded;
        // The last weighted layer is taken only when it ends the file.
        if (floats > 0 && (loaded + floats > held || loaded == held || (first == lastWeighted && loaded + floats != held)))
            break;
        loaded += floats;
        ++first;
    }
    bool fits = loaded > 0 && loaded == held; // a partial file
    if (!fits && loaded > 0 && first == lastWeighted) {
        // The same network with another number of units in its last weighted layer.
        const WeightsLayout::Layer& last = layout.layers[size_t(first)];
        const long long rest = held - loaded;
        fits = last.perUnit > 0 && rest % last.perUnit == 0 && rest / last.perUnit != last.units;
    }
    if (!fits || !variancesArePlausible(path, header, layout, first)) {
        *error = notFitting(path, std::to_string(held), expected);
        return false;
    }
    plan->loadedLayers = first;
    for (int i = first; i < count; ++i)
        if (layout.layers[size_t(i)].loaded > 0)
            plan->initialised.push_back(i);
    return true;
}

std::string TransferWeights::summary(const WeightsLayout& layout, const std::string& path, const Plan& plan)
{
    std::string initialised;
    for (int index : plan.initialised)
        initialised += (initialised.empty() ? "" : ", ") + std::to_string(index) + " (" +
                       layout.layers[size_t(index)].kind + ")";
    return "transfer from " + path + ": loaded the first " + std::to_string(plan.loadedLayers) + " of " +
           std::to_string(layout.layers.size()) + " layers, initialised layer" +
           (plan.initialised.size() == 1 ? " " : "s ") + initialised + "; images seen start again from 0";
}
