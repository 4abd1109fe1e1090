#pragma once

// SIGTERM and SIGINT ask the trainer to stop after the iteration under way; they do not end
// the process themselves.
namespace StopRequest {
void install();
bool requested();
// A stop for a reason of the trainer's own (standard output gone).
void request();
// Forgets a stop, for a process that runs several trainings (tests).
void clear();
} // namespace StopRequest
