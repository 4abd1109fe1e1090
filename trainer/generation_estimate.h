#pragma once

#include "sample_writer.h"
#include "training_folder.h"

#include <QString>

// What a generation run is about to write, known before it deletes the old training folder:
// the number of images and their bytes, estimated from the variant count, the sizes and one
// encoded sample. A run whose output cannot fit writes nothing (augmentation settings allow
// some 10^11 variants per picture, which would fill any disk).
namespace GenerationEstimate {

struct Estimate
{
    long long images = 0;  // files of the train folder
    double trainBytes = 0; // into the generation folder
    double tempBytes = 0;  // into the interface folder (noise image, random class)
};

// classes: the project's classes (garbage classes come from unknownClasses and randomClass);
// validPercent of each is held out, written once and never augmented.
Estimate estimate(const TrainingFolder::ClassFiles& classes, const SampleWriter::Settings& settings,
                  int unknownClasses, bool randomClass, int validPercent = 0);

// "<needed> bytes, <free> free" when the estimate does not fit on the file systems of the
// generation folder and of the temporary folder; empty when it fits.
QString shortage(const Estimate& estimate, const QString& genFolder, const QString& tempFolder);

} // namespace GenerationEstimate
