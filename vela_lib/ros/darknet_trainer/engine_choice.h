#pragma once

#include "network_cfg_check.h"
#include "torch_engine_options.h"
#include "training_engine.h"

#include <memory>
#include <string>

// Which engine trains, and on what. darknet_cpu_ trains on the CPU with the darknet engine, or
// the one VELA_TRAINER_ENGINE names (darknet or torch). darknet_, which the trainer window starts
// when a CUDA device is there, trains with the LibTorch engine on that device when it is usable,
// and otherwise, saying why in one warning, as darknet_cpu_ does; VELA_TRAINER_ENGINE=darknet
// keeps it on the CPU, and VELA_TRAINER_DEVICE=cpu keeps its LibTorch engine on the CPU. Mixed
// precision is on on CUDA unless VELA_TRAINER_AMP=0, and on the CPU only with VELA_TRAINER_AMP=1.
class EngineChoice
{
public:
    enum class Kind { Darknet, Torch };

    struct Plan
    {
        Kind kind = Kind::Darknet;
        TorchEngineOptions torch;
        std::string device;  // the CUDA device's description; empty on the CPU
        std::string warning; // why a CUDA run trains on the CPU instead; empty otherwise
    };

    // The plan of the executable (cudaEntry: darknet_) in this environment. False with one line
    // when a variable names no engine or device, or the LibTorch engine it needs cannot be loaded.
    static bool forExecutable(bool cudaEntry, Plan* plan, std::string* error);

    // The opening line's text for that engine: "darknet" or "torch <library version>".
    static std::string describe(Kind kind);

    // An engine as planned for the checked configuration, not yet built.
    static std::unique_ptr<TrainingEngine> make(const Plan& plan, const NetworkSummary& summary);

    // Whether this build has the LibTorch engine.
    static bool hasTorch();
};
