// The entry points of the module vela_torch_engine.so, found by TorchEngineModule.
#include "torch_engine.h"

#include <cstring>

extern "C" {

__attribute__((visibility("default"))) TrainingEngine* vela_torch_engine_make(const NetworkSummary* summary,
                                                                             const TorchEngineOptions* options)
{
    return new TorchEngine(*summary, *options);
}

__attribute__((visibility("default"))) const char* vela_torch_engine_version()
{
    static const std::string version = TorchEngine::libraryVersion();
    return version.c_str();
}

// 1 with the device's description in text, or 0 with why it cannot train there.
__attribute__((visibility("default"))) int vela_torch_engine_cuda_usable(char* text, size_t size)
{
    std::string answer;
    const bool usable = TorchEngine::cudaUsable(&answer);
    if (size > 0) {
        std::strncpy(text, answer.c_str(), size - 1);
        text[size - 1] = '\0';
    }
    return usable ? 1 : 0;
}

} // extern "C"
