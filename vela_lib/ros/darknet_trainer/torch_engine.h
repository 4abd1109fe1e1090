#pragma once

#include "network_cfg_check.h"
#include "torch_engine_options.h"
#include "training_engine.h"

#include <memory>
#include <string>

// The engine on LibTorch, PyTorch's C++ library: the networks the darknet engine trains, with
// darknet's training rules rather than PyTorch's (SGD with momentum, decay scaled by the batch
// on weights only, per-layer rate scales, darknet's rate policies counted in images seen, the
// softmax and cost layers' loss and delta), computed by the library's kernels, on the CPU or on
// a CUDA device. Only this engine's own files include LibTorch's headers.
class TorchEngine : public TrainingEngine
{
public:
    static std::unique_ptr<TrainingEngine> make(const NetworkSummary& summary, const TorchEngineOptions& options = {});
    // The library's version, e.g. "1.13.0".
    static std::string libraryVersion();
    // Whether the first CUDA device can train: the driver reports it, this LibTorch has CUDA, and
    // a first allocation and computation there succeed. deviceOrWhy is then its description
    // ("NVIDIA H100 80GB HBM3, 80 GiB"), otherwise why not, as a short phrase.
    static bool cudaUsable(std::string* deviceOrWhy);

    explicit TorchEngine(const NetworkSummary& summary, const TorchEngineOptions& options = {});
    ~TorchEngine() override;

    std::string description() const override { return "torch " + libraryVersion(); }
    bool build(const std::string& cfgPath, std::string* error) override;
    bool loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string* error) override;
    bool saveWeights(const std::string& path, std::string* error) override;
    Step trainBatch(const Batch& batch, const std::function<bool()>& stopNow) override;
    void setNextBatch(NextBatch next) override;
    void predict(const float* inputs, int images, std::vector<float>* scores) override;
    int outputs() const override;
    uint64_t imagesSeen() const override;
    double currentRate() const override;

private:
    struct State;
    std::unique_ptr<State> state;
};
