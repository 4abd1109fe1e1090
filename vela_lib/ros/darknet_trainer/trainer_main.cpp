#include "classifier_trainer.h"
#include "cuda_driver.h"
#include "diagnostic_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>

namespace {

// LibTorch's kernels run on OpenMP threads, which by default spin while they wait for work and
// so take the processor from the batch loader's threads (and from anything else on a busy
// machine): on 2 cores the LibTorch engine trained at a third of its speed. OpenMP reads its
// wait policy from the environment when the process starts, so a run that will likely use that
// engine (VELA_TRAINER_ENGINE=torch; darknet_ with a CUDA device or told to stay on the CPU, unless
// told darknet) starts itself again, same process, with a passive policy, unless the caller chose
// one. libdarknet's own OpenMP loops keep the default.
bool likelyTorch()
{
    const char* engine = std::getenv("VELA_TRAINER_ENGINE");
    if (engine)
        return std::strcmp(engine, "torch") == 0;
    const char* device = std::getenv("VELA_TRAINER_DEVICE");
    return VELA_TRAINER_CUDA_ENTRY != 0 && ((device && std::strcmp(device, "cpu") == 0) ||
                                            CudaDriver::firstDevice(nullptr, nullptr));
}

void passiveOpenMpForTorch(char** argv)
{
    if (std::getenv("OMP_WAIT_POLICY") || !likelyTorch())
        return;
    // By its own path, so that the process keeps its name.
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0 || size_t(length) >= sizeof self - 1)
        return;
    self[length] = '\0';
    setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
    execv(self, argv);
    unsetenv("OMP_WAIT_POLICY"); // not started again: go on as it is
}

} // namespace

// One source for both executables of the package: darknet_cpu_, and darknet_, which the
// trainer window picks when a CUDA device is present and which trains there when it can (see
// EngineChoice). Both name their backend ("backend: CPU" or "backend: CUDA", then the device)
// before anything else they print.
int main(int argc, char** argv)
{
    passiveOpenMpForTorch(argv);
    EngineChoice::Plan plan;
    std::string planError;
    const bool planned = EngineChoice::forExecutable(VELA_TRAINER_CUDA_ENTRY != 0, &plan, &planError);
    if (planned && !plan.warning.empty())
        DiagnosticLine::warning(plan.warning);
    // What this executable trains on; the trainer window reports it as the run's backend.
    std::printf("backend: %s\n", plan.torch.cuda ? "CUDA" : "CPU");
    if (plan.torch.cuda)
        std::printf("device: %s\n", plan.device.c_str());
    std::fflush(stdout);
    TrainerArguments args;
    std::string error;
    if (!ClassifierTrainer::parseArguments(argc, argv, &args, &error)) {
        DiagnosticLine::error(error);
        return 2;
    }
    if (!planned) {
        DiagnosticLine::error(planError);
        return 2;
    }
    // Nothing in the trainer throws on purpose; running out of memory is the one way left, and it
    // must end in an error line rather than an abort.
    try {
        return ClassifierTrainer::run(args, plan);
    } catch (const std::exception& e) {
        DiagnosticLine::error(e.what());
        return 1;
    }
}
