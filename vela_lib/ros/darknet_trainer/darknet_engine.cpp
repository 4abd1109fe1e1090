#include "darknet_engine.h"

#include "weights_file.h"

#include <algorithm>
#include <cstring>

namespace {

int topClass(const float* row, int n) { return int(std::max_element(row, row + n) - row); }

} // namespace

bool DarknetEngine::build(const std::string& cfgPath, std::string* error)
{
    error->clear();
    network_ = NetworkBuilder::build(cfgPath, error);
    if (!network_ && !error->empty())
        return false;
    if (!network_ || network_->outputs != summary.outputs ||
        network_->inputs != summary.width * summary.height * summary.channels) {
        *error = "the darknet library read " + cfgPath + " differently than expected";
        return false;
    }
    return true;
}

bool DarknetEngine::loadWeights(const std::string& path, const TransferWeights::Plan& plan, std::string*)
{
    std::string name = path; // libdarknet takes its file names as char*
    if (plan.exact) {
        load_weights(network_.get(), name.data());
        return true;
    }
    load_weights_upto(network_.get(), name.data(), 0, plan.loadedLayers);
    *network_->seen = 0;
    return true;
}

bool DarknetEngine::saveWeights(const std::string& path, std::string* error)
{
    network* net = network_.get();
    // libdarknet opens the file itself; the fresh temporary file is known to be writable, so it
    // does not exit the process for want of one.
    return WeightsFile::write(path, WeightsFile::bytesFor(size_t(summary.weights.savedTotal())),
                              [net](int, const std::string& temporary) {
                                  std::string name = temporary;
                                  save_weights(net, name.data());
                                  return true;
                              },
                              error);
}

// Every pass forward and backward, the update after the last one. A stop between passes drops
// the partial batch: the update never happens and the count of images seen goes back, so that a
// large network ends within one pass and its backup holds the last completed update.
TrainingEngine::Step DarknetEngine::trainBatch(const Batch& batch, const std::function<bool()>& stopNow)
{
    network* net = network_.get();
    const int perPass = net->batch;
    const int classes = batch.classes;
    const size_t seenBefore = *net->seen;
    Step step;
    double lossSum = 0;
    for (int pass = 0; pass < net->subdivisions; ++pass) {
        if (pass > 0 && stopNow()) {
            *net->seen = seenBefore;
            step.dropped = true;
            return step;
        }
        const size_t first = size_t(pass) * size_t(perPass);
        std::memcpy(net->input, batch.x.data() + first * batch.inputsPerImage,
                    sizeof(float) * size_t(perPass) * batch.inputsPerImage);
        std::memcpy(net->truth, batch.y.data() + first * classes, sizeof(float) * size_t(perPass) * classes);
        lossSum += train_network_datum(net);
        for (int i = 0; i < perPass; ++i) {
            const float* truth = batch.y.data() + (first + i) * classes;
            if (topClass(net->output + size_t(i) * net->outputs, classes) == topClass(truth, classes))
                ++step.correct;
        }
    }
    step.loss = lossSum / double(batch.images);
    return step;
}

// In test mode, one pass of up to net->batch images at a time; the training pointers are put
// back afterwards.
void DarknetEngine::predict(const float* inputs, int images, std::vector<float>* scores)
{
    network* net = network_.get();
    scores->resize(size_t(images) * size_t(net->outputs));
    float* truth = net->truth;
    float* delta = net->delta;
    const int train = net->train;
    net->truth = nullptr;
    net->delta = nullptr;
    net->train = 0;
    for (int first = 0; first < images; first += net->batch) {
        const int count = std::min(net->batch, images - first);
        std::memset(net->input, 0, sizeof(float) * size_t(net->batch) * size_t(net->inputs));
        std::memcpy(net->input, inputs + size_t(first) * size_t(net->inputs), sizeof(float) * size_t(count) * size_t(net->inputs));
        forward_network(net);
        std::copy(net->output, net->output + size_t(count) * size_t(net->outputs),
                  scores->begin() + std::ptrdiff_t(size_t(first) * size_t(net->outputs)));
    }
    net->truth = truth;
    net->delta = delta;
    net->train = train;
}

int DarknetEngine::outputs() const { return network_->outputs; }

uint64_t DarknetEngine::imagesSeen() const { return uint64_t(*network_->seen); }

double DarknetEngine::currentRate() const { return get_current_rate(network_.get()); }
