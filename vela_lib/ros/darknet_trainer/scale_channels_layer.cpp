#include "scale_channels_layer.h"

#include <cstddef>

namespace {

// The two inputs of the layer at net.index: the feature map and the channel scales.
const layer& featuresOf(const layer& l, const network& net) { return net.layers[l.input_layers[0]]; }
const layer& scalesOf(const network& net) { return net.layers[net.index - 1]; }

// Calls channel(scaleIndex, offset, spatial) for every image and channel of the layer: the
// index of its scale in the scales layer's output and the offset of its plane in the outputs.
template <typename Channel>
void forEachChannel(const layer& l, const layer& scales, Channel channel)
{
    const size_t spatial = size_t(l.out_w) * size_t(l.out_h);
    for (int b = 0; b < l.batch; ++b)
        for (int c = 0; c < l.out_c; ++c)
            channel(size_t(b) * size_t(scales.outputs) + size_t(c), size_t(b) * size_t(l.outputs) + size_t(c) * spatial,
                    spatial);
}

} // namespace

void ScaleChannelsLayer::install(layer* l)
{
    l->forward = forward;
    l->backward = backward;
}

void ScaleChannelsLayer::forward(layer l, network net)
{
    const layer& features = featuresOf(l, net);
    const layer& scales = scalesOf(net);
    forEachChannel(l, scales, [&](size_t scaleIndex, size_t offset, size_t spatial) {
        const float scale = scales.output[scaleIndex];
        const float* in = features.output + offset;
        float* out = l.output + offset;
        for (size_t i = 0; i < spatial; ++i)
            out[i] = in[i] * scale;
    });
}

void ScaleChannelsLayer::backward(layer l, network net)
{
    const layer& features = featuresOf(l, net);
    const layer& scales = scalesOf(net);
    forEachChannel(l, scales, [&](size_t scaleIndex, size_t offset, size_t spatial) {
        const float scale = scales.output[scaleIndex];
        const float* delta = l.delta + offset;
        const float* in = features.output + offset;
        float* featureDelta = features.delta ? features.delta + offset : nullptr;
        float scaleDelta = 0;
        for (size_t i = 0; i < spatial; ++i) {
            scaleDelta += delta[i] * in[i];
            if (featureDelta)
                featureDelta[i] += delta[i] * scale;
        }
        if (scales.delta)
            scales.delta[scaleIndex] += scaleDelta;
    });
}
