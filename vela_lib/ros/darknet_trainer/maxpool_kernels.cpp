#include "kernel_threads.h"

#include <darknet.h>

#include <algorithm>
#include <cfloat>

// libdarknet's [maxpool] passes, plane by plane on all the cores. The layer's functions are
// exported from the library and set by address, so these definitions in the executable take
// their place. Each output keeps the first largest value of its window in the library's
// order, and its gradient goes back to that input, as there; each plane's gradients stay
// inside their own plane, so the planes are independent.

namespace {

// Planes (one channel of one picture) per thread below which a split costs more than it saves.
size_t planeGrain(const layer& l) { return std::max(1, (1 << 16) / std::max(1, l.out_w * l.out_h * l.size * l.size)); }

// The layer's sizes as locals: the index stores could otherwise alias the layer's int fields,
// and the compiler would read them again after every output.
struct Pool
{
    int w, h, outW, outH, size, stride, offset;
    explicit Pool(const layer& l)
        : w(l.w), h(l.h), outW(l.out_w), outH(l.out_h), size(l.size), stride(l.stride), offset(-l.pad / 2)
    {
    }
};

// The window's first largest value and its index, -1 when none is larger than -FLT_MAX.
// Inside the picture no position needs its check; the order of comparisons is the same.
template <bool Inside>
inline void poolWindow(const Pool& p, const float* input, int inputPlane, int top, int left, float* best,
                       int* bestIndex)
{
    for (int n = 0; n < p.size; ++n) {
        const int row = top + n;
        for (int m = 0; m < p.size; ++m) {
            const int column = left + m;
            const int index = inputPlane + row * p.w + column;
            const bool inside = Inside || (row >= 0 && row < p.h && column >= 0 && column < p.w);
            const float value = inside ? input[index] : -FLT_MAX;
            // Selects, not branches: which value is largest is as good as random.
            const bool larger = value > *best;
            *bestIndex = larger ? index : *bestIndex;
            *best = larger ? value : *best;
        }
    }
}

void poolPlane(const Pool p, const float* input, float* output, int* indexes, int plane)
{
    const int inputPlane = plane * p.h * p.w;
    for (int i = 0; i < p.outH; ++i) {
        const int top = p.offset + i * p.stride;
        const bool rowsInside = top >= 0 && top + p.size <= p.h;
        for (int j = 0; j < p.outW; ++j) {
            const int left = p.offset + j * p.stride;
            const int out = j + p.outW * (i + p.outH * plane);
            float best = -FLT_MAX;
            int bestIndex = -1;
            if (rowsInside && left >= 0 && left + p.size <= p.w)
                poolWindow<true>(p, input, inputPlane, top, left, &best, &bestIndex);
            else
                poolWindow<false>(p, input, inputPlane, top, left, &best, &bestIndex);
            output[out] = best;
            indexes[out] = bestIndex;
        }
    }
}

} // namespace

extern "C" {

void forward_maxpool_layer(const layer l, network net)
{
    KernelThreads::forRange(size_t(l.batch) * size_t(l.c), planeGrain(l), [&](size_t begin, size_t end) {
        for (size_t plane = begin; plane < end; ++plane)
            poolPlane(Pool(l), net.input, l.output, l.indexes, int(plane));
    });
}

void backward_maxpool_layer(const layer l, network net)
{
    const size_t outputsPerPlane = size_t(l.out_w) * size_t(l.out_h);
    const int* indexes = l.indexes;
    const float* delta = l.delta;
    float* inputDelta = net.delta;
    KernelThreads::forRange(size_t(l.batch) * size_t(l.c), planeGrain(l), [&](size_t begin, size_t end) {
        for (size_t i = begin * outputsPerPlane; i < end * outputsPerPlane; ++i)
            if (indexes[i] >= 0)
                inputDelta[indexes[i]] += delta[i];
    });
}

} // extern "C"
