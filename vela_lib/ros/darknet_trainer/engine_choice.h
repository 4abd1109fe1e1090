#pragma once

#include "network_cfg_check.h"
#include "training_engine.h"

#include <memory>
#include <string>

// Which engine trains: VELA_TRAINER_ENGINE=darknet or torch; the darknet engine without it.
class EngineChoice
{
public:
    enum class Kind { Darknet, Torch };

    // False with one line when the variable names no engine of this build (or the LibTorch
    // engine's module cannot be loaded).
    static bool fromEnvironment(Kind* kind, std::string* error);

    // The opening line's text for that engine: "darknet" or "torch <library version>".
    static std::string describe(Kind kind);

    // An engine of that kind for the checked configuration, not yet built.
    static std::unique_ptr<TrainingEngine> make(Kind kind, const NetworkSummary& summary);

    // Whether this build has the LibTorch engine.
    static bool hasTorch();
};
