#include "darknet_cfg.h"

#include <QStringList>

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

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

// The line as written, for messages.
QString rawLine(const QByteArray& text, int line)
{
    return QString::fromUtf8(text).split('\n').value(line - 1).trimmed();
}

QString where(const DarknetCfg::Section& section)
{
    return QString("[%1] at line %2").arg(q(section.type)).arg(section.line);
}

// Reads an integer option; a present but non-numeric value is an error.
bool intOption(const DarknetCfg::Section& section, const char* key, int fallback, int* value, QString* error)
{
    if (!section.has(key)) {
        *value = fallback;
        return true;
    }
    bool ok = false;
    const QString text = q(section.value(key));
    *value = text.toInt(&ok);
    if (!ok)
        *error = QString("%1: %2=%3 is not a whole number").arg(where(section), key, text);
    return ok;
}

bool positive(const DarknetCfg::Section& section, const char* key, int value, QString* error)
{
    if (value > 0)
        return true;
    *error = QString("%1: %2 must be positive, not %3").arg(where(section), key).arg(value);
    return false;
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

const std::string* DarknetCfg::Section::find(const std::string& key) const
{
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->first == key)
            return &it->second;
    return nullptr;
}

bool DarknetCfg::parse(const QByteArray& text, QString* error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    *this = DarknetCfg();
    if (!readSections(text, error) || !readNet(error))
        return false;
    layerList.resize(sections.size() - 1);
    qint64 offset = 0;
    for (int i = 0; i < int(layerList.size()); ++i) {
        layerList[i].section = sections[i + 1];
        if (!analyseLayer(i, error))
            return false;
        layerList[i].parameterOffset = offset;
        offset += layerList[i].parameterCount;
    }
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

bool DarknetCfg::readSections(const QByteArray& text, QString* error)
{
    if (text.contains('\0')) {
        *error = "the configuration is not text";
        return false;
    }
    const auto unsupported = [&](int line) {
        *error = QString("unsupported section %1 at line %2").arg(rawLine(text, line)).arg(line);
        return false;
    };
    CfgDocument document;
    CfgSyntaxError syntax;
    const bool parsed = CfgDocument::parse(text.toStdString(), &document, &syntax);
    // The sections before the line that stopped the parser come first.
    for (const CfgSection& section : document.sections) {
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

bool DarknetCfg::readNet(QString* error)
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
    const Section& net = sections.front();
    if (!intOption(net, "width", 0, &netWidth, error) || !intOption(net, "height", 0, &netHeight, error)
        || !intOption(net, "channels", 0, &netChannels, error))
        return false;
    if (!positive(net, "width", netWidth, error) || !positive(net, "height", netHeight, error))
        return false;
    if (netChannels != 3) {
        *error = QString("[net] channels=%1: only colour networks (channels=3) are supported").arg(netChannels);
        return false;
    }
    return true;
}

bool DarknetCfg::resolveReference(int index, const std::string& reference, int* absolute, QString* error) const
{
    bool ok = false;
    const QString text = q(reference);
    const int value = text.toInt(&ok);
    const Section& section = layerList[index].section;
    if (!ok) {
        *error = QString("%1: layer reference %2 is not a number").arg(where(section), text);
        return false;
    }
    *absolute = value < 0 ? index + value : value;
    if (*absolute < 0 || *absolute >= index) {
        *error = QString("%1: layer reference %2 points outside the layers before it").arg(where(section), text);
        return false;
    }
    if (crop.present && *absolute == 0) {
        *error = QString("%1: a layer may not read the leading [crop]").arg(where(section));
        return false;
    }
    return true;
}

bool DarknetCfg::analyseLayer(int index, QString* error)
{
    Layer& layer = layerList[index];
    const Section& s = layer.section;
    if (index == 0) {
        layer.inW = netWidth;
        layer.inH = netHeight;
        layer.inC = netChannels;
    } else {
        const Layer& previous = layerList[index - 1];
        layer.inW = previous.outW;
        layer.inH = previous.outH;
        layer.inC = previous.outC;
    }
    layer.outW = layer.inW;
    layer.outH = layer.inH;
    layer.outC = layer.inC;

    bool ok = true;
    if (s.type == "convolutional")
        ok = analyseConvolutional(layer, error);
    else if (s.type == "connected")
        ok = analyseConnected(layer, error);
    else if (s.type == "maxpool" || s.type == "avgpool" || s.type == "upsample")
        ok = analyseResampling(layer, error);
    else if (s.type == "crop")
        ok = analyseCrop(index, error);
    else if (s.type == "route")
        ok = analyseRoute(index, error);
    else if (s.type == "shortcut" || s.type == "scale_channels")
        ok = analyseSum(index, error);
    else if (s.type != "softmax" && s.type != "dropout" && s.type != "cost") {
        *error = QString("%1: unsupported layer").arg(where(s));
        ok = false;
    }
    if (!ok)
        return false;

    if (layer.outW <= 0 || layer.outH <= 0 || layer.outC <= 0) {
        *error = QString("%1: the layer's output would be empty (%2x%3x%4)")
                     .arg(where(s)).arg(layer.outW).arg(layer.outH).arg(layer.outC);
        return false;
    }
    return true;
}

bool DarknetCfg::analyseConvolutional(Layer& layer, QString* error)
{
    const Section& s = layer.section;
    int stride = 1, pad = 0, padding = 0, bn = 0;
    if (!intOption(s, "filters", 1, &layer.units, error) || !intOption(s, "size", 1, &layer.size, error)
        || !intOption(s, "stride", 1, &stride, error) || !intOption(s, "pad", 0, &pad, error)
        || !intOption(s, "padding", 0, &padding, error) || !intOption(s, "groups", 1, &layer.groups, error)
        || !intOption(s, "batch_normalize", 0, &bn, error))
        return false;
    if (!positive(s, "filters", layer.units, error) || !positive(s, "size", layer.size, error)
        || !positive(s, "stride", stride, error) || !positive(s, "groups", layer.groups, error))
        return false;
    if (layer.inC % layer.groups != 0 || layer.units % layer.groups != 0) {
        *error = QString("%1: groups=%2 does not divide %3 input channels and %4 filters")
                     .arg(where(s)).arg(layer.groups).arg(layer.inC).arg(layer.units);
        return false;
    }
    if (pad)
        padding = layer.size / 2;
    layer.batchNormalize = bn != 0;
    // Darknet's default activation, which OpenCV's importer does not share.
    layer.activation = s.value("activation", "logistic");
    layer.outW = (layer.inW + 2 * padding - layer.size) / stride + 1;
    layer.outH = (layer.inH + 2 * padding - layer.size) / stride + 1;
    layer.outC = layer.units;
    // Biases, the three normalisation vectors (scales, means, variances), the kernels.
    layer.parameterCount = qint64(layer.units) * (layer.batchNormalize ? 4 : 1)
                           + qint64(layer.units) * (layer.inC / layer.groups) * layer.size * layer.size;
    return true;
}

bool DarknetCfg::analyseConnected(Layer& layer, QString* error)
{
    const Section& s = layer.section;
    int bn = 0;
    if (!intOption(s, "output", 1, &layer.units, error) || !intOption(s, "batch_normalize", 0, &bn, error))
        return false;
    if (!positive(s, "output", layer.units, error))
        return false;
    layer.batchNormalize = bn != 0;
    layer.activation = s.value("activation", "logistic");
    const qint64 inputs = qint64(layer.inW) * layer.inH * layer.inC;
    layer.outW = layer.outH = 1;
    layer.outC = layer.units;
    layer.parameterCount = qint64(layer.units) * (layer.batchNormalize ? 4 : 1) + inputs * layer.units;
    return true;
}

bool DarknetCfg::analyseResampling(Layer& layer, QString* error)
{
    const Section& s = layer.section;
    if (s.type == "avgpool") {
        layer.outW = layer.outH = 1;
        return true;
    }
    if (s.type == "upsample") {
        int stride = 2;
        if (!intOption(s, "stride", 2, &stride, error) || !positive(s, "stride", stride, error))
            return false;
        layer.outW = layer.inW * stride;
        layer.outH = layer.inH * stride;
        return true;
    }
    int stride = 1, padding = 0;
    if (!intOption(s, "stride", 1, &stride, error) || !intOption(s, "size", stride, &layer.size, error)
        || !intOption(s, "padding", layer.size - 1, &padding, error))
        return false;
    if (!positive(s, "stride", stride, error) || !positive(s, "size", layer.size, error))
        return false;
    layer.outW = (layer.inW + padding - layer.size) / stride + 1;
    layer.outH = (layer.inH + padding - layer.size) / stride + 1;
    return true;
}

bool DarknetCfg::analyseCrop(int index, QString* error)
{
    Layer& layer = layerList[index];
    const Section& s = layer.section;
    if (index != 0) {
        *error = QString("%1: a [crop] is only supported as the first layer").arg(where(s));
        return false;
    }
    int noadjust = 0;
    if (!intOption(s, "crop_width", 1, &layer.outW, error) || !intOption(s, "crop_height", 1, &layer.outH, error)
        || !intOption(s, "noadjust", 0, &noadjust, error))
        return false;
    if (layer.outW < 1 || layer.outH < 1 || layer.outW > layer.inW || layer.outH > layer.inH) {
        *error = QString("%1: the crop must lie inside the %2x%3 input").arg(where(s)).arg(layer.inW).arg(layer.inH);
        return false;
    }
    crop.present = true;
    crop.width = layer.outW;
    crop.height = layer.outH;
    crop.scale = noadjust ? 1.f : 2.f;
    crop.shift = noadjust ? 0.f : -1.f;
    return true;
}

bool DarknetCfg::analyseRoute(int index, QString* error)
{
    Layer& layer = layerList[index];
    const Section& s = layer.section;
    const QStringList refs = q(s.value("layers")).split(',', Qt::SkipEmptyParts);
    if (refs.isEmpty()) {
        *error = QString("%1: no layers= to route").arg(where(s));
        return false;
    }
    int groups = 1;
    if (!intOption(s, "groups", 1, &groups, error) || !positive(s, "groups", groups, error))
        return false;
    layer.outC = 0;
    for (const QString& ref : refs) {
        int source = 0;
        if (!resolveReference(index, ref.toStdString(), &source, error))
            return false;
        const Layer& from = layerList[source];
        if (layer.sources.empty()) {
            layer.outW = from.outW;
            layer.outH = from.outH;
        } else if (from.outW != layer.outW || from.outH != layer.outH) {
            *error = QString("%1: routed layers differ in size").arg(where(s));
            return false;
        }
        layer.sources.push_back(source);
        layer.outC += from.outC;
    }
    layer.outC /= groups;
    return true;
}

bool DarknetCfg::analyseSum(int index, QString* error)
{
    Layer& layer = layerList[index];
    const Section& s = layer.section;
    int source = 0;
    if (!resolveReference(index, s.value("from"), &source, error))
        return false;
    layer.sources.push_back(source);
    const Layer& from = layerList[source];
    layer.activation = s.value("activation", "linear");
    if (s.type == "scale_channels") {
        // Per-channel factors (a 1x1 layer) scale an earlier layer of as many channels.
        if (layer.inW != 1 || layer.inH != 1 || layer.inC != from.outC) {
            *error = QString("%1: the scales do not match the scaled layer's channels").arg(where(s));
            return false;
        }
        layer.outW = from.outW;
        layer.outH = from.outH;
        layer.outC = from.outC;
        return true;
    }
    // Darknet adds a larger layer by sampling every stride-th value; never a smaller one.
    if (from.outW < layer.inW || from.outH < layer.inH || from.outW % layer.inW != 0 || from.outH % layer.inH != 0
        || from.outW / layer.inW != from.outH / layer.inH) {
        *error = QString("%1: cannot add a %2x%3 layer to a %4x%5 one")
                     .arg(where(s)).arg(from.outW).arg(from.outH).arg(layer.inW).arg(layer.inH);
        return false;
    }
    return true;
}

qint64 DarknetCfg::parameterCount() const
{
    qint64 total = 0;
    for (const Layer& layer : layerList)
        total += layer.parameterCount;
    return total;
}

qint64 DarknetCfg::outputSize() const
{
    // A trailing [cost] only matters to training; the network's answer is what reaches it.
    for (auto it = layerList.rbegin(); it != layerList.rend(); ++it)
        if (it->section.type != "cost")
            return it->outputs();
    return 0;
}

int DarknetCfg::importerIndex(int layer) const
{
    planImporterLayers();
    if (layer < 0 || layer >= int(importerIndices.size()))
        return -1;
    return importerIndices[layer];
}

std::string DarknetCfg::importerReference(int originalLayer) const
{
    // Relative to the section about to be appended.
    return std::to_string(importerIndices[originalLayer] - int(importerSections.size()));
}

void DarknetCfg::planImporterLayers() const
{
    if (planned)
        return;
    planned = true;
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
        importerSections.push_back({out, i});
    }
}

std::string DarknetCfg::sampledShortcutSource(int index, int stride) const
{
    // Darknet adds every stride-th value of a larger layer; OpenCV only adds equal sizes.
    // Sample the larger layer with a 1x1 max pool first, then bring back the main path so that
    // it stays the shortcut's first input (whose channel count the sum keeps, as in darknet).
    const Layer& layer = layerList[index];
    const int line = layer.section.line;
    importerSections.push_back({{"route", line, {{"layers", importerReference(layer.sources.front())}}}, -1});
    importerSections.push_back(
        {{"maxpool", line, {{"size", "1"}, {"stride", std::to_string(stride)}, {"padding", "0"}}}, -1});
    const int sampled = int(importerSections.size()) - 1;
    importerSections.push_back({{"route", line, {{"layers", importerReference(index - 1)}}}, -1});
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
    for (const ImporterSection& section : importerSections)
        write(section.section);
    return QByteArray::fromStdString(text);
}
