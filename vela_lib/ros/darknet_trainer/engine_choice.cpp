#include "engine_choice.h"

#include "cuda_driver.h"
#include "darknet_engine.h"
#if VELA_HAVE_TORCH_ENGINE
#include "torch_engine_module.h"
#endif

#include <cstdlib>

namespace {

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool loadTorch(std::string* why)
{
#if VELA_HAVE_TORCH_ENGINE
    return TorchEngineModule::load(why);
#else
    *why = "this build has no LibTorch engine";
    return false;
#endif
}

// The first CUDA device's description when the LibTorch engine can train there; otherwise why
// not. The driver is asked first, so that a machine without one does not load LibTorch for it.
bool usableCudaDevice(std::string* deviceOrWhy)
{
    if (!CudaDriver::firstDevice(nullptr, deviceOrWhy) || !loadTorch(deviceOrWhy))
        return false;
#if VELA_HAVE_TORCH_ENGINE
    return TorchEngineModule::cudaUsable(deviceOrWhy);
#else
    return false;
#endif
}

} // namespace

bool EngineChoice::hasTorch()
{
    return VELA_HAVE_TORCH_ENGINE != 0;
}

bool EngineChoice::forExecutable(bool cudaEntry, Plan* plan, std::string* error)
{
    const std::string engine = variable("VELA_TRAINER_ENGINE");
    const std::string device = variable("VELA_TRAINER_DEVICE");
    const std::string amp = variable("VELA_TRAINER_AMP");
    if (!engine.empty() && engine != "darknet" && engine != "torch") {
        *error = "VELA_TRAINER_ENGINE=" + engine + " names no engine; use darknet or torch";
        return false;
    }
    if (!device.empty() && device != "cpu") {
        *error = "VELA_TRAINER_DEVICE=" + device + " names no device; use cpu";
        return false;
    }
    *plan = Plan();
    const bool wantsCuda = cudaEntry && engine != "darknet" && device.empty();
    std::string deviceOrWhy;
    if (wantsCuda && usableCudaDevice(&deviceOrWhy)) {
        plan->kind = Kind::Torch;
        plan->torch.cuda = true;
        plan->device = deviceOrWhy;
    } else {
        const bool torch = engine == "torch" || (cudaEntry && engine.empty() && device == "cpu");
        plan->kind = torch ? Kind::Torch : Kind::Darknet;
        if (wantsCuda)
            plan->warning = "no usable CUDA device (" + deviceOrWhy + "); training on the CPU with the " +
                            (torch ? "torch" : "darknet") + " engine";
    }
    plan->torch.mixedPrecision = plan->torch.cuda ? amp != "0" : amp == "1";
    std::string why;
    if (plan->kind == Kind::Torch && !loadTorch(&why)) {
        // Named by whichever variable asked for the LibTorch engine.
        *error = (engine == "torch" ? "VELA_TRAINER_ENGINE=torch: " : "VELA_TRAINER_DEVICE=cpu: ") + why;
        return false;
    }
    return true;
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

std::unique_ptr<TrainingEngine> EngineChoice::make(const Plan& plan, const NetworkSummary& summary)
{
#if VELA_HAVE_TORCH_ENGINE
    if (plan.kind == Kind::Torch)
        return TorchEngineModule::make(summary, plan.torch);
#endif
    return std::make_unique<DarknetEngine>(summary);
}
