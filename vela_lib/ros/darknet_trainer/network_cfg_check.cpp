#include "network_cfg_check.h"

#include "shape_walk.h"

#include <algorithm>
#include <map>
#include <set>
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

// The options libdarknet reads, by section kind; every layer also reads kEveryLayerOptions.
const std::map<std::string, std::set<std::string> > kReadOptions = {
    {"net", {"batch", "learning_rate", "momentum", "decay", "subdivisions", "time_steps", "notruth", "random", "adam",
             "B1", "B2", "eps", "height", "width", "channels", "inputs", "max_crop", "min_crop", "max_ratio",
             "min_ratio", "center", "clip", "angle", "aspect", "saturation", "exposure", "hue", "policy", "burn_in",
             "power", "step", "scale", "steps", "scales", "gamma", "max_batches"}},
    {"convolutional", {"filters", "groups", "size", "stride", "pad", "padding", "activation", "batch_normalize",
                       "binary", "xnor", "flipped", "dot"}},
    {"connected", {"output", "activation", "batch_normalize"}},
    {"maxpool", {"stride", "size", "padding"}},
    {"softmax", {"groups", "temperature", "tree", "spatial", "noloss"}},
    {"cost", {"type", "scale", "ratio", "noobj", "thresh"}},
    {"dropout", {"probability"}},
    {"route", {"layers"}},
    {"shortcut", {"from", "activation", "alpha", "beta"}},
    {"scale_channels", {"from", "activation"}},
    {"crop", {"crop_height", "crop_width", "flip", "angle", "saturation", "exposure", "noadjust", "shift"}},
    {"avgpool", {}},
    {"batchnorm", {}}};
const std::set<std::string> kEveryLayerOptions = {"truth", "onlyforward", "stopbackward", "dontsave", "dontload",
                                                  "numload", "dontloadscales", "learning_rate", "smooth"};

std::vector<std::string> unreadOptions(const CfgDocument& document)
{
    std::vector<std::string> unread;
    for (size_t i = 0; i < document.sections.size(); ++i) {
        const CfgSection& section = document.sections[i];
        const auto known = kReadOptions.find(section.kind());
        if (known == kReadOptions.end())
            continue;
        for (const auto& option : section.options)
            if (!known->second.count(option.first) && (i == 0 || !kEveryLayerOptions.count(option.first)))
                unread.push_back(section.type + " at line " + std::to_string(section.line) + ": " + option.first);
    }
    return unread;
}

const char* kForklineFamily = "forkline model family (efficientnet_b0, efficientnet-lite3, mobilenet-v2)";

using Problem = CfgFailure::Problem;
const long long kAnyValue = CfgOptionReader::kNoMinimum;

// One check run: the document and the first problem found.
class Checker
{
public:
    explicit Checker(const CfgDocument& doc) : doc(doc) {}

    bool run(NetworkSummary* summary, std::string* error);

private:
    bool netSection(const CfgSection& s, NetworkSummary* summary);
    bool acceptsEveryKind(std::string* error);

    const CfgDocument& doc;
    const CfgOptionReader options;
    CfgFailure failure;
    std::vector<std::string> unknownToLibrary;   // kinds/values libdarknet cannot parse
    std::vector<std::string> notForClassifiers;  // kinds it parses but this trainer does not train
};

bool refuse(const CfgSection& s, const std::string& why, CfgFailure* failure)
{
    *failure = CfgFailure{Problem::Refused, &s, "", why};
    return false;
}

std::string describe(const CfgFailure& failure)
{
    static const std::map<Problem, std::string> patterns{
        {Problem::NotInteger, "{key}={text} is not an integer"},
        {Problem::NotNumber, "{key}={text} is not a number"},
        {Problem::BelowMinimum, "{key}={0} must be at least {1}"},
        {Problem::MissingKey, "{key} is required"},
        {Problem::NotLayerIndex, "{key}: \"{text}\" is not a layer index"},
        {Problem::NotEarlierLayer, "{key}: layer {text} is not an earlier layer"},
        {Problem::EmptyList, "layers={text} lists no layer"},
        {Problem::SizesDiffer, "layers {text} differ in width or height"},
        {Problem::NoImageInput, "the layer before it does not output an image"},
        {Problem::NoInput, "the layer before it has no output"},
        {Problem::GroupsDoNotDivide, "groups={0} does not divide the {1} input channels and the {2} filters"},
        {Problem::FilterDoesNotFit, "a {0} x {0} filter does not fit its {1} x {2} input"},
        {Problem::WindowDoesNotFit, "a {0} x {0} window does not fit its {1} x {2} input"},
        {Problem::CropTooLarge, "a {0} x {1} crop is larger than its {2} x {3} input"},
        {Problem::CannotAdd, "layer {text} ({0} x {1}) cannot be added to a {2} x {3} map"},
        {Problem::ScalesMismatch, "the previous layer must give one value per channel of layer {text} ({0}), not {1}"},
        {Problem::OutputOutOfRange, "its output size {0} is out of range"},
        {Problem::Refused, "{text}"}};
    const auto pattern = patterns.find(failure.problem);
    return failure.section->type + " at line " + std::to_string(failure.section->line) + ": " +
           (pattern == patterns.end() ? "unexpected layer kind" : failure.filled(pattern->second));
}

// The options the library reads besides a layer's shape, and what this trainer does not train.
bool trainable(const ShapeWalk::Layer& layer, int index, const CfgOptionReader& options, CfgFailure* failure)
{
    const CfgSection& s = *layer.section;
    double value;
    long long a, b;
    const auto number = [&](const char* key, double fallback) { return options.number(s, key, fallback, &value, failure); };
    const auto integer = [&](const char* key, long long fallback, long long minimum, long long* out) {
        return options.integer(s, key, fallback, minimum, out, failure);
    };
    if (layer.kind == "convolutional") {
        if (!integer("binary", 0, kAnyValue, &a) || !integer("xnor", 0, kAnyValue, &b))
            return false;
        if (a || b)
            return refuse(s, "binary and xnor convolutions are not trained by this trainer", failure);
    } else if (layer.kind == "shortcut") {
        return number("alpha", 1) && number("beta", 1);
    } else if (layer.kind == "crop") {
        return integer("flip", 0, kAnyValue, &a) && number("angle", 0) && number("saturation", 1) &&
               number("exposure", 1) && number("shift", 0);
    } else if (layer.kind == "scale_channels") {
        const std::string* act = options.find(s, "activation");
        if (act && *act != "linear")
            return refuse(s, "activation=" + *act + " is not trained here; only linear", failure);
    } else if (layer.kind == "softmax") {
        if (!integer("groups", 1, 1, &a) || !number("temperature", 1))
            return false;
        if (s.has("tree"))
            return refuse(s, "hierarchical softmax (tree) is not trained by this trainer", failure);
        if (layer.in.outputs % a != 0)
            return refuse(s, "groups=" + std::to_string(a) + " does not divide its " + std::to_string(layer.in.outputs) +
                                 " inputs", failure);
    } else if (layer.kind == "dropout") {
        if (!number("probability", 0.5))
            return false;
        if (index == 0)
            return refuse(s, "dropout cannot be the first layer", failure);
        if (value < 0 || value >= 1)
            return refuse(s, "probability must lie in [0, 1)", failure);
    } else if (layer.kind == "cost") {
        return number("scale", 1);
    }
    return true;
}

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

bool Checker::netSection(const CfgSection& s, NetworkSummary* summary)
{
    const auto atLeast = [this](const CfgSection& section, const char* key, long long def, long long min, long long* value) {
        return options.integer(section, key, def, min, value, &failure);
    };
    const auto intOption = [&](const CfgSection& section, const char* key, long long def, long long* value) {
        return atLeast(section, key, def, kAnyValue, value);
    };
    const auto floatOption = [this](const CfgSection& section, const char* key, double def, double* value) {
        return options.number(section, key, def, value, &failure);
    };
    const auto fail = [this](const CfgSection& section, const std::string& why) { return refuse(section, why, &failure); };
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
        if (std::any_of(unknownToLibrary.begin(), unknownToLibrary.end(),
                        [](const std::string& item) { return kForklineFeatures.count(item) != 0; }))
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
    ShapeWalk::Rules rules;
    rules.accepts = trainable;
    ShapeWalk walk(rules);
    // The layers are walked from the input size that the [net] section gives.
    if (!netSection(sections[0], summary) ||
        !walk.walk(doc, {summary->width, summary->height, summary->channels,
                         (long long)summary->width * summary->height * summary->channels}, &failure)) {
        *error = describe(failure);
        return false;
    }
    summary->layers = int(walk.layers().size());
    summary->weights = WeightsLayout::of(walk.layers());
    summary->unreadOptions = joined(unreadOptions(doc));
    summary->layerOutputs.clear();
    summary->outputs = 0;
    for (const ShapeWalk::Layer& layer : walk.layers()) {
        summary->layerOutputs.push_back(layer.out.outputs);
        // A trailing [cost] only adds a loss; the network's answer is what reaches it.
        if (layer.kind != "cost")
            summary->outputs = int(layer.out.outputs);
    }
    return true;
}

} // namespace

bool NetworkCfgCheck::check(const CfgDocument& document, NetworkSummary* summary, std::string* error)
{
    return Checker(document).run(summary, error);
}

bool NetworkCfgCheck::checkFile(const std::string& path, NetworkSummary* summary, std::string* error)
{
    CfgDocument document;
    return checkFile(path, &document, summary, error);
}

bool NetworkCfgCheck::checkFile(const std::string& path, CfgDocument* document, NetworkSummary* summary,
                                std::string* error)
{
    if (!CfgDocument::readFile(path, document, error))
        return false;
    std::string why;
    if (!check(*document, summary, &why)) {
        *error = "network configuration " + path + ": " + why;
        return false;
    }
    return true;
}
