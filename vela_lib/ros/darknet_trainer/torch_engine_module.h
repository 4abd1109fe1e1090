#pragma once

#include "network_cfg_check.h"
#include "torch_engine_options.h"
#include "training_engine.h"

#include <memory>
#include <string>

// The LibTorch engine lives in a module of its own, vela_torch_engine.so beside the trainer
// executables, loaded only when a run asks for that engine: LibTorch's libraries take half a
// second to load and some 80 MiB of memory, which runs on the darknet engine should not pay.
namespace TorchEngineModule {

// Loads the module, once; false with one line saying why it cannot be.
bool load(std::string* error);

// After a successful load(): the library's version ("1.13.0"), a new, unbuilt engine, and
// whether the first CUDA device can train (see TorchEngine::cudaUsable).
std::string libraryVersion();
std::unique_ptr<TrainingEngine> make(const NetworkSummary& summary, const TorchEngineOptions& options);
bool cudaUsable(std::string* deviceOrWhy);

} // namespace TorchEngineModule
