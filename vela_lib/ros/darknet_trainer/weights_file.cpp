#include "weights_file.h"

#include "whole_file.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>

size_t WeightsFile::layerParameterCount(const layer& l, bool forSaving)
{
    if (forSaving ? l.dontsave : l.dontload)
        return 0;
    const bool scales = l.batch_normalize && (forSaving || !l.dontloadscales);
    if (l.type == CONVOLUTIONAL)
        return size_t(l.n) + size_t(l.nweights) + (scales ? 3 * size_t(l.n) : 0);
    if (l.type == CONNECTED)
        return size_t(l.outputs) + size_t(l.outputs) * size_t(l.inputs) + (scales ? 3 * size_t(l.outputs) : 0);
    if (l.type == BATCHNORM)
        return 3 * size_t(l.c);
    return 0;
}

size_t WeightsFile::parameterCount(const network* net, bool forSaving)
{
    size_t count = 0;
    for (int i = 0; i < net->n; ++i)
        count += layerParameterCount(net->layers[i], forSaving);
    return count;
}

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

bool WeightsFile::save(network* net, const std::string& path, std::string* error)
{
    const size_t expected = WeightsHeader::sizeFor(0, 2) + parameterCount(net, true) * sizeof(float);
    const auto saveChecked = [net, expected](int fd, const std::string& temporary) {
        // libdarknet opens the file itself; the fresh temporary file is known to be writable, so
        // it does not exit the process for want of one.
        std::string name = temporary;
        save_weights(net, name.data());
        struct stat info;
        return fstat(fd, &info) == 0 && size_t(info.st_size) == expected;
    };
    if (!WholeFile::write(path, saveChecked, WholeFile::Durability::Unsynced)) {
        *error = "writing " + path + " failed (disk full?)";
        return false;
    }
    return true;
}
