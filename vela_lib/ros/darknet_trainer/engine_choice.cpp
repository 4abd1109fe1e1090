#include "engine_choice.h"

#include "darknet_engine.h"
#if VELA_HAVE_TORCH_ENGINE
#include "torch_engine_module.h"
#endif

#include <cstdlib>

bool EngineChoice::hasTorch()
{
    return VELA_HAVE_TORCH_ENGINE != 0;
}

bool EngineChoice::fromEnvironment(Kind* kind, std::string* error)
{
    const char* value = std::getenv("VELA_TRAINER_ENGINE");
    const std::string name = value ? value : "";
    if (name.empty() || name == "darknet") {
        *kind = Kind::Darknet;
        return true;
    }
    if (name != "torch") {
        *error = "VELA_TRAINER_ENGINE=" + name + " names no engine; use darknet or torch";
        return false;
    }
    *kind = Kind::Torch;
#if VELA_HAVE_TORCH_ENGINE
    std::string why;
    if (TorchEngineModule::load(&why))
        return true;
    *error = "VELA_TRAINER_ENGINE=torch: " + why;
#else
    *error = "VELA_TRAINER_ENGINE=torch: this build has no LibTorch engine";
#endif
    return false;
}

std::string EngineChoice::describe(Kind kind)
{
#if VELA_HAVE_TORCH_ENGINE
    if (kind == Kind::Torch)
        return "torch " + TorchEngineModule::libraryVersion();
#endif
    (void)kind;
    return "darknet";
}

std::unique_ptr<TrainingEngine> EngineChoice::make(Kind kind, const NetworkSummary& summary)
{
#if VELA_HAVE_TORCH_ENGINE
    if (kind == Kind::Torch)
        return TorchEngineModule::make(summary);
#endif
    (void)kind;
    return std::make_unique<DarknetEngine>(summary);
}
