#pragma once

#include <darknet.h>

// libdarknet's backward pass of a 1 x 1 convolution writes the gradient for its input over the
// previous layer's delta instead of adding to it, so what a later [shortcut], [route] or
// [scale_channels] had already added there is lost: residual networks train without the
// gradient of their skip connections. The replacement adds to it, with no copy of the delta.
class PointwiseConvolutionBackward
{
public:
    // For a parsed 1 x 1 convolutional layer; before any other wrapper of its backward.
    static void install(layer* l);
};
