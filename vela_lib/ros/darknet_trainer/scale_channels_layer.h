#pragma once

#include <darknet.h>

// The [scale_channels] layer: every channel of an earlier layer's output (its "from") times the
// matching value of the previous layer's 1 x 1 x C output, as in squeeze-and-excitation blocks.
// libdarknet does not know it, so it is parsed as a [route] to the "from" layer, which has the
// same output shape and no weights, and the route's functions are then replaced.
class ScaleChannelsLayer
{
public:
    // Turns a parsed single-source route layer into a scale_channels layer.
    static void install(layer* l);

    static void forward(layer l, network net);
    static void backward(layer l, network net);
};
