#pragma once

#include "engine_choice.h"

#include <string>

// The command line "classifier train <data file> <cfg> [<weights>] [-patience N] [-dont_show]".
struct TrainerArguments
{
    std::string dataFile;
    std::string cfgFile;
    std::string weights; // empty: train from scratch
    int patience = 0;    // evaluations in a row without a new best that end the run; 0: never
};

// darknet's classifier training: checks every input before any engine sees it, builds the
// network on the chosen engine, starts it from the given weights, then trains batch after batch
// on threaded, augmented data until max_batches or a stop signal, printing one progress line per
// iteration and keeping <backup>/<cfg name>.backup.
class ClassifierTrainer
{
public:
    // False with one line in error when the words do not form that command line.
    static bool parseArguments(int argc, const char* const* argv, TrainerArguments* args, std::string* error);

    // Prints the opening "engine: ..." line and trains as planned; returns the process exit code.
    // Errors go to standard error as one line each.
    static int run(const TrainerArguments& args, const EngineChoice::Plan& plan);
};
