#include "weights_file.h"

#include "whole_file.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>

bool WeightsFile::readHeader(const std::string& path, WeightsHeader* header, size_t* fileSize, std::string* error)
{
    struct stat info;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "weights file " + path + " cannot be read";
        return false;
    }
    char start[WeightsHeader::kLongest];
    const size_t got = std::fread(start, 1, sizeof(start), file.get());
    if (!header->read(start, got)) {
        *error = "weights file " + path + " is too short to be a darknet weights file";
        return false;
    }
    *fileSize = size_t(info.st_size);
    return true;
}

size_t WeightsFile::bytesFor(size_t floats)
{
    return WeightsHeader::sizeFor(0, 2) + floats * sizeof(float);
}

bool WeightsFile::write(const std::string& path, size_t bytes, const Fill& fill, std::string* error)
{
    const auto checked = [&](int fd, const std::string& temporary) {
        struct stat info;
        return fill(fd, temporary) && fstat(fd, &info) == 0 && size_t(info.st_size) == bytes;
    };
    return WholeFile::write(path, checked, WholeFile::Durability::Unsynced, error);
}
