#include "sample_writer.h"

#include "augmentation_enumerator.h"
#include "picture_file.h"
#include "training_folder.h"

#include <opencv2/imgproc.hpp>

#include <exception>

namespace SampleWriter {

namespace {

QString writeFile(const SampleWriter::Settings& settings, const QString& label, const cv::Mat& image)
{
    const QString name = TrainingFolder::imageFileName(TrainingFolder::randomId(), label, settings.extension);
    if (!PictureFile::write(settings.trainFolder + QLatin1Char('/') + name, image))
        return QString();
    return TrainingFolder::trainEntry(name);
}

} // namespace

Outcome write(const QString& className, const QString& sourcePath, const QString& label, const Settings& settings,
              const std::function<bool()>& keepRunning)
{
    Outcome outcome;
    try {
        cv::Mat source = PictureFile::readColour(sourcePath, PictureFile::Ending::Whole);
        if (source.empty())
            return outcome;
        outcome.readable = true;

        {
            cv::Mat resized;
            cv::resize(source, resized, cv::Size(settings.size, settings.size), 0, 0, cv::INTER_LINEAR);
            const QString entry = writeFile(settings, label, resized);
            if (!entry.isEmpty())
                outcome.entries << entry;
        }

        if (settings.augment && !TrainingFolder::isGarbageClass(className)) {
            const cv::Size fixed(TrainingFolder::kFixedSide, TrainingFolder::kFixedSide);
            AugmentationEnumerator::enumerate(source, settings.augmentation, keepRunning, [&](cv::Mat variant) {
                cv::Mat resized;
                cv::resize(variant, resized, fixed, 0, 0, cv::INTER_LINEAR);
                variant.release();
                const QString entry = writeFile(settings, label, resized);
                if (!entry.isEmpty())
                    outcome.entries << entry;
            });
        }
    } catch (const std::exception&) {
        // An image too large for memory, or one OpenCV refuses: what was written stays listed,
        // the rest of this image is skipped, and the run goes on with the next one.
    }
    return outcome;
}

} // namespace SampleWriter
