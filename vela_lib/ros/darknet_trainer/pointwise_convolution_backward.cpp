#include "pointwise_convolution_backward.h"

#include <cstring>
#include <vector>

namespace {

void (*libraryBackward)(layer, network) = nullptr;

void backwardKeepingInputDelta(layer l, network net)
{
    if (!net.delta) {
        libraryBackward(l, net);
        return;
    }
    const size_t n = size_t(l.inputs) * size_t(l.batch);
    thread_local std::vector<float> kept;
    kept.assign(net.delta, net.delta + n);
    libraryBackward(l, net);
    for (size_t i = 0; i < n; ++i)
        net.delta[i] += kept[i];
}

} // namespace

void PointwiseConvolutionBackward::install(layer* l)
{
    libraryBackward = l->backward;
    l->backward = backwardKeepingInputDelta;
}
