#pragma once

#include <darknet.h>

#include <memory>
#include <string>

// Builds the network of a configuration with libdarknet, including the pieces the library lacks:
// the swish activation of convolutional layers and the [scale_channels] layer. The library
// parses a stand-in text (swish as linear, [scale_channels] as a [route] of the same shape and
// no weights); the stand-ins then get the right functions. Weights files keep darknet's layout.
// A configuration without such pieces goes to the library as it is. Every 1 x 1 convolution
// gets the backward pass that keeps its input's other gradients (PointwiseConvolutionBackward).
class NetworkBuilder
{
public:
    struct Deleter
    {
        void operator()(network* net) const { NetworkBuilder::free(net); }
    };
    using NetworkPtr = std::unique_ptr<network, Deleter>;

    // The configuration must have passed NetworkCfgCheck. Null with one line in error when the
    // file cannot be read or the stand-in cannot be handed to the library.
    static NetworkPtr build(const std::string& cfgPath, std::string* error);

    static void free(network* net);
};
