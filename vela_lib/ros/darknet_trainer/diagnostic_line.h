#pragma once

#include <cstdio>
#include <string>

// The trainer's "warning: ..." and "error: ..." lines on standard error, which the trainer
// window shows in its console as they come.
namespace DiagnosticLine {

inline void warning(const std::string& message)
{
    std::fprintf(stderr, "warning: %s\n", message.c_str());
    std::fflush(stderr);
}

inline void error(const std::string& message)
{
    std::fprintf(stderr, "error: %s\n", message.c_str());
    std::fflush(stderr);
}

} // namespace DiagnosticLine
