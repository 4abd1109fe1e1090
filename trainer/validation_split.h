#pragma once

#include "training_folder.h"

#include <QString>

#include <random>

// The held-out part of a generation: per project class, a share of its source images is kept
// out of training (never augmented, never balanced) and written once into data_gen/test, so
// the trainer can measure accuracy on pictures it never learnt from.
namespace ValidationSplit {

constexpr int kMaxPercent = 50;
constexpr const char* kTestFolder = "test";
constexpr const char* kTestEntryPrefix = "data_gen/test";

struct Parts
{
    TrainingFolder::ClassFiles train;
    TrainingFolder::ClassFiles held;
};

// Images held out of a class of n: round(n * percent / 100), at least one when n >= 2, and
// always at least one left for training.
int heldOutCount(int n, int percent);

// Splits every project class by heldOutCount, the held images chosen by rng; garbage classes
// go whole to training. percent <= 0 keeps everything for training.
Parts split(const TrainingFolder::ClassFiles& classes, int percent, std::mt19937& rng);

// "data_gen/test/" + the file name of a written entry.
QString testEntry(const QString& writtenEntry);

} // namespace ValidationSplit
