#pragma once

#include "augmentation_settings.h"

#include <QString>
#include <QStringList>

#include <functional>

// Turns one source image into the files of the training folder: the image at the generation
// size and, for real classes, its augmented copies at 608 x 608. Touches no widget and shares
// nothing, so worker threads run it side by side.
namespace SampleWriter {

struct Settings
{
    QString trainFolder; // absolute; the files go straight into it
    QString extension;   // ".jpg" or ".png"; it chooses the encoder
    int size = 608;      // side of the re-encoded source image
    bool augment = false;
    AugmentationSettings augmentation;
};

struct Outcome
{
    bool readable = false;
    // List entries ("data_gen/train/<file>") of the files written, source image first.
    QStringList entries;
};

// Reads the source, writes it and its augmented copies (when settings.augment and the class is
// no garbage class), each under a fresh file name carrying label. keepRunning is asked by the
// augmentation between passes; once it says no, the copies end early.
Outcome write(const QString& className, const QString& sourcePath, const QString& label, const Settings& settings,
              const std::function<bool()>& keepRunning);

} // namespace SampleWriter
