#pragma once

#include <darknet.h>

// The swish activation x * sigmoid(x) for convolutional layers. libdarknet does not know it, so
// such a layer is parsed with a linear activation and its forward and backward functions are then
// wrapped: the forward keeps the linear output (the activation's input, which the gradient needs
// and swish's output does not determine) and applies swish; the backward multiplies the incoming
// gradient by swish's derivative before the library's linear backward runs.
class SwishLayer
{
public:
    // Turns a parsed convolutional layer with a linear activation into a swish layer.
    static void install(layer* l);
    // Drops what install() keeps for the layers of net; call before free_network().
    static void release(const network* net);

    // The kernels, element by element over n values.
    static void activate(const float* x, float* y, int n);
    static void gradient(const float* x, float* delta, int n);
};
