#include "sample_writer.h"

#include "augmentation_enumerator.h"
#include "picture_file.h"
#include "training_folder.h"

#include <opencv2/imgproc.hpp>

#include <exception>

namespace SampleWriter {

namespace {

// The image scaled to side x side and written under a fresh name; its list entry, or "" when it
// could not be written. The caller's pixels are let go of before the file is written.
QString writeScaled(const Settings& settings, const QString& label, cv::Mat image, int side)
{
    cv::Mat resized;
    cv::resize(image, resized, cv::Size(side, side), 0, 0, cv::INTER_LINEAR);
    image.release();
    const QString name = TrainingFolder::imageFileName(TrainingFolder::randomId(), label, settings.extension);
    if (!PictureFile::write(settings.trainFolder + QLatin1Char('/') + name, resized))
        return QString();
    return TrainingFolder::trainEntry(name);
}

} // namespace

Outcome write(const QString& className, const QString& sourcePath, const QString& label, const Settings& settings,
              const std::function<bool()>& keepRunning)
{
    Outcome outcome;
    const auto keep = [&outcome](const QString& entry) {
        if (!entry.isEmpty())
            outcome.entries << entry;
    };
    try {
        cv::Mat source = PictureFile::readColour(sourcePath, PictureFile::Ending::Whole);
        if (source.empty())
            return outcome;
        outcome.readable = true;
        keep(writeScaled(settings, label, source, settings.size));
        if (settings.augment && !TrainingFolder::isGarbageClass(className)) {
            AugmentationEnumerator::enumerate(source, settings.augmentation, keepRunning, [&](cv::Mat variant) {
                keep(writeScaled(settings, label, std::move(variant), TrainingFolder::kFixedSide));
            });
        }
    } catch (const std::exception&) {
        // An image too large for memory, or one OpenCV refuses: what was written stays listed,
        // the rest of this image is skipped, and the run goes on with the next one.
    }
    return outcome;
}

} // namespace SampleWriter
