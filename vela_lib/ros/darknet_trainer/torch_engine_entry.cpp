// The entry points of the module vela_torch_engine.so, found by TorchEngineModule.
#include "torch_engine.h"

extern "C" {

__attribute__((visibility("default"))) TrainingEngine* vela_torch_engine_make(const NetworkSummary* summary)
{
    return new TorchEngine(*summary);
}

__attribute__((visibility("default"))) const char* vela_torch_engine_version()
{
    static const std::string version = TorchEngine::libraryVersion();
    return version.c_str();
}

} // extern "C"
