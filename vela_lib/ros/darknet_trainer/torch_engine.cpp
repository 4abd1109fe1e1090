#include "torch_engine.h"

#include "cuda_driver.h"
#include "net_settings.h"
#include "run_seed.h"
#include "torch_autocast.h"
#include "torch_host_memory.h"
#include "torch_loss_scale.h"
#include "torch_network.h"
#include "weights_file.h"

#include <ATen/Context.h>
#include <ATen/Parallel.h>
#include <c10/util/Exception.h>
#include <torch/csrc/autograd/autograd.h>
#include <torch/version.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>
#include <unistd.h>

namespace {

// Forward work of a pass below which it runs on one thread (VoderoVod_128's passes of 8
// pictures, 90 MFLOP, train faster on one; efficientnet_b0's of 8 pictures at 64 x 64, 510
// MFLOP, on two).
constexpr double kThreadedPassFlops = 256e6;

std::string firstLine(const c10::Error& e)
{
    const std::string message = e.what_without_backtrace();
    return message.substr(0, message.find('\n'));
}

// LibTorch's errors carry a backtrace over many lines; the trainer's error line wants one. Memory
// running out becomes the engine's own error, which says what to change.
template <typename Work>
auto oneLineErrors(const std::string& device, Work work) -> decltype(work())
{
    try {
        return work();
    } catch (const c10::OutOfMemoryError& e) {
        throw TrainingEngine::OutOfMemory(device, {}, firstLine(e));
    } catch (const c10::Error& e) {
        throw std::runtime_error("LibTorch: " + firstLine(e));
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
    TorchEngineOptions options;
    at::Device device{at::kCPU};
    std::string deviceName = "the CPU";
    NetSettings net;
    TorchNetwork network;
    std::vector<TorchNetwork::Parameter> parameters;
    std::vector<at::Tensor> updates; // darknet's *_updates: momentum times the last step
    // Parameters that share their decay and rate scale, updated together by the library's
    // multi-tensor operations: on a GPU a few launches a step rather than five per tensor.
    struct UpdateGroup
    {
        std::vector<size_t> members;
        bool decays;
        float rateScale;
    };
    std::vector<UpdateGroup> updateGroups;
    TorchLossScale lossScale;
    uint64_t seen = 0;
    // On CUDA a batch's passes run as one while memory allows: unknown until the first try.
    enum class OnePass { Untried, Fits, TooLarge } onePass = OnePass::Untried;

    bool onCpu() const { return device.is_cpu(); }

    // Page-locked host memory that batches pass through on their way to a GPU, two of each kind
    // in turn, so that filling one never waits for the transfer from the other.
    at::Tensor staging[2][2];
    int stagingTurn = 0;
    // On CUDA, the next batch already on its way to the device, and the batch it is.
    TrainingEngine::NextBatch next;
    const Batch* staged = nullptr;
    at::Tensor stagedX, stagedY;

    // A batch's input and truth on the device, in the other staging buffers than the last batch's.
    std::pair<at::Tensor, at::Tensor> sendToDevice(const Batch& batch)
    {
        stagingTurn ^= 1;
        return {onDevice(batch.x, {batch.images, net.channels, net.height, net.width}, 0),
                onDevice(batch.y, {batch.images, batch.classes}, 1)};
    }

    // On CUDA, once a batch's passes are queued: the next batch copied to page-locked memory and
    // its transfer queued now, while the device computes, not after the iteration's wait with the
    // device idle. The transfer is done by the end of that wait, so the buffers are free again
    // when their turn comes round. Once per iteration: a second copy could overwrite buffers
    // still being read.
    void stageNext()
    {
        const Batch* following = onCpu() || !next || staged ? nullptr : next();
        if (!following)
            return;
        std::tie(stagedX, stagedY) = sendToDevice(*following);
        staged = following;
    }

    // A batch's rows (images x the sizes given) on the engine's device. On the CPU they are read
    // where they are; on CUDA they are copied to page-locked memory and their transfer queued
    // without waiting for it.
    at::Tensor onDevice(const std::vector<float>& rows, at::IntArrayRef sizes, int kind)
    {
        const at::Tensor host = at::from_blob(const_cast<float*>(rows.data()), sizes);
        if (onCpu())
            return host;
        at::Tensor& pinned = staging[stagingTurn][kind];
        if (!pinned.defined() || pinned.sizes() != sizes)
            pinned = at::empty(sizes, at::TensorOptions().dtype(at::kFloat).pinned_memory(true));
        pinned.copy_(host);
        return pinned.to(device, /*non_blocking=*/true);
    }

    // darknet's update of every layer: with u = updates - gradient (and, for weights,
    // - decay * batch * weights), parameters += rate * scale / batch * u, updates = momentum * u.
    // In mixed precision the gradients are unscaled first, and an update whose gradients
    // overflowed is skipped.
    void update()
    {
        at::NoGradGuard noGrad;
        if (options.mixedPrecision && !lossScale.unscale(gradients())) {
            dropGradients();
            return;
        }
        const float rate = net.rate(net.batchNumber(size_t(seen)));
        const int batch = net.imagesPerIteration();
        for (const UpdateGroup& group : updateGroups) {
            std::vector<at::Tensor> weights, steps, gradients, stepsWithGradient;
            for (const size_t i : group.members) {
                weights.push_back(parameters[i].tensor);
                steps.push_back(updates[i]);
                const at::Tensor& gradient = parameters[i].tensor.grad();
                if (gradient.defined()) {
                    gradients.push_back(gradient);
                    stepsWithGradient.push_back(updates[i]);
                }
            }
            // The multi-tensor operations refuse empty lists.
            if (!gradients.empty())
                at::_foreach_sub_(stepsWithGradient, gradients);
            if (group.decays)
                at::_foreach_add_(steps, weights, -net.decay * float(batch));
            at::_foreach_add_(weights, steps, rate * group.rateScale / float(batch));
            at::_foreach_mul_(steps, net.momentum);
            if (!gradients.empty())
                at::_foreach_zero_(gradients);
        }
    }

    void groupForUpdates()
    {
        updateGroups.clear();
        for (size_t i = 0; i < parameters.size(); ++i) {
            const TorchNetwork::Parameter& p = parameters[i];
            const auto same = std::find_if(updateGroups.begin(), updateGroups.end(), [&p](const UpdateGroup& g) {
                return g.decays == p.decays && g.rateScale == p.rateScale;
            });
            if (same != updateGroups.end())
                same->members.push_back(i);
            else
                updateGroups.push_back(UpdateGroup{{i}, p.decays, p.rateScale});
        }
    }

    std::vector<at::Tensor> gradients() const
    {
        std::vector<at::Tensor> list;
        for (const TorchNetwork::Parameter& p : parameters)
            list.push_back(p.tensor.grad());
        return list;
    }

    void dropGradients()
    {
        for (const TorchNetwork::Parameter& p : parameters)
            if (p.tensor.mutable_grad().defined())
                p.tensor.mutable_grad().zero_();
    }

    // One pass forward and backward; adds darknet's cost (the mean over the layers that have
    // one, the softmax's cross-entropy and a [cost]'s squared error, of their sums) to *cost and
    // the images whose top class is right to *correct, both kept on the device.
    void pass(const at::Tensor& input, const at::Tensor& truth, at::Tensor* cost, at::Tensor* correct)
    {
        TorchNetwork::Output out;
        {
            TorchAutocast autocast(options.mixedPrecision, device.type());
            out = network.forward(input, true);
        }
        at::Tensor delta; // darknet's delta at the answer: the negative gradient
        {
            at::NoGradGuard noGrad;
            const at::Tensor p = out.scores.detach().to(at::kFloat);
            at::Tensor passCost = at::zeros({}, p.options().dtype(at::kDouble));
            int costs = 0;
            if (out.softmaxInput.defined()) {
                passCost += at::where(truth != 0, -at::log(p), at::zeros_like(p)).sum().to(at::kDouble);
                delta = truth - p;
                ++costs;
            }
            if (out.cost >= 0) {
                const at::Tensor difference = truth - p;
                passCost += (difference * difference).sum().to(at::kDouble);
                const float scale = network.layers()[size_t(out.cost)].costScale;
                // A softmax passes the delta it is given straight on, as darknet's does.
                delta = delta.defined() ? delta + scale * difference : scale * difference;
                ++costs;
            }
            *cost += costs > 0 ? passCost / costs : passCost;
            *correct += (p.argmax(1) == truth.argmax(1)).sum();
        }
        const at::Tensor& answer = out.softmaxInput.defined() ? out.softmaxInput : out.scores;
        at::Tensor seed = -delta;
        if (options.mixedPrecision)
            seed = seed * lossScale.scale();
        torch::autograd::backward({answer}, {seed.to(answer.scalar_type())});
    }

    // darknet's iteration: each pass adds its images to the count seen, and the update comes
    // when that count completes a batch; a stop between passes drops the partial batch (false).
    bool passes(const at::Tensor& x, const at::Tensor& y, int perPass, const std::function<bool()>& stopNow,
                at::Tensor* cost, at::Tensor* correct)
    {
        const uint64_t seenBefore = seen;
        const int64_t images = x.size(0);
        for (int64_t first = 0; first < images; first += perPass) {
            if (first > 0 && stopNow()) {
                seen = seenBefore;
                dropGradients();
                return false;
            }
            pass(x.narrow(0, first, perPass).contiguous(at::MemoryFormat::ChannelsLast), y.narrow(0, first, perPass),
                 cost, correct);
            seen += uint64_t(perPass);
            if ((seen / uint64_t(perPass)) % uint64_t(images / perPass) == 0) {
                // Before the update, which in mixed precision waits for the device (the check for
                // overflowed gradients): the next batch's copy then overlaps the passes' work.
                stageNext();
                update();
            }
        }
        return true;
    }

    // On CUDA the batch's passes as one GPU batch (the same update; normalisation statistics then
    // span the whole batch), unless that was found not to fit. A first try that does not fit
    // leaves no trace: gradients dropped, rolling statistics restored.
    bool triedAsOnePass(const at::Tensor& x, const at::Tensor& y, at::Tensor* cost, at::Tensor* correct,
                        std::vector<int>* tried)
    {
        const int64_t images = x.size(0);
        if (onCpu() || net.subdivisions == 1 || onePass == OnePass::TooLarge || seen % uint64_t(images) != 0)
            return false;
        tried->push_back(int(images));
        std::vector<at::Tensor> statistics, kept;
        if (onePass == OnePass::Untried) {
            statistics = network.rollingStatistics();
            for (const at::Tensor& t : statistics)
                kept.push_back(t.clone());
        }
        try {
            passes(x, y, int(images), [] { return false; }, cost, correct);
            onePass = OnePass::Fits;
            return true;
        } catch (const c10::OutOfMemoryError&) {
            if (onePass == OnePass::Fits)
                throw; // it fitted before: the memory is taken by something else
            onePass = OnePass::TooLarge;
            at::NoGradGuard noGrad;
            dropGradients();
            for (size_t i = 0; i < statistics.size(); ++i)
                statistics[i].copy_(kept[i]);
            cost->zero_();
            correct->zero_();
            return false;
        }
    }
};

std::unique_ptr<TrainingEngine> TorchEngine::make(const NetworkSummary& summary, const TorchEngineOptions& options)
{
    return std::make_unique<TorchEngine>(summary, options);
}

std::string TorchEngine::libraryVersion()
{
    return TORCH_VERSION;
}

bool TorchEngine::cudaUsable(std::string* deviceOrWhy)
{
    CudaDriver::Device found;
    if (!CudaDriver::firstDevice(&found, deviceOrWhy))
        return false;
    if (!at::hasCUDA()) {
        *deviceOrWhy = "LibTorch " + libraryVersion() + " of this build has no CUDA support";
        return false;
    }
    try {
        // A first allocation and a computation on the device: what fails on a device that is
        // there but cannot be used (too old for this LibTorch, taken, or out of memory).
        const at::Tensor probe = at::ones({1 << 20}, at::TensorOptions().device(at::kCUDA));
        if (probe.sum().item<float>() != float(1 << 20)) {
            *deviceOrWhy = "a first computation on " + CudaDriver::describe(found) + " went wrong";
            return false;
        }
    } catch (const c10::Error& e) {
        *deviceOrWhy = "a first allocation on " + CudaDriver::describe(found) + " failed: " + firstLine(e);
        return false;
    }
    *deviceOrWhy = CudaDriver::describe(found);
    return true;
}

TorchEngine::TorchEngine(const NetworkSummary& summary, const TorchEngineOptions& options)
    : state(std::make_unique<State>())
{
    state->summary = summary;
    state->options = options;
    if (TorchHostMemory::limit() > 0)
        state->deviceName = "the CPU (limited to " + std::to_string(TorchHostMemory::limit() >> 20) + " MiB)";
    if (options.cuda) {
        state->device = at::Device(at::kCUDA, 0);
        CudaDriver::Device found;
        state->deviceName = CudaDriver::firstDevice(&found, nullptr) ? found.name : "the CUDA device";
    }
}

TorchEngine::~TorchEngine() = default;

bool TorchEngine::build(const std::string& cfgPath, std::string* error)
{
    return oneLineErrors(state->deviceName, [&] {
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
        // Built, and drawn, on the CPU, so that a seed gives the same start on every device.
        if (!state->network.build(document, input, error)) {
            *error = "network configuration " + cfgPath + ": " + *error;
            return false;
        }
        if (state->network.outputs() != state->summary.outputs) {
            *error = "the torch engine read " + cfgPath + " differently than expected";
            return false;
        }
        if (state->onCpu()) {
            // Every core for passes with work enough to share, as the darknet engine's kernels
            // use them (the library's own default counts physical cores only). Below that, waking
            // the other threads for each small operation costs more than it saves: VoderoVod_32
            // trains at 1180 images/s on one thread and 45 on two.
            const double passFlops = state->network.forwardFlops() * net.imagesPerPass();
            at::set_num_threads(passFlops < kThreadedPassFlops ? 1 : int(std::max(1u, std::thread::hardware_concurrency())));
        } else {
            // The GPU computes; the cores are the loader's. cuDNN picks its fastest algorithm for
            // each layer by trying them on the first batch.
            at::set_num_threads(1);
            at::globalContext().setBenchmarkCuDNN(true);
        }
        state->network.moveTo(state->device);
        state->parameters = state->network.parameters();
        state->updates.clear();
        for (const TorchNetwork::Parameter& p : state->parameters)
            state->updates.push_back(at::zeros_like(p.tensor).detach());
        state->groupForUpdates();
        return true;
    });
}

bool TorchEngine::loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string* error)
{
    return oneLineErrors(state->deviceName, [&] {
        if (!state->network.load(path, plan, error))
            return false;
        state->seen = plan.exact ? seenIn(path, plan.headerBytes) : 0;
        return true;
    });
}

bool TorchEngine::saveWeights(const std::string& path, std::string* error)
{
    const std::string bytes = oneLineErrors(state->deviceName, [&] { return state->network.serialise(state->seen); });
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

TrainingEngine::Step TorchEngine::trainBatch(const Batch& batch, const std::function<bool()>& stopNow)
{
    State& s = *state;
    std::vector<int> tried;
    try {
        return oneLineErrors(s.deviceName, [&] {
            Step step;
            const NetSettings& net = s.net;
            at::Tensor x, y;
            std::tie(x, y) = s.staged == &batch ? std::make_pair(s.stagedX, s.stagedY) : s.sendToDevice(batch);
            s.staged = nullptr;
            const at::TensorOptions options = at::TensorOptions().device(s.device);
            at::Tensor cost = at::zeros({}, options.dtype(at::kDouble));
            at::Tensor correct = at::zeros({}, options.dtype(at::kLong));
            if (!s.triedAsOnePass(x, y, &cost, &correct, &tried)) {
                tried.push_back(net.imagesPerPass());
                if (!s.passes(x, y, net.imagesPerPass(), stopNow, &cost, &correct)) {
                    step.dropped = true;
                    return step;
                }
            }
            // One wait for the device per iteration (two in mixed precision).
            const at::Tensor figures = at::stack({cost, correct.to(at::kDouble)}).to(at::kCPU);
            step.loss = figures[0].item<double>() / double(batch.images);
            step.correct = int(figures[1].item<double>());
            return step;
        });
    } catch (OutOfMemory& e) {
        e.imagesPerPass = tried;
        throw;
    }
}

void TorchEngine::setNextBatch(NextBatch next)
{
    state->next = std::move(next);
    state->staged = nullptr;
}

void TorchEngine::predict(const float* inputs, int images, std::vector<float>* scores)
{
    oneLineErrors(state->deviceName, [&] {
        at::NoGradGuard noGrad;
        at::Tensor out;
        {
            TorchAutocast autocast(state->options.mixedPrecision, state->device.type());
            const NetSettings& net = state->net;
            const at::Tensor host =
                at::from_blob(const_cast<float*>(inputs), {int64_t(images), net.channels, net.height, net.width});
            const at::Tensor input = state->onCpu() ? host : host.to(state->device);
            out = state->network.forward(input.contiguous(at::MemoryFormat::ChannelsLast), false).scores;
        }
        out = out.to(at::kCPU, at::kFloat).contiguous();
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
