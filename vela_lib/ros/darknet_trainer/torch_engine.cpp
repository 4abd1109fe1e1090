#include "torch_engine.h"

#include "net_settings.h"
#include "run_seed.h"
#include "torch_host_memory.h"
#include "torch_network.h"
#include "weights_file.h"

#include <ATen/Parallel.h>
#include <c10/util/Exception.h>
#include <torch/csrc/autograd/autograd.h>
#include <torch/version.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

// Forward work of a pass below which it runs on one thread (VoderoVod_128's passes of 8
// pictures, 90 MFLOP, train faster on one; efficientnet_b0's of 8 pictures at 64 x 64, 510
// MFLOP, on two).
constexpr double kThreadedPassFlops = 256e6;

// LibTorch's errors carry a backtrace over many lines; the trainer's error line wants one.
template <typename Work>
auto oneLineErrors(Work work) -> decltype(work())
{
    try {
        return work();
    } catch (const c10::Error& e) {
        const std::string message = e.what_without_backtrace();
        throw std::runtime_error("LibTorch: " + message.substr(0, message.find('\n')));
    }
}

// The count of images seen in a weights header: 64 bits from version 0.2 on, 32 before.
uint64_t seenIn(const std::string& path, size_t headerBytes)
{
    unsigned char header[WeightsHeader::kLongest] = {};
    FILE* file = std::fopen(path.c_str(), "rb");
    const size_t got = file ? std::fread(header, 1, sizeof header, file) : 0;
    if (file)
        std::fclose(file);
    if (got < headerBytes)
        return 0;
    if (headerBytes == WeightsHeader::kLongest) {
        uint64_t seen = 0;
        std::memcpy(&seen, header + WeightsHeader::kVersionBytes, sizeof seen);
        return seen;
    }
    int32_t seen = 0;
    std::memcpy(&seen, header + WeightsHeader::kVersionBytes, sizeof seen);
    return uint64_t(uint32_t(seen));
}

} // namespace

struct TorchEngine::State
{
    NetworkSummary summary;
    NetSettings net;
    TorchNetwork network;
    std::vector<TorchNetwork::Parameter> parameters;
    std::vector<at::Tensor> updates; // darknet's *_updates: momentum times the last step
    uint64_t seen = 0;

    // darknet's update of every layer: with u = updates - gradient (and, for weights,
    // - decay * batch * weights), parameters += rate * scale / batch * u, updates = momentum * u.
    void update()
    {
        at::NoGradGuard noGrad;
        const float rate = net.rate(net.batchNumber(size_t(seen)));
        const int batch = net.imagesPerIteration();
        for (size_t i = 0; i < parameters.size(); ++i) {
            const TorchNetwork::Parameter& p = parameters[i];
            at::Tensor& u = updates[i];
            at::Tensor& gradient = p.tensor.mutable_grad();
            if (gradient.defined())
                u.sub_(gradient);
            if (p.decays)
                u.add_(p.tensor, -net.decay * float(batch));
            p.tensor.add_(u, rate * p.rateScale / float(batch));
            u.mul_(net.momentum);
            if (gradient.defined())
                gradient.zero_();
        }
    }

    void dropGradients()
    {
        for (const TorchNetwork::Parameter& p : parameters)
            if (p.tensor.mutable_grad().defined())
                p.tensor.mutable_grad().zero_();
    }

    // One pass forward and backward; returns darknet's cost: the mean over the layers that
    // have one (the softmax's cross-entropy, a [cost]'s squared error) of their sums.
    double pass(const at::Tensor& input, const at::Tensor& truth, int* correct)
    {
        TorchNetwork::Output out = network.forward(input, true);
        at::Tensor delta; // darknet's delta at the answer: the negative gradient
        double cost = 0;
        int costs = 0;
        {
            at::NoGradGuard noGrad;
            const at::Tensor p = out.scores.detach();
            if (out.softmaxInput.defined()) {
                cost += at::where(truth != 0, -at::log(p), at::zeros_like(p)).sum().item<double>();
                delta = truth - p;
                ++costs;
            }
            if (out.cost >= 0) {
                const at::Tensor difference = truth - p;
                cost += (difference * difference).sum().item<double>();
                const float scale = network.layers()[size_t(out.cost)].costScale;
                // A softmax passes the delta it is given straight on, as darknet's does.
                delta = delta.defined() ? delta + scale * difference : scale * difference;
                ++costs;
            }
            *correct += int((p.argmax(1) == truth.argmax(1)).sum().item<int64_t>());
        }
        const at::Tensor& answer = out.softmaxInput.defined() ? out.softmaxInput : out.scores;
        torch::autograd::backward({answer}, {-delta});
        return costs > 0 ? cost / costs : 0;
    }
};

std::unique_ptr<TrainingEngine> TorchEngine::make(const NetworkSummary& summary)
{
    return std::make_unique<TorchEngine>(summary);
}

std::string TorchEngine::libraryVersion()
{
    return TORCH_VERSION;
}

TorchEngine::TorchEngine(const NetworkSummary& summary) : state(std::make_unique<State>())
{
    state->summary = summary;
}

TorchEngine::~TorchEngine() = default;

bool TorchEngine::build(const std::string& cfgPath, std::string* error)
{
    return oneLineErrors([&] {
        CfgDocument document;
        if (!CfgDocument::readFile(cfgPath, &document, error) || !NetSettings::read(document, &state->net, error))
            return false;
        if (state->net.adam) {
            *error = "network configuration " + cfgPath + ": [net] adam=1 is not trained by the torch engine";
            return false;
        }
        TorchHostMemory::install();
        unsigned seed = 0;
        at::manual_seed(RunSeed::fixed(&seed) ? seed : std::random_device()());
        const NetSettings& net = state->net;
        const ShapeWalk::Shape input{net.width, net.height, net.channels,
                                     (long long)net.width * net.height * net.channels};
        if (!state->network.build(document, input, error)) {
            *error = "network configuration " + cfgPath + ": " + *error;
            return false;
        }
        if (state->network.outputs() != state->summary.outputs) {
            *error = "the torch engine read " + cfgPath + " differently than expected";
            return false;
        }
        // Every core for passes with work enough to share, as the darknet engine's kernels use
        // them (the library's own default counts physical cores only). Below that, waking the
        // other threads for each small operation costs more than it saves: VoderoVod_32 trains
        // at 1180 images/s on one thread and 45 on two.
        const double passFlops = state->network.forwardFlops() * net.imagesPerPass();
        at::set_num_threads(passFlops < kThreadedPassFlops ? 1 : int(std::max(1u, std::thread::hardware_concurrency())));
        state->parameters = state->network.parameters();
        state->updates.clear();
        for (const TorchNetwork::Parameter& p : state->parameters)
            state->updates.push_back(at::zeros_like(p.tensor).detach());
        return true;
    });
}

bool TorchEngine::loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string* error)
{
    return oneLineErrors([&] {
        if (!state->network.load(path, plan, error))
            return false;
        state->seen = plan.exact ? seenIn(path, plan.headerBytes) : 0;
        return true;
    });
}

bool TorchEngine::saveWeights(const std::string& path, std::string* error)
{
    const std::string bytes = oneLineErrors([&] { return state->network.serialise(state->seen); });
    const size_t expected = WeightsFile::bytesFor(size_t(state->summary.weights.savedTotal()));
    return WeightsFile::write(path, expected,
                              [&bytes](int fd, const std::string&) {
                                  size_t written = 0;
                                  while (written < bytes.size()) {
                                      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
                                      if (n <= 0)
                                          return false;
                                      written += size_t(n);
                                  }
                                  return true;
                              },
                              error);
}

// darknet's iteration: each pass adds its images to the count seen, and the update comes when
// that count completes a batch; a stop between passes drops the partial batch.
TrainingEngine::Step TorchEngine::trainBatch(const Batch& batch, const std::function<bool()>& stopNow)
{
    return oneLineErrors([&] {
        const NetSettings& net = state->net;
        const int64_t perPass = net.imagesPerPass();
        const uint64_t seenBefore = state->seen;
        Step step;
        double lossSum = 0;
        for (int pass = 0; pass < net.subdivisions; ++pass) {
            if (pass > 0 && stopNow()) {
                state->seen = seenBefore;
                state->dropGradients();
                step.dropped = true;
                return step;
            }
            const size_t first = size_t(pass) * size_t(perPass);
            const at::Tensor input = at::from_blob(const_cast<float*>(batch.x.data()) + first * size_t(batch.inputsPerImage),
                                                   {perPass, net.channels, net.height, net.width})
                                         .contiguous(at::MemoryFormat::ChannelsLast);
            const at::Tensor truth = at::from_blob(const_cast<float*>(batch.y.data()) + first * size_t(batch.classes),
                                                   {perPass, int64_t(batch.classes)});
            lossSum += state->pass(input, truth, &step.correct);
            state->seen += uint64_t(perPass);
            if ((state->seen / uint64_t(perPass)) % uint64_t(net.subdivisions) == 0)
                state->update();
        }
        step.loss = lossSum / double(batch.images);
        return step;
    });
}

void TorchEngine::predict(const float* inputs, int images, std::vector<float>* scores)
{
    oneLineErrors([&] {
        at::NoGradGuard noGrad;
        const NetSettings& net = state->net;
        const at::Tensor input =
            at::from_blob(const_cast<float*>(inputs), {int64_t(images), net.channels, net.height, net.width})
                .contiguous(at::MemoryFormat::ChannelsLast);
        const at::Tensor out = state->network.forward(input, false).scores.contiguous();
        scores->assign(out.data_ptr<float>(), out.data_ptr<float>() + out.numel());
    });
}

int TorchEngine::outputs() const
{
    return state->network.outputs();
}

uint64_t TorchEngine::imagesSeen() const
{
    return state->seen;
}

double TorchEngine::currentRate() const
{
    return state->net.rate(state->net.batchNumber(size_t(state->seen)));
}
