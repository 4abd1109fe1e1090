#include "weights_file.h"

#include "weights_header.h"

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

size_t WeightsFile::parameterCount(const network* net, bool forSaving)
{
    size_t count = 0;
    for (int i = 0; i < net->n; ++i) {
        const layer& l = net->layers[i];
        if (forSaving ? l.dontsave : l.dontload)
            continue;
        const bool scales = l.batch_normalize && (forSaving || !l.dontloadscales);
        if (l.type == CONVOLUTIONAL) {
            count += size_t(l.n) + size_t(l.nweights) + (scales ? 3 * size_t(l.n) : 0);
        } else if (l.type == CONNECTED) {
            count += size_t(l.outputs) + size_t(l.outputs) * size_t(l.inputs) + (scales ? 3 * size_t(l.outputs) : 0);
        } else if (l.type == BATCHNORM) {
            count += 3 * size_t(l.c);
        }
    }
    return count;
}

size_t WeightsFile::headerSize(int major, int minor)
{
    return WeightsHeader::sizeFor(major, minor);
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
    char start[WeightsHeader::kLongest];
    const size_t got = std::fread(start, 1, sizeof(start), file);
    std::fclose(file);
    WeightsHeader header;
    if (!header.read(start, got)) {
        *error = "weights file " + path + " is too short to be a darknet weights file";
        return false;
    }
    const size_t expected = parameterCount(net, false);
    const size_t size = size_t(info.st_size);
    if (!header.fits(size, expected)) {
        const std::string held = size < header.bytes ? std::string("no") : std::to_string((size - header.bytes) / sizeof(float));
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
