#include "weights_file.h"

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

size_t WeightsFile::headerSize(int major, int minor)
{
    // Since version 0.2 the count of images seen is a 64-bit number.
    const bool wideSeen = (major * 10 + minor) >= 2 && major < 1000 && minor < 1000;
    return 3 * sizeof(int32_t) + (wideSeen ? sizeof(uint64_t) : sizeof(int32_t));
}

bool WeightsFile::checkFits(const std::string& path, const network* net, std::string* error)
{
    struct stat info;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (file)
            std::fclose(file);
        *error = "weights file " + path + " cannot be read";
        return false;
    }
    int32_t version[3] = {0, 0, 0};
    const size_t got = std::fread(version, sizeof(int32_t), 3, file);
    std::fclose(file);
    if (got != 3) {
        *error = "weights file " + path + " is too short to be a darknet weights file";
        return false;
    }
    const size_t header = headerSize(version[0], version[1]);
    const size_t expected = parameterCount(net, false);
    const size_t size = size_t(info.st_size);
    if (size < header || (size - header) % sizeof(float) != 0 || (size - header) / sizeof(float) != expected) {
        const std::string held = size < header ? std::string("no") : std::to_string((size - header) / sizeof(float));
        *error = "weights file " + path + " does not fit the network: it holds " + held +
                 " parameters, the network has " + std::to_string(expected);
        return false;
    }
    return true;
}

bool WeightsFile::save(network* net, const std::string& path, std::string* error)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string temporary = folder + "." + name + "." + std::to_string(getpid()) + ".tmp";
    // libdarknet exits the process when it cannot open the file, so try first.
    FILE* probe = std::fopen(temporary.c_str(), "wb");
    if (!probe) {
        *error = "cannot write " + temporary;
        return false;
    }
    std::fclose(probe);
    std::vector<char> writable(temporary.begin(), temporary.end());
    writable.push_back('\0');
    save_weights(net, writable.data());
    struct stat info;
    const size_t expected = headerSize(0, 2) + parameterCount(net, true) * sizeof(float);
    if (stat(temporary.c_str(), &info) != 0 || size_t(info.st_size) != expected) {
        std::remove(temporary.c_str());
        *error = "writing " + path + " failed (disk full?)";
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        *error = "cannot rename " + temporary + " to " + path;
        return false;
    }
    return true;
}
