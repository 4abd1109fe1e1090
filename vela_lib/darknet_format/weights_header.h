#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The start of a darknet weights file: three int32 version numbers (major, minor, revision),
// then the count of images seen (a 64-bit number from version 0.2 on, an int32 before). The
// float parameters of every layer follow it in order.
struct WeightsHeader
{
    int32_t major = 0;
    int32_t minor = 0;
    int32_t revision = 0;
    size_t bytes = 0; // the header's length

    static constexpr size_t kVersionBytes = 3 * sizeof(int32_t);
    // Bytes a file needs to hold the longest header.
    static constexpr size_t kLongest = kVersionBytes + sizeof(uint64_t);

    // Header length for these version numbers, by libdarknet's rule.
    static size_t sizeFor(int major, int minor);

    // Reads the version from the first `available` bytes of a file and works out the header's
    // length. False when they do not hold the version.
    bool read(const char* data, size_t available);
    // True when a file of fileSize bytes holds exactly `floats` parameters after this header.
    bool fits(uint64_t fileSize, uint64_t floats) const;

    // Header bytes for version 0.2.0 with the given count of images seen, as darknet writes it.
    static std::string forVersion02(uint64_t seen);
};
