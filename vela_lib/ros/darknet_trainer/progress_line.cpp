#include "progress_line.h"

#include <cinttypes>
#include <cstdio>

namespace ProgressLine {

std::string format(const IterationReport& r)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "iteration[%" PRId64 "] %" PRId64 ", %.3f: %f, %f avg, %f acc, %f rate, %f seconds, %" PRIu64 " images",
                  r.iteration, r.iteration, r.epoch, r.loss, r.averageLoss, r.accuracy, r.rate, r.seconds, r.images);
    return line;
}

} // namespace ProgressLine
