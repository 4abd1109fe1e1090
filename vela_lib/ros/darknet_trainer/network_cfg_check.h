#pragma once

#include "cfg_document.h"
#include "weights_layout.h"

#include <string>
#include <vector>

// What the trainer needs to know about a checked network configuration.
struct NetworkSummary
{
    int width = 0;
    int height = 0;
    int channels = 0;
    int batch = 0;        // images per iteration, as written in [net]
    int subdivisions = 0;
    int layers = 0;       // sections after [net]
    int outputs = 0;      // width of the output layer (the last one that is not a [cost])
    std::vector<long long> layerOutputs; // output width of every layer, in order
    WeightsLayout weights;               // what a weights file holds for each layer
    // Options the darknet library does not read, as "[section] at line N: key, ..." (a typo such
    // as "filtres" leaves a layer at its default), for telling why weights do not fit; empty when
    // there are none.
    std::string unreadOptions;
};

// Checks a network configuration before it is handed to libdarknet, which calls exit() or
// abort() on many configuration errors and reads out of bounds on others. The check mirrors the
// library's parser: the layer kinds and activations it knows, the option values it reads, and
// the shape of every layer's output, so that a configuration that passes parses and trains.
class NetworkCfgCheck
{
public:
    // On failure returns false and one line naming the problem (no file name).
    static bool check(const CfgDocument& document, NetworkSummary* summary, std::string* error);
    // Reads the file, then checks it; the error line starts with the path.
    static bool checkFile(const std::string& path, NetworkSummary* summary, std::string* error);
    // The same, keeping the document read.
    static bool checkFile(const std::string& path, CfgDocument* document, NetworkSummary* summary, std::string* error);
};
