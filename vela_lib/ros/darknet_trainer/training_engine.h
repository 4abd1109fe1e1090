#pragma once

#include "batch.h"
#include "transfer_weights.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// The network a training run trains, whatever library computes it. The run owns everything
// else (data, progress lines, backups, validation, the report, stops); an engine prints nothing
// on standard output. No darknet or LibTorch type crosses this interface.
class TrainingEngine
{
public:
    // One iteration's outcome.
    struct Step
    {
        bool dropped = false; // a stop came between passes: no update, images seen unchanged
        double loss = 0;      // mean loss per image, as darknet reports it
        int correct = 0;      // images whose top class is the true one
    };

    // The memory of the engine's device ran out. Thrown (from any call) instead of the library's
    // own error, so that the trainer can say what to change; the engine's state is then unusable.
    struct OutOfMemory : std::runtime_error
    {
        OutOfMemory(const std::string& device, std::vector<int> imagesPerPass, const std::string& cause)
            : std::runtime_error(cause), device(device), imagesPerPass(std::move(imagesPerPass))
        {
        }
        std::string device;             // "NVIDIA H100 80GB HBM3", "the CPU"
        std::vector<int> imagesPerPass; // the pass sizes tried, in order; empty outside training
    };

    virtual ~TrainingEngine() = default;

    // What the opening line "engine: ..." names: "darknet", or "torch <library version>".
    virtual std::string description() const = 0;

    // Builds the network of a configuration that passed the trainer's check. False with one line
    // when this engine cannot build it (a layer or option it does not train, naming both).
    virtual bool build(const std::string& cfgPath, std::string* error) = 0;

    // Loads a weights file as planned: an exact file with its count of images seen, otherwise
    // the planned first layers, the rest keeping their initialisation, and images seen from 0.
    virtual bool loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string* error) = 0;

    // Writes darknet's weights file (version 0.2.0 header, every layer in order, fp32) whole.
    virtual bool saveWeights(const std::string& path, std::string* error) = 0;

    // One iteration: every pass of the batch forward and backward, then the update. Between
    // passes stopNow() is asked; yes drops the partial batch.
    virtual Step trainBatch(const Batch& batch, const std::function<bool()>& stopNow) = 0;

    // The batch that the following trainBatch will be given (the same object), for an engine that
    // moves it to its device while the current iteration computes; nullptr when there is none.
    // Asking may wait for the loader. Set before the first iteration and reset (empty) after the
    // last; an engine with no use for it ignores it.
    using NextBatch = std::function<const Batch*()>;
    virtual void setNextBatch(NextBatch next) { (void)next; }

    // Test-mode scores (rolling statistics, no dropout) of `images` inputs of the network size,
    // one row of outputs() values per image.
    virtual void predict(const float* inputs, int images, std::vector<float>* scores) = 0;

    virtual int outputs() const = 0;
    virtual uint64_t imagesSeen() const = 0;
    // The learning rate at the current batch number (that of the last update).
    virtual double currentRate() const = 0;
};
