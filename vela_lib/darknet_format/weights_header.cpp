#include "weights_header.h"

#include <cstring>

namespace {

// Weights files are little-endian, as are the machines that darknet runs on.
int32_t readLittle(const char* data)
{
    int32_t value;
    std::memcpy(&value, data, sizeof(value));
    return value;
}

} // namespace

size_t WeightsHeader::sizeFor(int major, int minor)
{
    // Since version 0.2 the count of images seen is a 64-bit number.
    const bool wideSeen = (int64_t(major) * 10 + minor) >= 2 && major < 1000 && minor < 1000;
    return kVersionBytes + (wideSeen ? sizeof(uint64_t) : sizeof(int32_t));
}

bool WeightsHeader::read(const char* data, size_t available)
{
    if (available < kVersionBytes)
        return false;
    major = readLittle(data);
    minor = readLittle(data + 4);
    revision = readLittle(data + 8);
    bytes = sizeFor(major, minor);
    return true;
}

bool WeightsHeader::fits(uint64_t fileSize, uint64_t floats) const
{
    return fileSize >= bytes && fileSize - bytes == floats * sizeof(float);
}

std::string WeightsHeader::forVersion02(uint64_t seen)
{
    std::string header(kLongest, '\0');
    const int32_t version[3] = {0, 2, 0};
    std::memcpy(&header[0], version, sizeof(version));
    std::memcpy(&header[kVersionBytes], &seen, sizeof(seen));
    return header;
}
