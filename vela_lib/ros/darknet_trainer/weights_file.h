#pragma once

#include "weights_header.h"

#include <cstddef>
#include <functional>
#include <string>

// Darknet weight files: a header (major, minor, revision, images seen) followed by the float
// parameters of every layer in order. The one place where the trainer reads a header and writes
// a weights file, whichever engine fills it.
class WeightsFile
{
public:
    // Reads the header of a regular file and its size; otherwise one line saying why.
    static bool readHeader(const std::string& path, WeightsHeader* header, size_t* fileSize, std::string* error);

    // Fills a temporary file in path's folder (given its descriptor and path), checks that it
    // holds exactly `bytes`, then renames it over path; a good file at path is never replaced by
    // a partial one. False with one line naming the file and the cause when it could not be
    // written whole.
    using Fill = std::function<bool(int fd, const std::string& temporaryPath)>;
    static bool write(const std::string& path, size_t bytes, const Fill& fill, std::string* error);

    // Bytes of a file of version 0.2.0 holding `floats` parameters.
    static size_t bytesFor(size_t floats);
};
