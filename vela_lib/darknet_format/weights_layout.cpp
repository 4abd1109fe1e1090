#include "weights_layout.h"

#include <cstdlib>

namespace {

bool flag(const CfgSection& section, const char* key)
{
    const std::string* text = section.find(key);
    return text && std::atoi(text->c_str()) != 0;
}

} // namespace

WeightsLayout WeightsLayout::of(const std::vector<ShapeWalk::Layer>& walked)
{
    WeightsLayout layout;
    for (const ShapeWalk::Layer& w : walked) {
        Layer l;
        l.kind = w.kind;
        l.units = w.units;
        const bool weighted = w.kind == "convolutional" || w.kind == "connected";
        if (weighted || w.kind == "batchnorm") {
            const bool scalesLoaded = w.batchNormalize && !flag(*w.section, "dontloadscales");
            l.saved = flag(*w.section, "dontsave") ? 0 : w.parameterCount;
            l.loaded = w.parameterCount - (weighted && w.batchNormalize && !scalesLoaded ? 3LL * w.units : 0);
            if (flag(*w.section, "dontload"))
                l.loaded = 0;
            // biases, scales, rolling means, then the rolling variances (convolutions only:
            // a connected layer keeps its normalisation after the weights)
            if (w.kind == "convolutional" && scalesLoaded && l.loaded > 0)
                l.varianceAt = 3LL * w.units;
            const long long scales = scalesLoaded ? 3 : 0;
            if (w.kind == "convolutional" && w.groups == 1)
                l.perUnit = 1 + (long long)w.in.c * w.size * w.size + scales;
            else if (w.kind == "connected")
                l.perUnit = 1 + w.in.outputs + scales;
        }
        layout.layers.push_back(l);
    }
    return layout;
}

long long WeightsLayout::loadedTotal() const
{
    long long total = 0;
    for (const Layer& l : layers)
        total += l.loaded;
    return total;
}

long long WeightsLayout::savedTotal() const
{
    long long total = 0;
    for (const Layer& l : layers)
        total += l.saved;
    return total;
}
