#include "darknet_cfg.h"

#include "shape_walk.h"

#include <QStringList>

#include <climits>
#include <map>
#include <numeric>
#include <set>

namespace {

// The kinds this classifier imports.
bool supportedKind(const std::string& kind)
{
    static const std::set<std::string> kinds{"net", "convolutional", "connected", "maxpool", "avgpool", "softmax",
                                             "dropout", "route", "shortcut", "scale_channels", "upsample", "crop",
                                             "cost"};
    return kinds.count(kind) != 0;
}

// The line as written, for messages.
QString rawLine(const QByteArray& text, int line)
{
    return QString::fromUtf8(text).split('\n').value(line - 1).trimmed();
}

QString where(const CfgSection& section)
{
    return QString("[%1] at line %2").arg(QString::fromStdString(section.kind())).arg(section.line);
}

bool positive(const CfgSection& section, const char* key, long long value, QString* error)
{
    if (value > 0)
        return true;
    *error = QString("%1: %2 must be positive, not %3").arg(where(section), key).arg(value);
    return false;
}

// OpenCV's importer reads ints, and the last of repeated keys.
CfgOptionReader::Rules importerOptions()
{
    CfgOptionReader::Rules rules;
    rules.lastKeyWins = true;
    rules.smallest = INT_MIN;
    rules.largest = INT_MAX;
    return rules;
}

QString describe(const CfgFailure& failure, const ShapeWalk::Shape& in)
{
    using Problem = CfgFailure::Problem;
    static const std::map<Problem, std::string> patterns{
        {Problem::NotInteger, "{key}={text} is not a whole number"},
        {Problem::BelowMinimum, "{key} must be positive, not {0}"},
        {Problem::MissingKey, "layer reference {text} is not a number"},
        {Problem::NotLayerIndex, "layer reference {text} is not a number"},
        {Problem::NotEarlierLayer, "layer reference {text} points outside the layers before it"},
        {Problem::ReadsLeadingCrop, "a layer may not read the leading [crop]"},
        {Problem::CropNotFirst, "a [crop] is only supported as the first layer"},
        {Problem::SizesDiffer, "routed layers differ in size"},
        {Problem::GroupsDoNotDivide, "groups={0} does not divide {1} input channels and {2} filters"},
        {Problem::CannotAdd, "cannot add a {0}x{1} layer to a {2}x{3} one"},
        {Problem::ScalesMismatch, "the scales do not match the scaled layer's channels"},
        {Problem::EmptyOutput, "the layer's output would be empty ({0}x{1}x{2})"}};
    std::string what = "unsupported layer";
    const bool crop = failure.section->kind() == "crop";
    if ((failure.problem == Problem::MissingKey || failure.problem == Problem::EmptyList) && failure.key == "layers")
        what = "no layers= to route";
    else if (failure.problem == Problem::CropTooLarge || (crop && failure.problem == Problem::BelowMinimum))
        what = "the crop must lie inside the " + std::to_string(in.w) + "x" + std::to_string(in.h) + " input";
    else if (patterns.count(failure.problem))
        what = failure.filled(patterns.at(failure.problem));
    return where(*failure.section) + ": " + QString::fromStdString(what);
}

DarknetCfg::Layer layerOf(const ShapeWalk::Layer& shaped, const DarknetCfg::Section& section)
{
    DarknetCfg::Layer layer;
    layer.section = section;
    layer.inW = shaped.in.w;
    layer.outW = shaped.out.w;
    layer.outH = shaped.out.h;
    layer.outC = shaped.out.c;
    layer.units = shaped.units;
    layer.size = shaped.size;
    layer.groups = shaped.groups;
    layer.batchNormalize = shaped.batchNormalize;
    layer.sources = shaped.sources;
    // Darknet's default activation for weighted layers, which OpenCV's importer does not share.
    const bool weighted = section.type == "convolutional" || section.type == "connected";
    if (weighted || section.type == "shortcut" || section.type == "scale_channels") {
        const std::string* activation = CfgOptionReader(importerOptions()).find(*shaped.section, "activation");
        layer.activation = activation ? *activation : weighted ? "logistic" : "linear";
    }
    layer.parameterCount = shaped.parameterCount;
    return layer;
}

void setOption(DarknetCfg::Section& section, const std::string& key, const std::string& value)
{
    for (auto& option : section.options) {
        if (option.first == key) {
            option.second = value;
            return;
        }
    }
    section.options.emplace_back(key, value);
}

} // namespace

bool DarknetCfg::parse(const QByteArray& text, QString* error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    *this = DarknetCfg();
    CfgDocument document;
    if (!readSections(text, &document, error) || !readNet(document, error)
        || !walkLayers(document, error))
        return false;
    if (layerList.empty()) {
        *error = "the configuration has no layers after [net]";
        return false;
    }
    if (outputSize() <= 0) {
        *error = "the network has no outputs";
        return false;
    }
    return true;
}

bool DarknetCfg::readSections(const QByteArray& text, CfgDocument* document, QString* error)
{
    if (text.contains('\0')) {
        *error = "the configuration is not text";
        return false;
    }
    const auto unsupported = [&](int line) {
        *error = QString("unsupported section %1 at line %2").arg(rawLine(text, line)).arg(line);
        return false;
    };
    CfgSyntaxError syntax;
    const bool parsed = CfgDocument::parse(text.toStdString(), document, &syntax);
    // The sections before the line that stopped the parser come first.
    for (const CfgSection& section : document->sections) {
        if (!supportedKind(section.kind()))
            return unsupported(section.line);
        sections.push_back({section.kind(), section.line, section.options});
    }
    if (parsed)
        return true;
    if (syntax.problem == CfgSyntaxError::Problem::UnclosedHeader)
        return unsupported(syntax.line);
    if (syntax.problem == CfgSyntaxError::Problem::NotKeyValue)
        *error = QString("line %1 is not key=value: %2").arg(syntax.line).arg(rawLine(text, syntax.line));
    else
        *error = QString("line %1 comes before the first section").arg(syntax.line);
    return false;
}

bool DarknetCfg::readNet(const CfgDocument& document, QString* error)
{
    if (sections.empty() || sections.front().type != "net") {
        *error = "the configuration does not start with [net]";
        return false;
    }
    for (size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].type == "net") {
            *error = QString("a second [net] at line %1").arg(sections[i].line);
            return false;
        }
    }
    const CfgSection& net = document.sections.front();
    const CfgOptionReader reader(importerOptions());
    const long long any = CfgOptionReader::kNoMinimum;
    long long width, height, channels;
    CfgFailure failure;
    if (!reader.integer(net, "width", 0, any, &width, &failure) || !reader.integer(net, "height", 0, any, &height, &failure)
        || !reader.integer(net, "channels", 0, any, &channels, &failure)) {
        *error = describe(failure, ShapeWalk::Shape());
        return false;
    }
    if (!positive(net, "width", width, error) || !positive(net, "height", height, error))
        return false;
    netWidth = int(width);
    netHeight = int(height);
    netChannels = int(channels);
    if (netChannels != 3) {
        *error = QString("[net] channels=%1: only colour networks (channels=3) are supported").arg(netChannels);
        return false;
    }
    return true;
}

bool DarknetCfg::walkLayers(const CfgDocument& document, QString* error)
{
    ShapeWalk::Rules rules;
    rules.options = importerOptions();
    rules.paddingAtLeastZero = false;
    rules.windowsMustFit = false;
    rules.imageEverywhere = true;
    rules.skipEmptyReferences = true;
    rules.routeGroups = true;
    rules.sampledShortcutOnly = true;
    rules.leadingCropOnly = true;
    rules.intReferences = true;
    rules.limitsAfterOptions = true;
    long long noadjust = 0;
    rules.accepts = [&noadjust](const ShapeWalk::Layer& layer, int, const CfgOptionReader& options, CfgFailure* failure) {
        return layer.kind != "crop"
               || options.integer(*layer.section, "noadjust", 0, CfgOptionReader::kNoMinimum, &noadjust, failure);
    };
    ShapeWalk walk(rules);
    CfgFailure failure;
    if (!walk.walk(document, {netWidth, netHeight, netChannels, qint64(netWidth) * netHeight * netChannels}, &failure)) {
        *error = describe(failure, walk.layers().back().in);
        return false;
    }
    for (size_t i = 0; i < walk.layers().size(); ++i)
        layerList.push_back(layerOf(walk.layers()[i], sections[i + 1]));
    if (!layerList.empty() && layerList.front().section.type == "crop") {
        crop.present = true;
        crop.width = layerList.front().outW;
        crop.height = layerList.front().outH;
        crop.scale = noadjust ? 1.f : 2.f;
        crop.shift = noadjust ? 0.f : -1.f;
    }
    return true;
}

qint64 DarknetCfg::parameterCount() const
{
    return std::accumulate(layerList.begin(), layerList.end(), qint64(0),
                           [](qint64 total, const Layer& layer) { return total + layer.parameterCount; });
}

qint64 DarknetCfg::outputSize() const
{
    // A trailing [cost] only matters to training; the network's answer is what reaches it.
    for (auto it = layerList.rbegin(); it != layerList.rend(); ++it)
        if (it->section.type != "cost")
            return it->outputs();
    return 0;
}

std::string DarknetCfg::importerReference(int originalLayer) const
{
    // Relative to the section about to be appended.
    return std::to_string(importerIndices[originalLayer] - int(importerSections.size()));
}

void DarknetCfg::planImporterLayers() const
{
    importerSections.clear();
    importerIndices.assign(layerList.size(), -1);

    for (int i = 0; i < int(layerList.size()); ++i) {
        const Layer& layer = layerList[i];
        const std::string& type = layer.section.type;
        // The leading crop runs on the input; a cost layer only adds a training loss.
        if (type == "crop" || type == "cost") {
            importerIndices[i] = i > 0 ? importerIndices[i - 1] : -1;
            continue;
        }
        Section out = layer.section;
        if (type == "convolutional" || type == "connected") {
            setOption(out, "activation", layer.activation);
        } else if (type == "route") {
            std::string refs;
            for (int source : layer.sources)
                refs += (refs.empty() ? "" : ",") + importerReference(source);
            setOption(out, "layers", refs);
        } else if (type == "scale_channels") {
            setOption(out, "from", importerReference(layer.sources.front()));
        } else if (type == "shortcut") {
            const int stride = layerList[layer.sources.front()].outW / layer.inW;
            setOption(out, "from", stride > 1 ? sampledShortcutSource(i, stride) : importerReference(layer.sources.front()));
            setOption(out, "activation", layer.activation);
        }
        importerIndices[i] = int(importerSections.size());
        importerSections.push_back(out);
    }
}

std::string DarknetCfg::sampledShortcutSource(int index, int stride) const
{
    // Darknet adds every stride-th value of a larger layer; OpenCV only adds equal sizes.
    // Sample the larger layer with a 1x1 max pool first, then bring back the main path so that
    // it stays the shortcut's first input (whose channel count the sum keeps, as in darknet).
    const Layer& layer = layerList[index];
    const int line = layer.section.line;
    importerSections.push_back({"route", line, {{"layers", importerReference(layer.sources.front())}}});
    importerSections.push_back(
        {"maxpool", line, {{"size", "1"}, {"stride", std::to_string(stride)}, {"padding", "0"}}});
    const int sampled = int(importerSections.size()) - 1;
    importerSections.push_back({"route", line, {{"layers", importerReference(index - 1)}}});
    return std::to_string(sampled - int(importerSections.size()));
}

QByteArray DarknetCfg::importerText() const
{
    planImporterLayers();
    Section net = sections.front();
    if (crop.present) {
        setOption(net, "width", std::to_string(crop.width));
        setOption(net, "height", std::to_string(crop.height));
    }
    setOption(net, "batch", "1");
    setOption(net, "subdivisions", "1");

    std::string text;
    const auto write = [&text](const Section& section) {
        text += "[" + section.type + "]\n";
        for (const auto& option : section.options)
            text += option.first + "=" + option.second + "\n";
        text += "\n";
    };
    write(net);
    for (const Section& section : importerSections)
        write(section);
    return QByteArray::fromStdString(text);
}
