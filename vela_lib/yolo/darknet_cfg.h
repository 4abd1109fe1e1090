#pragma once

#include "cfg_document.h"
#include "leading_crop.h"

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

// A darknet network configuration (parsed by CfgDocument) with every layer's output shape and
// parameter count worked out as darknet does. It also writes the text that OpenCV's darknet
// importer is given: training-only sections removed and the layer references renumbered.
class DarknetCfg
{
public:
    struct Section
    {
        std::string type; // canonical name: "net", "convolutional", "connected", ...
        int line = 0;     // 1-based line of the header in the text
        std::vector<std::pair<std::string, std::string> > options;
    };

    // One layer (a section after [net]) with darknet's view of its shapes and parameters.
    struct Layer
    {
        Section section;
        int inW = 0;
        int outW = 0, outH = 0, outC = 0;
        // Convolution filters or connected outputs; 0 for other layers.
        int units = 0;
        int size = 1;
        int groups = 1;
        bool batchNormalize = false;
        std::string activation = "linear";
        // Absolute indices of the layers this one reads besides its predecessor (route, shortcut,
        // scale_channels).
        std::vector<int> sources;
        // Floats this layer occupies in a weights file.
        qint64 parameterCount = 0;

        qint64 outputs() const { return qint64(outW) * outH * outC; }
    };

    // Parses and analyses text; on failure returns false and says why in error.
    bool parse(const QByteArray& text, QString* error);

    int inputWidth() const { return netWidth; }
    int inputHeight() const { return netHeight; }
    const std::vector<Layer>& layers() const { return layerList; }
    // Floats after the header that a weights file of this network holds.
    qint64 parameterCount() const;
    // Number of values the network outputs (its classes, for a classifier).
    qint64 outputSize() const;

    const LeadingCrop& leadingCrop() const { return crop; }

    // The configuration text for OpenCV's importer.
    QByteArray importerText() const;

private:
    bool readSections(const QByteArray& text, CfgDocument* document, QString* error);
    bool readNet(const CfgDocument& document, QString* error);
    bool walkLayers(const CfgDocument& document, QString* error);
    void planImporterLayers() const;
    std::string importerReference(int originalLayer) const;
    std::string sampledShortcutSource(int index, int stride) const;

    std::vector<Section> sections;
    std::vector<Layer> layerList;
    int netWidth = 0, netHeight = 0, netChannels = 0;
    LeadingCrop crop;

    // Importer plan, built by importerText(): its sections, and where each layer's output ends
    // up in them (-1 for a layer that was dropped).
    mutable std::vector<Section> importerSections;
    mutable std::vector<int> importerIndices;
};
