#include "engine_choice.h"

#include "darknet_engine.h"
#if VELA_HAVE_TORCH_ENGINE
#include "torch_engine.h"
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
    if (name == "torch" && hasTorch()) {
        *kind = Kind::Torch;
        return true;
    }
    *error = name == "torch" ? "VELA_TRAINER_ENGINE=torch: this build has no LibTorch engine"
                             : "VELA_TRAINER_ENGINE=" + name + " names no engine; use darknet or torch";
    return false;
}

std::string EngineChoice::describe(Kind kind)
{
#if VELA_HAVE_TORCH_ENGINE
    if (kind == Kind::Torch)
        return "torch " + TorchEngine::libraryVersion();
#endif
    (void)kind;
    return "darknet";
}

std::unique_ptr<TrainingEngine> EngineChoice::make(Kind kind, const NetworkSummary& summary)
{
#if VELA_HAVE_TORCH_ENGINE
    if (kind == Kind::Torch)
        return TorchEngine::make(summary);
#endif
    (void)kind;
    return std::make_unique<DarknetEngine>(summary);
}
