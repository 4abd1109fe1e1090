#include "torch_engine_module.h"

#include <dlfcn.h>
#include <unistd.h>

namespace {

using Make = TrainingEngine* (*)(const NetworkSummary*, const TorchEngineOptions*);
using Version = const char* (*)();
using CudaUsable = int (*)(char*, size_t);

Make makeEngine = nullptr;
Version version = nullptr;
CudaUsable cudaCheck = nullptr;

// The module's path: beside the running executable.
std::string modulePath()
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "vela_torch_engine.so";
    const std::string path(self, size_t(length));
    return path.substr(0, path.find_last_of('/') + 1) + "vela_torch_engine.so";
}

} // namespace

namespace TorchEngineModule {

bool load(std::string* error)
{
    if (makeEngine && version && cudaCheck)
        return true;
    const std::string path = modulePath();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module) {
        makeEngine = reinterpret_cast<Make>(dlsym(module, "vela_torch_engine_make"));
        version = reinterpret_cast<Version>(dlsym(module, "vela_torch_engine_version"));
        cudaCheck = reinterpret_cast<CudaUsable>(dlsym(module, "vela_torch_engine_cuda_usable"));
    }
    if (makeEngine && version && cudaCheck)
        return true;
    const char* why = dlerror();
    *error = "the LibTorch engine " + path + " cannot be loaded: " + (why ? why : "it lacks its entry points");
    return false;
}

std::string libraryVersion()
{
    return version();
}

std::unique_ptr<TrainingEngine> make(const NetworkSummary& summary, const TorchEngineOptions& options)
{
    return std::unique_ptr<TrainingEngine>(makeEngine(&summary, &options));
}

bool cudaUsable(std::string* deviceOrWhy)
{
    char text[512] = {};
    const bool usable = cudaCheck(text, sizeof text) != 0;
    *deviceOrWhy = text;
    return usable;
}

} // namespace TorchEngineModule
