#pragma once

#include <cstddef>
#include <functional>

// The kernels' share of the cores. libdarknet runs everything but the matrix product on one
// thread, so on a wide network its elementwise passes (activations, normalisation, patch
// unrolling) take as long as the product itself. They split their work here into as many
// parts as OpenBLAS has threads, each part touching its own elements only, so the results are
// the same whatever the split.
class KernelThreads
{
public:
    // Runs body(begin, end) on consecutive parts of [0, count), the calling thread taking the
    // first, and returns when all are done. Parts of fewer than `grain` items are not worth a
    // thread: then, or when another call is running, the caller runs the whole range alone.
    static void forRange(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body);
};
