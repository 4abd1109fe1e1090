#pragma once

#include <QString>

// A training budget in epochs, written into a training configuration. Every template's schedule
// is set for ImageNet (hundreds of thousands of iterations), so on a small dataset its learning
// rate would never leave its start value; fitted, the template's own policy runs its whole course
// within the budget and the trainer ends by itself at max_batches.
namespace EpochSchedule {

// Runs longer than this are taken for a mistake.
constexpr qint64 kMostIterations = 10000000;

// The iterations that `epochs` passes over `trainingImages` take at `batch` images each:
// ceil(epochs x trainingImages / batch); 0 when any of them is not positive.
qint64 iterations(int epochs, qint64 trainingImages, int batch);

// The configuration text with the schedule of its [net] section fitted to `iterations`:
// max_batches set (or added), steps and step scaled by the same factor as max_batches, an
// exponential policy's gamma chosen to reach the template's final rate, and burn_in at most a
// tenth of the run. Poly then decays to zero at the end. Every other line stays as it was.
QString fit(const QString& cfgText, qint64 iterations);

} // namespace EpochSchedule
