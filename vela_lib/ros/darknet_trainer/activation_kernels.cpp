#include "kernel_threads.h"

#include <darknet.h>

#include <dlfcn.h>

// libdarknet applies activations through a function call per element. The convolutional
// networks of the catalogue use leaky and linear units (and ReLU); these loops replace the
// library's for them, with the library's exact arithmetic, and hand every other activation to
// the library's own function.

namespace {

// Elements per thread below which a split costs more than it saves.
constexpr size_t kGrain = 1 << 16;

// op(i) for every element, on all cores.
template <typename Op>
void forEachElement(int n, Op op)
{
    KernelThreads::forRange(size_t(n), kGrain, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i)
            op(i);
    });
}

template <typename Fn>
Fn libraryFunction(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

void activate_array(float* x, const int n, const ACTIVATION a)
{
    switch (a) {
    case LINEAR:
        return;
    case LEAKY:
        forEachElement(n, [x](size_t i) { x[i] = x[i] > 0 ? x[i] : float(.1 * x[i]); });
        return;
    case RELU:
        forEachElement(n, [x](size_t i) { x[i] = x[i] * float(x[i] > 0); });
        return;
    default:
        static const auto library = libraryFunction<void (*)(float*, int, ACTIVATION)>("activate_array");
        library(x, n, a);
    }
}

void gradient_array(const float* x, const int n, const ACTIVATION a, float* delta)
{
    switch (a) {
    case LINEAR:
        return;
    case LEAKY:
        forEachElement(n, [x, delta](size_t i) { delta[i] *= x[i] > 0 ? 1.0f : .1f; });
        return;
    case RELU:
        forEachElement(n, [x, delta](size_t i) { delta[i] *= float(x[i] > 0); });
        return;
    default:
        static const auto library = libraryFunction<void (*)(const float*, int, ACTIVATION, float*)>("gradient_array");
        library(x, n, a, delta);
    }
}

} // extern "C"
