#pragma once

#include "network_builder.h"
#include "network_cfg_check.h"
#include "training_engine.h"

// The engine on libdarknet with the trainer's own kernels: the CPU reference that every other
// engine is checked against.
class DarknetEngine : public TrainingEngine
{
public:
    // summary: what the trainer's check found in the configuration.
    explicit DarknetEngine(const NetworkSummary& summary) : summary(summary) {}

    std::string description() const override { return "darknet"; }
    bool build(const std::string& cfgPath, std::string* error) override;
    bool loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string* error) override;
    bool saveWeights(const std::string& path, std::string* error) override;
    Step trainBatch(const Batch& batch, const std::function<bool()>& stopNow) override;
    void predict(const float* inputs, int images, std::vector<float>* scores) override;
    int outputs() const override;
    uint64_t imagesSeen() const override;
    double currentRate() const override;

    // The library's network, for checks that compare the two.
    network* net() const { return network_.get(); }

private:
    NetworkSummary summary;
    NetworkBuilder::NetworkPtr network_;
};
