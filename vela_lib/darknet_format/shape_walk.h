#pragma once

#include "cfg_option_reader.h"

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Walks the layers of a network configuration (the sections after [net]) the way libdarknet
// builds them: each layer's input and output shape, its parameters in a weights file and the
// layers it reads. The first problem stops the walk and is told as data. Readers that accept
// less or more than the library say so in the rules.
class ShapeWalk
{
public:
    struct Shape
    {
        int w = 0, h = 0, c = 0;
        long long outputs = 0;
        bool image() const { return w > 0 && h > 0 && c > 0; }
    };

    struct Layer
    {
        const CfgSection* section = nullptr;
        std::string kind; // CfgSection::kind()
        Shape in, out;
        int units = 0; // convolution filters or connected outputs
        int size = 1;
        int groups = 1;
        bool batchNormalize = false;
        std::vector<int> sources;     // earlier layers read besides the previous one
        long long parameterCount = 0; // floats in a weights file

        // Multiplications and additions of one image's forward pass through a convolutional or
        // connected layer (0 for the others, whose work is small beside theirs).
        double forwardFlops() const;
    };

    struct Rules
    {
        CfgOptionReader::Rules options;
        bool paddingAtLeastZero = true;   // pad, padding and batch_normalize
        bool windowsMustFit = true;       // a filter or pool window larger than its input
        bool imageEverywhere = false;     // softmax and cost keep their input's shape, and every
                                          // output is an image (OpenCV's importer)
        bool skipEmptyReferences = false; // "layers=1,,2" lists two layers
        bool routeGroups = false;         // a route's groups= splits its channels
        bool sampledShortcutOnly = false; // a shortcut adds an equal or larger layer only
        bool leadingCropOnly = false;     // a [crop] only first, run on the input and not read
        bool intReferences = false;       // a reference beyond an int is no number
        bool limitsAfterOptions = false;  // values below their minimum only once all are read
        // The reader's own rules for a layer, once its options and references are read and
        // before its shape is worked out; on false the walk stops with that failure.
        std::function<bool(const Layer&, int index, const CfgOptionReader&, CfgFailure*)> accepts;
    };

    explicit ShapeWalk(const Rules& rules) : rules(rules), reader(rules.options) {}

    // Walks every section after the first (the [net]) from an input of the given shape.
    bool walk(const CfgDocument& document, const Shape& input, CfgFailure* failure);

    // The layers walked; after a failure, the last one is the layer at fault.
    const std::vector<Layer>& layers() const { return layerList; }

private:
    // Each works on the last of layerList.
    bool layer();
    bool convolutional();
    bool connected();
    bool maxpool();
    bool upsample();
    bool crop();
    bool route();
    bool shortcut();
    bool scaleChannels();
    bool reference(const char* key, const std::string& text);
    bool requiredReference(const char* key);
    bool integer(const char* key, long long fallback, long long minimum, long long* value);
    bool accepted();
    bool needImage();
    bool fits(long long size, long long padding, long long stride, CfgFailure::Problem problem);
    bool outputInRange();
    bool fail(CfgFailure::Problem problem, std::initializer_list<long long> values = {},
              const std::string& key = std::string(), const std::string& text = std::string());

    struct Limit
    {
        const char* key;
        long long value, minimum;
    };

    Rules rules;
    CfgOptionReader reader;
    std::vector<Layer> layerList;
    std::vector<Limit> pendingLimits;
    CfgFailure* failure = nullptr;
};
