#include "classifier_trainer.h"
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
// wait policy from the environment when the process starts, so a run on that engine starts
// itself again, same process, with a passive policy, unless the caller chose one.
void passiveOpenMpForTorch(char** argv)
{
    const char* engine = std::getenv("VELA_TRAINER_ENGINE");
    if (!engine || std::strcmp(engine, "torch") != 0 || std::getenv("OMP_WAIT_POLICY"))
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
// trainer window picks when a CUDA device is present. This build has no CUDA trainer, so
// darknet_ runs the same engine and says so; both then name their backend
// ("backend: CPU") before anything else.
int main(int argc, char** argv)
{
    passiveOpenMpForTorch(argv);
#if VELA_TRAINER_CUDA_ENTRY
    std::printf("darknet_: this build has no CUDA trainer; training on the CPU with the same engine\n");
#endif
    // What this executable trains on, before anything else it prints; the trainer window
    // reports it as the run's backend.
    std::printf("backend: CPU\n");
    std::fflush(stdout);
    TrainerArguments args;
    std::string error;
    if (!ClassifierTrainer::parseArguments(argc, argv, &args, &error)) {
        DiagnosticLine::error(error);
        return 2;
    }
    // Nothing in the trainer throws on purpose; running out of memory is the one way left, and it
    // must end in an error line rather than an abort.
    try {
        return ClassifierTrainer::run(args);
    } catch (const std::exception& e) {
        DiagnosticLine::error(e.what());
        return 1;
    }
}
