#include "network_builder.h"

#include "cfg_document.h"
#include "pointwise_convolution_backward.h"
#include "scale_channels_layer.h"
#include "swish_layer.h"

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct StandIn
{
    std::string text;
    std::vector<int> swishLayers;
    std::vector<int> scaleChannelsLayers;
};

// The stand-in of a configuration; false on a "from" that is not a layer index.
bool makeStandIn(const CfgDocument& document, StandIn* standIn, std::string* error)
{
    for (size_t i = 0; i < document.sections.size(); ++i) {
        const CfgSection& section = document.sections[i];
        const int index = int(i) - 1; // layers count from the section after [net]
        if (section.type == "[scale_channels]") {
            const std::string* from = section.find("from");
            char* end = nullptr;
            const long relative = from ? std::strtol(from->c_str(), &end, 10) : 0;
            if (!from || from->empty() || *end != '\0') {
                *error = "[scale_channels] at line " + std::to_string(section.line) + ": from is not a layer index";
                return false;
            }
            standIn->text += "[route]\nlayers=" + std::to_string(relative < 0 ? index + relative : relative) + "\n\n";
            standIn->scaleChannelsLayers.push_back(index);
            continue;
        }
        standIn->text += section.type + "\n";
        for (const auto& option : section.options) {
            const bool swish = option.first == "activation" && option.second == "swish";
            if (swish && &option.second == section.find("activation"))
                standIn->swishLayers.push_back(index);
            standIn->text += option.first + "=" + (swish ? std::string("linear") : option.second) + "\n";
        }
        standIn->text += "\n";
    }
    return true;
}

// libdarknet reads configurations only from files: the stand-in is handed over as an in-memory
// file, so nothing is left behind on disk.
network* parseText(const std::string& text, std::string* error)
{
    const int fd = memfd_create("vela-standin-cfg", MFD_CLOEXEC);
    if (fd < 0) {
        *error = "cannot make the in-memory network configuration";
        return nullptr;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            close(fd);
            *error = "cannot write the in-memory network configuration";
            return nullptr;
        }
        written += size_t(n);
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    network* net = parse_network_cfg(path.data());
    close(fd);
    return net;
}

} // namespace

NetworkBuilder::NetworkPtr NetworkBuilder::build(const std::string& cfgPath, std::string* error)
{
    CfgDocument document;
    if (!CfgDocument::readFile(cfgPath, &document, error))
        return nullptr;
    StandIn standIn;
    if (!makeStandIn(document, &standIn, error)) {
        *error = "network configuration " + cfgPath + ": " + *error;
        return nullptr;
    }
    NetworkPtr net;
    if (standIn.swishLayers.empty() && standIn.scaleChannelsLayers.empty()) {
        std::string path = cfgPath;
        net.reset(parse_network_cfg(path.data()));
    } else {
        net.reset(parseText(standIn.text, error));
    }
    if (!net)
        return nullptr;
    for (int i = 1; i < net->n; ++i)
        if (net->layers[i].type == CONVOLUTIONAL && net->layers[i].size == 1)
            PointwiseConvolutionBackward::install(&net->layers[i]);
    for (int index : standIn.swishLayers)
        if (index >= 0 && index < net->n && net->layers[index].type == CONVOLUTIONAL)
            SwishLayer::install(&net->layers[index]);
    for (int index : standIn.scaleChannelsLayers)
        if (index >= 0 && index < net->n && net->layers[index].type == ROUTE)
            ScaleChannelsLayer::install(&net->layers[index]);
    return net;
}

void NetworkBuilder::free(network* net)
{
    if (!net)
        return;
    SwishLayer::release(net);
    free_network(net);
}
