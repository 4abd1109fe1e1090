#include <darknet.h>

#include <dlfcn.h>

// libdarknet applies activations through a function call per element. The convolutional
// networks of the catalogue use leaky and linear units (and ReLU); these loops replace the
// library's for them, with the library's exact arithmetic, and hand every other activation to
// the library's own function.

namespace {

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
        for (int i = 0; i < n; ++i)
            x[i] = x[i] > 0 ? x[i] : float(.1 * x[i]);
        return;
    case RELU:
        for (int i = 0; i < n; ++i)
            x[i] = x[i] * float(x[i] > 0);
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
        for (int i = 0; i < n; ++i)
            delta[i] *= x[i] > 0 ? 1.0f : .1f;
        return;
    case RELU:
        for (int i = 0; i < n; ++i)
            delta[i] *= float(x[i] > 0);
        return;
    default:
        static const auto library = libraryFunction<void (*)(const float*, int, ACTIVATION, float*)>("gradient_array");
        library(x, n, a, delta);
    }
}

} // extern "C"
