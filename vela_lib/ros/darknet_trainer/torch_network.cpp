#include "torch_network.h"

#include "weights_header.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>

namespace {

using Kind = TorchNetwork::Kind;
using Activation = TorchNetwork::Activation;

const std::map<std::string, Kind> kKinds{
    {"convolutional", Kind::Convolutional}, {"connected", Kind::Connected}, {"maxpool", Kind::Maxpool},
    {"avgpool", Kind::Avgpool},             {"route", Kind::Route},         {"shortcut", Kind::Shortcut},
    {"scale_channels", Kind::ScaleChannels}, {"dropout", Kind::Dropout},    {"softmax", Kind::Softmax},
    {"cost", Kind::Cost},                   {"crop", Kind::Crop}};

const std::map<std::string, Activation> kActivations{
    {"linear", Activation::Linear}, {"leaky", Activation::Leaky},     {"relu", Activation::Relu},
    {"relie", Activation::Relie},   {"ramp", Activation::Ramp},       {"logistic", Activation::Logistic},
    {"loggy", Activation::Loggy},   {"tanh", Activation::Tanh},       {"elu", Activation::Elu},
    {"selu", Activation::Selu},     {"swish", Activation::Swish}};

// Options libdarknet reads for every layer that change what it trains; this engine trains them at
// their defaults only.
const char* const kDefaultOnly[] = {"onlyforward", "stopbackward", "dontsave", "dontload", "numload",
                                    "dontloadscales", "smooth", "truth"};

// libdarknet reads numbers with atoi and atof.
int integer(const CfgSection& s, const char* key, int fallback)
{
    const std::string* text = s.find(key);
    return text ? std::atoi(text->c_str()) : fallback;
}

float real(const CfgSection& s, const char* key, float fallback)
{
    const std::string* text = s.find(key);
    return text ? float(std::atof(text->c_str())) : fallback;
}

std::string where(const CfgSection& s)
{
    return s.type + " at line " + std::to_string(s.line);
}

bool refuse(const CfgSection& s, const std::string& what, std::string* error)
{
    *error = where(s) + ": " + what + " is not trained by the torch engine";
    return false;
}

// An option present with a value other than its default.
bool setTo(const CfgSection& s, const char* key, std::string* text)
{
    const std::string* value = s.find(key);
    if (!value || std::atof(value->c_str()) == 0)
        return false;
    *text = std::string(key) + "=" + *value;
    return true;
}

// The activation of a freshly computed tensor. Where the gradient can be had from the result,
// the tensor is overwritten: one map fewer kept for the backward pass.
at::Tensor activate(at::Tensor x, Activation a)
{
    switch (a) {
    case Activation::Linear: return x;
    case Activation::Leaky: return at::leaky_relu_(x, 0.1);
    case Activation::Relu: return at::relu_(x);
    case Activation::Relie: return at::leaky_relu_(x, 0.01);
    case Activation::Ramp: return at::relu(x) + 0.1 * x;
    case Activation::Logistic: return at::sigmoid_(x);
    case Activation::Loggy: return 2 * at::sigmoid(x) - 1;
    case Activation::Tanh: return at::tanh_(x);
    case Activation::Elu: return at::elu_(x);
    case Activation::Selu: return 1.0507 * at::where(x >= 0, x, 1.6732 * (at::exp(x) - 1));
    case Activation::Swish: return x * at::sigmoid(x);
    }
    return x;
}

// darknet's rolling statistics: 99 % the old value, 1 % the batch's; its normalisation adds a
// millionth (OpenCV's importer, which serves the weights, adds it to the variance as here).
constexpr double kRollingMomentum = 0.01;
constexpr double kNormalisationEpsilon = 1e-6;

at::Tensor normalise(TorchNetwork::Layer& l, const at::Tensor& x, bool train)
{
    return at::batch_norm(x, l.scales, l.biases, l.rollingMean, l.rollingVariance, train, kRollingMomentum,
                          kNormalisationEpsilon, true);
}

// darknet's max pool: windows start padding/2 before the image, the output is
// (w + padding - size) / stride + 1 wide, and cells outside the image never win.
at::Tensor maxpool(const TorchNetwork::Layer& l, const at::Tensor& x)
{
    const int64_t left = l.padding / 2;
    const int64_t right = int64_t(l.out.w - 1) * l.stride + l.size - l.in.w - left;
    const int64_t bottom = int64_t(l.out.h - 1) * l.stride + l.size - l.in.h - left;
    at::Tensor padded = x;
    if (left != 0 || right != 0 || bottom != 0)
        padded = at::constant_pad_nd(x, {left, right, left, bottom}, -std::numeric_limits<float>::infinity());
    return at::max_pool2d(padded, {l.size, l.size}, {l.stride, l.stride});
}

// darknet's shortcut: the input plus the "from" layer, over the channels both have, the larger
// map sampled with the integer step between their sizes.
at::Tensor shortcut(const TorchNetwork::Layer& l, const at::Tensor& in, const at::Tensor& from)
{
    if (from.sizes() == in.sizes())
        return l.alpha == 1 && l.beta == 1 ? in + from : l.alpha * in + l.beta * from;
    const int64_t w1 = from.size(3), h1 = from.size(2), c1 = from.size(1);
    const int64_t w2 = in.size(3), h2 = in.size(2), c2 = in.size(1);
    const int64_t stride = std::max<int64_t>(1, w1 / w2), sample = std::max<int64_t>(1, w2 / w1);
    const int64_t w = std::min(w1, w2), h = std::min(h1, h2), c = std::min(c1, c2);
    at::Tensor out = in * l.alpha;
    const at::Tensor added = from.slice(1, 0, c).slice(2, 0, h * stride, stride).slice(3, 0, w * stride, stride);
    out.slice(1, 0, c).slice(2, 0, h * sample, sample).slice(3, 0, w * sample, sample).add_(added, l.beta);
    return out;
}

// A leading [crop]: a random window (or the centre at test time), flipped half the time when
// asked, mapped to -1..1 unless noadjust; darknet draws one window per pass.
at::Tensor crop(const TorchNetwork::Layer& l, const at::Tensor& x, bool train)
{
    int dh = (l.in.h - l.out.h) / 2, dw = (l.in.w - l.out.w) / 2;
    bool flip = false;
    if (train) {
        flip = l.flip && std::rand() % 2;
        dh = std::rand() % (l.in.h - l.out.h + 1);
        dw = std::rand() % (l.in.w - l.out.w + 1);
    }
    at::Tensor out = x.slice(2, dh, dh + l.out.h);
    out = flip ? out.slice(3, l.in.w - dw - l.out.w, l.in.w - dw).flip({3}) : out.slice(3, dw, dw + l.out.w);
    return l.noadjust ? out.contiguous() : out * 2 - 1;
}

template <typename T>
void append(std::string* bytes, const T* data, size_t count)
{
    bytes->append(reinterpret_cast<const char*>(data), count * sizeof(T));
}

void appendTensor(std::string* bytes, const at::Tensor& t)
{
    const at::Tensor host = t.detach().to(at::kCPU).contiguous();
    append(bytes, host.data_ptr<float>(), size_t(host.numel()));
}

bool readInto(std::ifstream& file, const at::Tensor& t)
{
    at::Tensor host = at::empty(t.sizes(), at::kFloat);
    file.read(reinterpret_cast<char*>(host.data_ptr<float>()), std::streamsize(host.numel() * sizeof(float)));
    if (!file)
        return false;
    at::NoGradGuard noGrad;
    t.copy_(host);
    return true;
}

} // namespace

bool TorchNetwork::build(const CfgDocument& document, const ShapeWalk::Shape& input, std::string* error)
{
    ShapeWalk walk{ShapeWalk::Rules()};
    CfgFailure failure;
    if (!walk.walk(document, input, &failure)) {
        *error = where(*failure.section) + ": the torch engine cannot read this layer";
        return false;
    }
    layerList.clear();
    flops = 0;
    for (size_t i = 0; i < walk.layers().size(); ++i) {
        if (!buildLayer(walk.layers()[i], error))
            return false;
        flops += walk.layers()[i].forwardFlops();
    }
    int costs = 0;
    for (size_t i = 0; i < layerList.size(); ++i) {
        const Layer& l = layerList[i];
        const CfgSection& s = document.sections[i + 1];
        if (l.kind == Kind::Crop && i != 0)
            return refuse(s, "a [crop] after the first layer", error);
        if (l.kind == Kind::Cost && (++costs > 1 || i + 1 != layerList.size()))
            return refuse(s, "a [cost] that is not the one last layer", error);
    }
    const Kind answer = layerList.size() > 1 && layerList.back().kind == Kind::Cost ? layerList[layerList.size() - 2].kind
                                                                                   : layerList.back().kind;
    if (answer != Kind::Softmax && layerList.back().kind != Kind::Cost) {
        *error = "the torch engine trains networks that end in [softmax] or [cost]";
        return false;
    }
    return true;
}

bool TorchNetwork::buildLayer(const ShapeWalk::Layer& walked, std::string* error)
{
    const CfgSection& s = *walked.section;
    const auto kind = kKinds.find(walked.kind);
    if (kind == kKinds.end())
        return refuse(s, "the layer kind " + s.type, error);
    std::string option;
    for (const char* key : kDefaultOnly)
        if (setTo(s, key, &option))
            return refuse(s, option, error);
    Layer l;
    l.kind = kind->second;
    l.where = where(s);
    l.in = walked.in;
    l.out = walked.out;
    l.units = walked.units;
    l.size = walked.size;
    l.groups = walked.groups;
    l.batchNormalize = walked.batchNormalize;
    l.sources = walked.sources;
    l.rateScale = real(s, "learning_rate", 1);
    const bool weighted = l.kind == Kind::Convolutional || l.kind == Kind::Connected;
    if (weighted || l.kind == Kind::Shortcut) {
        const std::string name = s.find("activation") ? *s.find("activation") : weighted ? "logistic" : "linear";
        const auto activation = kActivations.find(name);
        if (activation == kActivations.end())
            return refuse(s, "activation=" + name, error);
        l.activation = activation->second;
    }
    switch (l.kind) {
    case Kind::Convolutional:
        if (setTo(s, "flipped", &option) || setTo(s, "dot", &option))
            return refuse(s, option, error);
        l.stride = integer(s, "stride", 1);
        l.padding = integer(s, "pad", 0) ? l.size / 2 : integer(s, "padding", 0);
        break;
    case Kind::Maxpool:
        l.stride = integer(s, "stride", 1);
        l.size = integer(s, "size", l.stride);
        l.padding = integer(s, "padding", l.size - 1);
        break;
    case Kind::Shortcut:
        l.alpha = real(s, "alpha", 1);
        l.beta = real(s, "beta", 1);
        break;
    case Kind::Dropout:
        l.probability = real(s, "probability", 0.5f);
        break;
    case Kind::Softmax:
        if (setTo(s, "spatial", &option) || setTo(s, "noloss", &option))
            return refuse(s, option, error);
        l.softmaxGroups = integer(s, "groups", 1);
        l.temperature = real(s, "temperature", 1);
        break;
    case Kind::Cost:
        if (s.find("type") && *s.find("type") != "sse")
            return refuse(s, "type=" + *s.find("type"), error);
        l.costScale = real(s, "scale", 1);
        break;
    case Kind::Crop:
        l.flip = integer(s, "flip", 0) != 0;
        l.noadjust = integer(s, "noadjust", 0) != 0;
        break;
    default:
        break;
    }
    initialise(l);
    layerList.push_back(std::move(l));
    return true;
}

// darknet's initialisation: convolution weights normal with variance 2 / fan-in, connected
// weights uniform within sqrt(2 / inputs), biases 0, scales 1, rolling statistics 0.
void TorchNetwork::initialise(Layer& l)
{
    if (l.kind != Kind::Convolutional && l.kind != Kind::Connected)
        return;
    const int64_t n = l.units;
    if (l.kind == Kind::Convolutional) {
        const int64_t perGroup = l.in.c / l.groups;
        l.weights = (at::randn({n, perGroup, l.size, l.size}) * std::sqrt(2.0 / double(l.size * l.size * perGroup)))
                        .contiguous(at::MemoryFormat::ChannelsLast);
    } else {
        l.weights = (at::rand({n, int64_t(l.in.outputs)}) * 2 - 1) * std::sqrt(2.0 / double(l.in.outputs));
    }
    l.weights.requires_grad_();
    l.biases = at::zeros({n}).requires_grad_();
    if (l.batchNormalize) {
        l.scales = at::ones({n}).requires_grad_();
        l.rollingMean = at::zeros({n});
        l.rollingVariance = at::zeros({n});
    }
}

TorchNetwork::Output TorchNetwork::forward(const at::Tensor& input, bool train)
{
    std::vector<at::Tensor> outputs;
    outputs.reserve(layerList.size());
    Output result;
    at::Tensor x = input;
    for (size_t i = 0; i < layerList.size(); ++i) {
        Layer& l = layerList[i];
        if (l.kind == Kind::Cost) {
            result.cost = int(i);
            outputs.push_back(x);
            continue;
        }
        if (l.kind == Kind::Softmax)
            result.softmaxInput = x.flatten(1);
        x = layerForward(l, x, outputs, train);
        outputs.push_back(x);
    }
    result.scores = x.flatten(1);
    if (layerList[layerList.size() - (result.cost >= 0 ? 2 : 1)].kind != Kind::Softmax)
        result.softmaxInput = at::Tensor();
    return result;
}

at::Tensor TorchNetwork::layerForward(Layer& l, const at::Tensor& x, const std::vector<at::Tensor>& outputs, bool train)
{
    switch (l.kind) {
    case Kind::Convolutional: {
        at::Tensor y = at::conv2d(x, l.weights, l.batchNormalize ? at::Tensor() : l.biases, {l.stride, l.stride},
                                  {l.padding, l.padding}, {1, 1}, l.groups);
        return activate(l.batchNormalize ? normalise(l, y, train) : y, l.activation);
    }
    case Kind::Connected: {
        at::Tensor y = at::linear(x.flatten(1), l.weights, l.batchNormalize ? at::Tensor() : l.biases);
        if (l.batchNormalize)
            y = normalise(l, y, train);
        return activate(y, l.activation).view({x.size(0), l.units, 1, 1});
    }
    case Kind::Maxpool:
        return maxpool(l, x);
    case Kind::Avgpool:
        return x.mean({2, 3}, true);
    case Kind::Route: {
        std::vector<at::Tensor> parts;
        for (int source : l.sources)
            parts.push_back(outputs[size_t(source)]);
        return parts.size() == 1 ? parts.front() : at::cat(parts, 1);
    }
    case Kind::Shortcut:
        return activate(shortcut(l, x, outputs[size_t(l.sources.front())]), l.activation);
    case Kind::ScaleChannels:
        return outputs[size_t(l.sources.front())] * x.reshape({x.size(0), -1, 1, 1});
    case Kind::Dropout:
        return train && l.probability > 0 ? at::dropout(x, l.probability, true) : x;
    case Kind::Softmax: {
        const at::Tensor grouped = x.reshape({x.size(0), l.softmaxGroups, -1});
        return at::softmax(l.temperature == 1 ? grouped : grouped / l.temperature, 2).reshape({x.size(0), -1});
    }
    case Kind::Crop:
        return crop(l, x, train);
    case Kind::Cost:
        break;
    }
    return x;
}

std::vector<TorchNetwork::Parameter> TorchNetwork::parameters() const
{
    std::vector<Parameter> list;
    for (const Layer& l : layerList) {
        if (!l.weights.defined())
            continue;
        list.push_back({l.biases, false, l.rateScale});
        if (l.batchNormalize)
            list.push_back({l.scales, false, l.rateScale});
        list.push_back({l.weights, true, l.rateScale});
    }
    return list;
}

void TorchNetwork::moveTo(const at::Device& device)
{
    at::NoGradGuard noGrad;
    const auto moved = [&device](at::Tensor& t, bool trained) {
        if (!t.defined() || t.device() == device)
            return;
        t = t.detach().to(device); // keeps channels last
        if (trained)
            t.requires_grad_();
    };
    for (Layer& l : layerList) {
        moved(l.weights, true);
        moved(l.biases, true);
        moved(l.scales, true);
        moved(l.rollingMean, false);
        moved(l.rollingVariance, false);
    }
}

std::vector<at::Tensor> TorchNetwork::rollingStatistics() const
{
    std::vector<at::Tensor> list;
    for (const Layer& l : layerList) {
        if (l.rollingMean.defined()) {
            list.push_back(l.rollingMean);
            list.push_back(l.rollingVariance);
        }
    }
    return list;
}

int TorchNetwork::outputs() const
{
    const Layer& answer = layerList[layerList.size() - (layerList.back().kind == Kind::Cost ? 2 : 1)];
    return int(answer.out.outputs);
}

// darknet's order: a convolution keeps biases, then scales and rolling statistics, then its
// weights; a connected layer keeps biases, weights, then the normalisation.
bool TorchNetwork::load(const std::string& path, const TransferWeights::Plan& plan, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    file.seekg(std::streamoff(plan.headerBytes));
    bool ok = bool(file);
    for (int i = 0; ok && i < plan.loadedLayers && i < int(layerList.size()); ++i) {
        Layer& l = layerList[size_t(i)];
        if (!l.weights.defined())
            continue;
        const bool normalised = l.batchNormalize;
        ok = readInto(file, l.biases);
        if (ok && normalised && l.kind == Kind::Convolutional)
            ok = readInto(file, l.scales) && readInto(file, l.rollingMean) && readInto(file, l.rollingVariance);
        if (ok && l.kind == Kind::Connected && plan.transposed) {
            const at::Tensor transposed = at::empty({l.weights.size(1), l.weights.size(0)});
            ok = readInto(file, transposed);
            at::NoGradGuard noGrad;
            l.weights.copy_(transposed.t());
        } else if (ok) {
            ok = readInto(file, l.weights);
        }
        if (ok && normalised && l.kind == Kind::Connected)
            ok = readInto(file, l.scales) && readInto(file, l.rollingMean) && readInto(file, l.rollingVariance);
    }
    if (!ok)
        *error = "weights file " + path + " could not be read whole";
    return ok;
}

std::string TorchNetwork::serialise(uint64_t seen) const
{
    std::string bytes = WeightsHeader::forVersion02(seen);
    for (const Layer& l : layerList) {
        if (!l.weights.defined())
            continue;
        appendTensor(&bytes, l.biases);
        if (l.batchNormalize && l.kind == Kind::Convolutional) {
            appendTensor(&bytes, l.scales);
            appendTensor(&bytes, l.rollingMean);
            appendTensor(&bytes, l.rollingVariance);
        }
        appendTensor(&bytes, l.weights);
        if (l.batchNormalize && l.kind == Kind::Connected) {
            appendTensor(&bytes, l.scales);
            appendTensor(&bytes, l.rollingMean);
            appendTensor(&bytes, l.rollingVariance);
        }
    }
    return bytes;
}
