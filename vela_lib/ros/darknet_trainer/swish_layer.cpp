#include "swish_layer.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// What a swish layer keeps between its forward and backward pass, found by the layer's output
// buffer: libdarknet hands layers to their functions by value, so the buffer is what stays put.
struct SwishState
{
    void (*forward)(layer, network) = nullptr;
    void (*backward)(layer, network) = nullptr;
    std::vector<float> linear; // the activation's input of the latest forward pass
};

std::mutex registryMutex;
std::unordered_map<const float*, SwishState> registry;

SwishState& stateOf(const layer& l)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    return registry.at(l.output);
}

float sigmoid(float x) { return 1.f / (1.f + std::exp(-x)); }

void forwardSwish(layer l, network net)
{
    SwishState& state = stateOf(l);
    state.forward(l, net);
    const int n = l.outputs * l.batch;
    std::memcpy(state.linear.data(), l.output, sizeof(float) * size_t(n));
    SwishLayer::activate(state.linear.data(), l.output, n);
}

void backwardSwish(layer l, network net)
{
    SwishState& state = stateOf(l);
    SwishLayer::gradient(state.linear.data(), l.delta, l.outputs * l.batch);
    state.backward(l, net);
}

} // namespace

void SwishLayer::activate(const float* x, float* y, int n)
{
    for (int i = 0; i < n; ++i)
        y[i] = x[i] * sigmoid(x[i]);
}

void SwishLayer::gradient(const float* x, float* delta, int n)
{
    // d/dx x s(x) = s(x) + x s(x) (1 - s(x))
    for (int i = 0; i < n; ++i) {
        const float s = sigmoid(x[i]);
        delta[i] *= s + x[i] * s * (1.f - s);
    }
}

void SwishLayer::install(layer* l)
{
    SwishState state;
    state.forward = l->forward;
    state.backward = l->backward;
    state.linear.assign(size_t(l->outputs) * size_t(l->batch), 0.f);
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        registry[l->output] = std::move(state);
    }
    l->activation = LINEAR;
    l->forward = forwardSwish;
    l->backward = backwardSwish;
}

void SwishLayer::release(const network* net)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    for (int i = 0; i < net->n; ++i)
        registry.erase(net->layers[i].output);
}
