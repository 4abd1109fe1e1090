#include "network_cfg_check.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <vector>

namespace {

// Layer kinds that libdarknet parses, by the names it accepts.
const std::set<std::string> kLibraryLayerKinds = {
    "[shortcut]", "[crop]", "[cost]", "[detection]", "[region]", "[yolo]", "[iseg]", "[local]",
    "[conv]", "[convolutional]", "[deconv]", "[deconvolutional]", "[activation]", "[logistic]",
    "[l2norm]", "[net]", "[network]", "[crnn]", "[gru]", "[lstm]", "[rnn]", "[conn]", "[connected]",
    "[max]", "[maxpool]", "[reorg]", "[avg]", "[avgpool]", "[dropout]", "[lrn]", "[normalization]",
    "[batchnorm]", "[soft]", "[softmax]", "[route]", "[upsample]"};

const std::set<std::string> kLibraryActivations = {
    "logistic", "loggy", "relu", "elu", "selu", "relie", "plse", "hardtan", "lhtan", "linear",
    "ramp", "leaky", "tanh", "stair"};

// Pieces the library lacks that the trainer adds on top of it (see NetworkBuilder): the
// [scale_channels] layer, and swish as the activation of convolutional layers.
const char* kAddedLayerKind = "[scale_channels]";
const char* kAddedConvolutionActivation = "swish";

const std::set<std::string> kLibraryCostTypes = {"sse", "masked", "smooth", "L1", "seg", "wgan"};

const std::set<std::string> kLibraryPolicies = {"random", "poly", "constant", "step", "exp", "sigmoid", "steps"};

// Layer kinds and activations of the other darknet line (the EfficientNet and MobileNet-V2
// templates of the catalogue) that this library lacks.
const std::set<std::string> kForklineFeatures = {
    "[scale_channels]", "[sam]", "[implicit_add]", "[implicit_mul]", "[local_avgpool]", "[gaussian_yolo]",
    "[contrastive]", "[empty]", "[silence]", "[conv_lstm]", "[history]",
    "activation=swish", "activation=mish", "activation=hard_mish", "activation=relu6",
    "activation=normalize_channels", "activation=normalize_channels_softmax",
    "activation=normalize_channels_softmax_maxval", "activation=gelu", "activation=revleaky"};

const char* kForklineFamily = "forkline model family (efficientnet_b0, efficientnet-lite3, mobilenet-v2)";

struct Shape
{
    int w = 0, h = 0, c = 0;
    long long outputs = 0;
    bool image() const { return w > 0 && h > 0 && c > 0; }
};

// One check run: the document, the shapes so far, and the first error found.
class Checker
{
public:
    explicit Checker(const CfgDocument& doc) : doc(doc) {}

    bool run(NetworkSummary* summary, std::string* error);

private:
    bool fail(const CfgSection& s, const std::string& what)
    {
        if (message.empty())
            message = s.type + " at line " + std::to_string(s.line) + ": " + what;
        return false;
    }

    bool intOption(const CfgSection& s, const char* key, long long def, long long* value);
    bool floatOption(const CfgSection& s, const char* key, double def, double* value);
    bool atLeast(const CfgSection& s, const char* key, long long def, long long min, long long* value);
    bool needImage(const CfgSection& s, const Shape& in);
    bool layerIndex(const CfgSection& s, const char* key, const std::string& text, int index, int* absolute);

    bool netSection(const CfgSection& s, NetworkSummary* summary);
    bool layer(const CfgSection& s, int index, const Shape& in, Shape* out);
    bool convolutional(const CfgSection& s, const Shape& in, Shape* out);
    bool connected(const CfgSection& s, const Shape& in, Shape* out);
    bool maxpool(const CfgSection& s, const Shape& in, Shape* out);
    bool route(const CfgSection& s, int index, Shape* out);
    bool shortcut(const CfgSection& s, int index, const Shape& in, Shape* out);
    bool crop(const CfgSection& s, const Shape& in, Shape* out);
    bool scaleChannels(const CfgSection& s, int index, const Shape& in, Shape* out);

    bool acceptsEveryKind(std::string* error);

    const CfgDocument& doc;
    std::vector<Shape> shapes;
    std::vector<std::string> unknownToLibrary;   // kinds/values libdarknet cannot parse
    std::vector<std::string> notForClassifiers;  // kinds it parses but this trainer does not train
    std::string message;
};

// The bracketed long name of a section's kind, e.g. "[convolutional]" for "[conv]".
std::string canonicalKind(const CfgSection& section)
{
    return "[" + section.kind() + "]";
}

void addOnce(std::vector<std::string>* list, const std::string& item)
{
    if (std::find(list->begin(), list->end(), item) == list->end())
        list->push_back(item);
}

std::string joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

bool Checker::intOption(const CfgSection& s, const char* key, long long def, long long* value)
{
    const std::string* text = s.find(key);
    if (!text) {
        *value = def;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || v > 1000000000LL || v < -1000000000LL)
        return fail(s, std::string(key) + "=" + *text + " is not an integer");
    *value = v;
    return true;
}

bool Checker::floatOption(const CfgSection& s, const char* key, double def, double* value)
{
    const std::string* text = s.find(key);
    if (!text) {
        *value = def;
        return true;
    }
    char* end = nullptr;
    const double v = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(v))
        return fail(s, std::string(key) + "=" + *text + " is not a number");
    *value = v;
    return true;
}

bool Checker::atLeast(const CfgSection& s, const char* key, long long def, long long min, long long* value)
{
    if (!intOption(s, key, def, value))
        return false;
    if (*value < min)
        return fail(s, std::string(key) + "=" + std::to_string(*value) + " must be at least " + std::to_string(min));
    return true;
}

bool Checker::needImage(const CfgSection& s, const Shape& in)
{
    if (!in.image())
        return fail(s, "the layer before it does not output an image");
    return true;
}

bool Checker::layerIndex(const CfgSection& s, const char* key, const std::string& text, int index, int* absolute)
{
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        return fail(s, std::string(key) + ": \"" + text + "\" is not a layer index");
    const long a = v < 0 ? index + v : v;
    if (a < 0 || a >= index)
        return fail(s, std::string(key) + ": layer " + text + " is not an earlier layer");
    *absolute = int(a);
    return true;
}

bool Checker::netSection(const CfgSection& s, NetworkSummary* summary)
{
    long long batch, subdivisions, timeSteps, w, h, c, maxBatches, burnIn, minCrop, maxCrop;
    double lr, momentum, decay, power, angle, aspect, saturation, exposure, hue, ratio;
    if (!atLeast(s, "batch", 1, 1, &batch) || !atLeast(s, "subdivisions", 1, 1, &subdivisions) ||
        !intOption(s, "time_steps", 1, &timeSteps) || !atLeast(s, "width", 0, 1, &w) ||
        !atLeast(s, "height", 0, 1, &h) || !atLeast(s, "channels", 0, 1, &c) ||
        !atLeast(s, "max_batches", 0, 0, &maxBatches) || !atLeast(s, "burn_in", 0, 0, &burnIn) ||
        !atLeast(s, "min_crop", w, 1, &minCrop) || !atLeast(s, "max_crop", 2 * w, 1, &maxCrop))
        return false;
    if (!floatOption(s, "learning_rate", 0.001, &lr) || !floatOption(s, "momentum", 0.9, &momentum) ||
        !floatOption(s, "decay", 0.0001, &decay) || !floatOption(s, "power", 4, &power) ||
        !floatOption(s, "angle", 0, &angle) || !floatOption(s, "aspect", 1, &aspect) ||
        !floatOption(s, "saturation", 1, &saturation) || !floatOption(s, "exposure", 1, &exposure) ||
        !floatOption(s, "hue", 0, &hue) || !floatOption(s, "min_ratio", 1, &ratio) ||
        !floatOption(s, "max_ratio", 2, &ratio) || !floatOption(s, "gamma", 1, &ratio) ||
        !floatOption(s, "scale", 1, &ratio))
        return false;
    long long step;
    if (!intOption(s, "step", 1, &step))
        return false;
    if (!s.has("width") || !s.has("height") || !s.has("channels"))
        return fail(s, "width, height and channels are required");
    if (w > 4096 || h > 4096)
        return fail(s, "an input of " + std::to_string(w) + " x " + std::to_string(h) + " is too large");
    if (c != 3)
        return fail(s, "channels=" + std::to_string(c) + ": the trainer feeds colour images, so channels must be 3");
    if (timeSteps != 1)
        return fail(s, "time_steps is for recurrent networks, which this trainer does not train");
    if (batch < subdivisions)
        return fail(s, "batch=" + std::to_string(batch) + " is smaller than subdivisions=" + std::to_string(subdivisions));
    if (aspect <= 0 || saturation <= 0 || exposure <= 0)
        return fail(s, "aspect, saturation and exposure must be positive");
    long long inputs;
    if (!intOption(s, "inputs", w * h * c, &inputs))
        return false;
    if (inputs != w * h * c)
        return fail(s, "inputs=" + std::to_string(inputs) + " differs from width x height x channels");
    const std::string* policy = s.find("policy");
    if (policy && !kLibraryPolicies.count(*policy))
        return fail(s, "policy=" + *policy + " is not a learning-rate policy of darknet");
    if (policy && *policy == "step" && step < 1)
        return fail(s, "policy=step needs step of at least 1");
    if (policy && *policy == "steps") {
        const std::string* steps = s.find("steps");
        const std::string* scales = s.find("scales");
        if (!steps || !scales)
            return fail(s, "policy=steps needs both steps and scales");
        if (std::count(steps->begin(), steps->end(), ',') != std::count(scales->begin(), scales->end(), ','))
            return fail(s, "steps and scales must list the same number of values");
    }
    summary->width = int(w);
    summary->height = int(h);
    summary->channels = int(c);
    summary->batch = int(batch);
    summary->subdivisions = int(subdivisions);
    return true;
}

bool Checker::convolutional(const CfgSection& s, const Shape& in, Shape* out)
{
    long long n, size, stride, pad, padding, groups, bn, binary, xnor;
    if (!atLeast(s, "filters", 1, 1, &n) || !atLeast(s, "size", 1, 1, &size) || !atLeast(s, "stride", 1, 1, &stride) ||
        !atLeast(s, "pad", 0, 0, &pad) || !atLeast(s, "padding", 0, 0, &padding) ||
        !atLeast(s, "groups", 1, 1, &groups) || !atLeast(s, "batch_normalize", 0, 0, &bn) ||
        !intOption(s, "binary", 0, &binary) || !intOption(s, "xnor", 0, &xnor) || !needImage(s, in))
        return false;
    if (binary || xnor)
        return fail(s, "binary and xnor convolutions are not trained by this trainer");
    if (in.c % groups != 0 || n % groups != 0)
        return fail(s, "groups=" + std::to_string(groups) + " does not divide the " + std::to_string(in.c) +
                           " input channels and the " + std::to_string(n) + " filters");
    if (pad)
        padding = size / 2;
    const long long ow = (in.w + 2 * padding - size) / stride + 1;
    const long long oh = (in.h + 2 * padding - size) / stride + 1;
    if (in.w + 2 * padding < size || in.h + 2 * padding < size || ow < 1 || oh < 1)
        return fail(s, "a " + std::to_string(size) + " x " + std::to_string(size) + " filter does not fit its " +
                           std::to_string(in.w) + " x " + std::to_string(in.h) + " input");
    *out = Shape{int(ow), int(oh), int(n), ow * oh * n};
    return true;
}

bool Checker::connected(const CfgSection& s, const Shape& in, Shape* out)
{
    long long n, bn;
    if (!atLeast(s, "output", 1, 1, &n) || !atLeast(s, "batch_normalize", 0, 0, &bn))
        return false;
    if (in.outputs < 1)
        return fail(s, "the layer before it has no output");
    *out = Shape{1, 1, int(n), n};
    return true;
}

bool Checker::maxpool(const CfgSection& s, const Shape& in, Shape* out)
{
    long long stride, size, padding;
    if (!atLeast(s, "stride", 1, 1, &stride) || !atLeast(s, "size", stride, 1, &size) ||
        !atLeast(s, "padding", size - 1, 0, &padding) || !needImage(s, in))
        return false;
    const long long ow = (in.w + padding - size) / stride + 1;
    const long long oh = (in.h + padding - size) / stride + 1;
    if (in.w + padding < size || in.h + padding < size || ow < 1 || oh < 1)
        return fail(s, "a " + std::to_string(size) + " x " + std::to_string(size) + " window does not fit its " +
                           std::to_string(in.w) + " x " + std::to_string(in.h) + " input");
    *out = Shape{int(ow), int(oh), in.c, ow * oh * in.c};
    return true;
}

bool Checker::route(const CfgSection& s, int index, Shape* out)
{
    const std::string* layers = s.find("layers");
    if (!layers)
        return fail(s, "layers is required");
    std::stringstream list(*layers);
    std::string item;
    bool first = true;
    while (std::getline(list, item, ',')) {
        int source;
        if (!layerIndex(s, "layers", item, index, &source))
            return false;
        const Shape& from = shapes[size_t(source)];
        if (first) {
            *out = from;
            first = false;
        } else if (from.w == out->w && from.h == out->h) {
            out->c += from.c;
            out->outputs += from.outputs;
        } else {
            return fail(s, "layers " + *layers + " differ in width or height");
        }
    }
    if (first || layers->back() == ',')
        return fail(s, "layers=" + *layers + " lists no layer");
    return true;
}

bool Checker::shortcut(const CfgSection& s, int index, const Shape& in, Shape* out)
{
    const std::string* from = s.find("from");
    if (!from)
        return fail(s, "from is required");
    int source;
    double alpha;
    if (!layerIndex(s, "from", *from, index, &source) ||
        !floatOption(s, "alpha", 1, &alpha) || !floatOption(s, "beta", 1, &alpha) || !needImage(s, in))
        return false;
    const Shape& f = shapes[size_t(source)];
    // The library adds the two maps with an integer stride or sampling step, and asserts that
    // both directions agree.
    if (!f.image() || f.w / in.w != f.h / in.h || in.w / f.w != in.h / f.h)
        return fail(s, "layer " + *from + " (" + std::to_string(f.w) + " x " + std::to_string(f.h) +
                           ") cannot be added to a " + std::to_string(in.w) + " x " + std::to_string(in.h) + " map");
    *out = in;
    return true;
}

// Each channel of the "from" layer times one value of the previous layer's 1 x 1 x C output.
bool Checker::scaleChannels(const CfgSection& s, int index, const Shape& in, Shape* out)
{
    const std::string* from = s.find("from");
    if (!from)
        return fail(s, "from is required");
    int source;
    if (!layerIndex(s, "from", *from, index, &source))
        return false;
    const std::string* act = s.find("activation");
    if (act && *act != "linear")
        return fail(s, "activation=" + *act + " is not trained here; only linear");
    const Shape& f = shapes[size_t(source)];
    if (!f.image() || in.outputs != f.c || (in.image() && (in.w != 1 || in.h != 1)))
        return fail(s, "the previous layer must give one value per channel of layer " + *from + " (" +
                           std::to_string(f.c) + "), not " + std::to_string(in.outputs));
    *out = f;
    return true;
}

bool Checker::crop(const CfgSection& s, const Shape& in, Shape* out)
{
    long long ch, cw, flip;
    double v;
    if (!atLeast(s, "crop_height", 1, 1, &ch) || !atLeast(s, "crop_width", 1, 1, &cw) ||
        !intOption(s, "flip", 0, &flip) || !floatOption(s, "angle", 0, &v) || !floatOption(s, "saturation", 1, &v) ||
        !floatOption(s, "exposure", 1, &v) || !floatOption(s, "shift", 0, &v) || !needImage(s, in))
        return false;
    if (ch > in.h || cw > in.w)
        return fail(s, "a " + std::to_string(cw) + " x " + std::to_string(ch) + " crop is larger than its " +
                           std::to_string(in.w) + " x " + std::to_string(in.h) + " input");
    *out = Shape{int(cw), int(ch), in.c, cw * ch * in.c};
    return true;
}

bool Checker::layer(const CfgSection& s, int index, const Shape& in, Shape* out)
{
    const std::string kind = canonicalKind(s);
    double value;
    long long integer;
    if (kind == "[convolutional]")
        return convolutional(s, in, out);
    if (kind == "[connected]")
        return connected(s, in, out);
    if (kind == "[maxpool]")
        return maxpool(s, in, out);
    if (kind == "[route]")
        return route(s, index, out);
    if (kind == "[shortcut]")
        return shortcut(s, index, in, out);
    if (kind == "[crop]")
        return crop(s, in, out);
    if (kind == kAddedLayerKind)
        return scaleChannels(s, index, in, out);
    if (kind == "[avgpool]") {
        if (!needImage(s, in))
            return false;
        *out = Shape{1, 1, in.c, in.c};
        return true;
    }
    if (kind == "[softmax]") {
        if (!atLeast(s, "groups", 1, 1, &integer) || !floatOption(s, "temperature", 1, &value))
            return false;
        if (s.has("tree"))
            return fail(s, "hierarchical softmax (tree) is not trained by this trainer");
        if (in.outputs % integer != 0)
            return fail(s, "groups=" + std::to_string(integer) + " does not divide its " + std::to_string(in.outputs) + " inputs");
        // The library gives a softmax no image shape, only a width.
        *out = Shape{0, 0, 0, in.outputs};
        return true;
    }
    if (kind == "[dropout]") {
        if (!floatOption(s, "probability", 0.5, &value))
            return false;
        if (index == 0)
            return fail(s, "dropout cannot be the first layer");
        if (value < 0 || value >= 1)
            return fail(s, "probability must lie in [0, 1)");
        *out = in;
        return true;
    }
    if (kind == "[cost]") {
        if (!floatOption(s, "scale", 1, &value))
            return false;
        *out = Shape{0, 0, 0, in.outputs};
        return true;
    }
    if (kind == "[batchnorm]") {
        if (!needImage(s, in))
            return false;
        *out = in;
        return true;
    }
    return fail(s, "unexpected layer kind");
}

// Unsupported kinds are gathered over the whole file first, so that one message names them all.
bool Checker::acceptsEveryKind(std::string* error)
{
    const auto& sections = doc.sections;
    for (size_t i = 1; i < sections.size(); ++i) {
        const std::string kind = canonicalKind(sections[i]);
        if (!kLibraryLayerKinds.count(sections[i].type) && kind != kAddedLayerKind)
            addOnce(&unknownToLibrary, sections[i].type);
        else if (kind == "[net]")
            addOnce(&notForClassifiers, "a second [net]");
        else if (kind != "[convolutional]" && kind != "[connected]" && kind != "[maxpool]" && kind != "[avgpool]" &&
                 kind != "[softmax]" && kind != "[dropout]" && kind != "[route]" && kind != "[shortcut]" &&
                 kind != "[cost]" && kind != "[crop]" && kind != "[batchnorm]" && kind != kAddedLayerKind)
            addOnce(&notForClassifiers, kind);
        if (const std::string* act = sections[i].find("activation"))
            if (!kLibraryActivations.count(*act) && !(*act == kAddedConvolutionActivation && kind == "[convolutional]"))
                addOnce(&unknownToLibrary, "activation=" + *act);
        if (const std::string* type = sections[i].find("type"))
            if (kind == "[cost]" && !kLibraryCostTypes.count(*type))
                addOnce(&unknownToLibrary, "[cost] type=" + *type);
    }
    if (!unknownToLibrary.empty()) {
        bool forkline = false;
        for (const auto& item : unknownToLibrary)
            forkline = forkline || kForklineFeatures.count(item);
        if (forkline)
            *error = std::string("this network is of the ") + kForklineFamily +
                     ", which the darknet library cannot train: it lacks " + joined(unknownToLibrary);
        else
            *error = "the darknet library cannot train this network: it lacks " + joined(unknownToLibrary);
        return false;
    }
    if (!notForClassifiers.empty()) {
        *error = "layer kinds that this classifier trainer does not train: " + joined(notForClassifiers);
        return false;
    }
    return true;
}

bool Checker::run(NetworkSummary* summary, std::string* error)
{
    const auto& sections = doc.sections;
    if (sections.empty()) {
        *error = "no section: a network configuration starts with [net]";
        return false;
    }
    if (canonicalKind(sections[0]) != "[net]") {
        *error = "the first section is " + sections[0].type + " at line " + std::to_string(sections[0].line) +
                 ", not [net]";
        return false;
    }
    if (sections.size() < 2) {
        *error = "[net] is followed by no layer";
        return false;
    }
    if (!acceptsEveryKind(error))
        return false;
    if (!netSection(sections[0], summary)) {
        *error = message;
        return false;
    }
    Shape in{summary->width, summary->height, summary->channels,
             (long long)summary->width * summary->height * summary->channels};
    Shape output;
    for (size_t i = 1; i < sections.size(); ++i) {
        Shape out;
        const int index = int(i - 1);
        if (!layer(sections[i], index, in, &out)) {
            *error = message;
            return false;
        }
        if (out.outputs < 1 || out.outputs > 1000000000LL) {
            fail(sections[i], "its output size " + std::to_string(out.outputs) + " is out of range");
            *error = message;
            return false;
        }
        shapes.push_back(out);
        if (canonicalKind(sections[i]) != "[cost]")
            output = out;
        in = out;
    }
    summary->layers = int(sections.size() - 1);
    summary->layerOutputs.clear();
    for (const Shape& shape : shapes)
        summary->layerOutputs.push_back(shape.outputs);
    summary->outputs = int(output.outputs);
    return true;
}

} // namespace

bool NetworkCfgCheck::check(const CfgDocument& document, NetworkSummary* summary, std::string* error)
{
    Checker checker(document);
    return checker.run(summary, error);
}

bool NetworkCfgCheck::checkFile(const std::string& path, NetworkSummary* summary, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "network configuration " + path + " cannot be read";
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    CfgDocument document;
    std::string why;
    if (!CfgDocument::parse(text, &document, &why) || !check(document, summary, &why)) {
        *error = "network configuration " + path + ": " + why;
        return false;
    }
    return true;
}
