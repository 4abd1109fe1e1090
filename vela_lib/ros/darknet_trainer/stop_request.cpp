#include "stop_request.h"

#include <csignal>

namespace {
volatile std::sig_atomic_t stopFlag = 0;

void onStopSignal(int) { stopFlag = 1; }
} // namespace

namespace StopRequest {

void install()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A closed standard output shows up as a failed write instead, which stops the run cleanly.
    std::signal(SIGPIPE, SIG_IGN);
}

bool requested() { return stopFlag != 0; }

void request() { stopFlag = 1; }

void clear() { stopFlag = 0; }

} // namespace StopRequest
