#pragma once

#include "weights_header.h"

#include <darknet.h>

#include <cstddef>
#include <string>

// Darknet weight files: a header (major, minor, revision, images seen) followed by the float
// parameters of every layer in order. libdarknet reads them without checking their length, so
// the trainer works out what a file holds before loading it.
class WeightsFile
{
public:
    // Floats libdarknet reads from (forSaving: writes to) a weights file for this network.
    static size_t parameterCount(const network* net, bool forSaving);
    static size_t layerParameterCount(const layer& l, bool forSaving);

    // Reads the header of a regular file and its size; otherwise one line saying why.
    static bool readHeader(const std::string& path, WeightsHeader* header, size_t* fileSize, std::string* error);

    // Writes net to path whole: into a temporary file in the same folder, checked for its full
    // length, then renamed over path. False with one line when it could not be written.
    static bool save(network* net, const std::string& path, std::string* error);
};
