#include "classifier_trainer.h"
#include "diagnostic_line.h"

#include <cstdio>
#include <exception>
#include <string>

// One source for both executables of the package: darknet_cpu_, and darknet_, which the
// trainer window picks when a CUDA device is present. This build has no CUDA trainer, so
// darknet_ runs the same engine and says so; both then name their backend
// ("backend: CPU") before anything else.
int main(int argc, char** argv)
{
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
