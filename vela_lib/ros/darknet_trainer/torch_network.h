#pragma once

#include "cfg_document.h"
#include "shape_walk.h"
#include "transfer_weights.h"

#include <ATen/ATen.h>

#include <string>
#include <vector>

// A darknet classifier network as LibTorch tensors: the layers of a checked configuration, each
// computed as libdarknet computes it (darknet's padding and rounding, its shortcut of unequal
// shapes, its leading crop), with autograd for the backward pass. Weights read and write in
// darknet's layout.
class TorchNetwork
{
public:
    enum class Kind { Convolutional, Connected, Maxpool, Avgpool, Route, Shortcut, ScaleChannels, Dropout, Softmax, Cost, Crop };
    enum class Activation { Linear, Leaky, Relu, Relie, Ramp, Logistic, Loggy, Tanh, Elu, Selu, Swish };

    struct Layer
    {
        Kind kind = Kind::Convolutional;
        std::string where; // "[convolutional] at line 12"
        ShapeWalk::Shape in, out;
        Activation activation = Activation::Linear;
        int size = 1, stride = 1, padding = 0, groups = 1, units = 0;
        bool batchNormalize = false;
        float rateScale = 1;           // the layer's learning_rate
        std::vector<int> sources;      // route, shortcut and scale_channels inputs
        float alpha = 1, beta = 1;     // shortcut
        float probability = 0.5f;      // dropout
        float temperature = 1;         // softmax
        int softmaxGroups = 1;
        float costScale = 1;           // cost
        bool flip = false, noadjust = false; // crop
        // Parameters: weights and biases; with normalisation also scales and rolling statistics.
        at::Tensor weights, biases, scales, rollingMean, rollingVariance;
    };

    // What a forward pass leaves for the loss: the network's answer and the tensor a softmax
    // reads (for darknet's delta), when the answer is one.
    struct Output
    {
        at::Tensor scores;       // images x outputs
        at::Tensor softmaxInput; // images x outputs; undefined without a final softmax
        int cost = -1;           // index of a final [cost], -1 without one
    };

    // Builds the layers with darknet's initialisation; false with one line naming a section and
    // option this engine does not train.
    bool build(const CfgDocument& document, const ShapeWalk::Shape& input, std::string* error);

    // A batch (images x 3 x height x width) through the network. In training mode with the
    // layers' randomness (dropout, crop) and batch statistics, updating the rolling ones. Maps are
    // kept channels last, the order the library's convolutions run fastest in.
    Output forward(const at::Tensor& input, bool train);

    // The trainable tensors, with whether darknet's decay applies (weights) and their layer's
    // rate scale.
    struct Parameter
    {
        at::Tensor tensor;
        bool decays;
        float rateScale;
    };
    std::vector<Parameter> parameters() const;

    // Moves every parameter and statistic to the device (a new network is built on the CPU).
    void moveTo(const at::Device& device);
    // The rolling statistics of every normalised layer (the tensors themselves, not copies).
    std::vector<at::Tensor> rollingStatistics() const;

    const std::vector<Layer>& layers() const { return layerList; }
    int outputs() const;
    // Multiplications and additions of one image's forward pass.
    double forwardFlops() const { return flops; }

    // Reads the planned layers of a weights file; false with one line when it cannot be read.
    bool load(const std::string& path, const TransferWeights::Plan& plan, std::string* error);
    // Every layer's floats in file order, after a header of version 0.2.0 with seen.
    std::string serialise(uint64_t seen) const;

private:
    bool buildLayer(const ShapeWalk::Layer& walked, std::string* error);
    at::Tensor layerForward(Layer& l, const at::Tensor& x, const std::vector<at::Tensor>& outputs, bool train);
    void initialise(Layer& l);

    std::vector<Layer> layerList;
    double flops = 0;
};
