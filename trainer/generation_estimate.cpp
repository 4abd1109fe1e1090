#include "generation_estimate.h"

#include "augmentation_enumerator.h"
#include "picture_file.h"
#include "random_img.h"
#include "validation_split.h"

#include <QStorageInfo>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace GenerationEstimate {

namespace {

constexpr double kBlock = 4096;         // files take whole blocks
constexpr double kListBytesPerImage = 200; // its lines in train.list and test.list
constexpr int kProbedSources = 10;      // sources tried for a first readable sample

double onDisk(double bytes) { return std::ceil(bytes / kBlock) * kBlock; }

double encodedBytes(const cv::Mat& image, const QString& extension, int side)
{
    if (image.empty())
        return 0;
    cv::Mat sized;
    cv::resize(image, sized, cv::Size(side, side), 0, 0, cv::INTER_LINEAR);
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(extension.toStdString(), sized, bytes))
            return 0;
    } catch (const cv::Exception&) {
        return 0;
    }
    return onDisk(double(bytes.size()));
}

cv::Mat firstReadableSource(const TrainingFolder::ClassFiles& classes)
{
    int tried = 0;
    for (const QList<QFileInfo>& files : classes) {
        for (const QFileInfo& file : files) {
            const cv::Mat image = PictureFile::readColour(file.absoluteFilePath(), PictureFile::Ending::Whole);
            if (!image.empty() || ++tried >= kProbedSources)
                return image;
        }
    }
    return cv::Mat();
}

// Bytes free for this user on the file system holding folder.
qint64 freeBytes(const QString& folder)
{
    // Test seam: VELA_TEST_FREE_BYTES stands for the free space of every file system, so that a
    // test can play a full disk without filling one.
    bool given = false;
    const qint64 injected = qEnvironmentVariable("VELA_TEST_FREE_BYTES").toLongLong(&given);
    if (given)
        return injected;
    return QStorageInfo(folder).bytesAvailable();
}

} // namespace

Estimate estimate(const TrainingFolder::ClassFiles& classes, const SampleWriter::Settings& settings,
                  int unknownClasses, bool randomClass, int validPercent)
{
    Estimate e;
    const long long variants = settings.augment ? AugmentationEnumerator::count(settings.augmentation) : 0;
    const cv::Mat sample = firstReadableSource(classes);
    const double sourceBytes = encodedBytes(sample, settings.extension, settings.size);
    const double variantBytes = encodedBytes(sample, settings.extension, TrainingFolder::kFixedSide);
    for (auto it = classes.cbegin(); it != classes.cend(); ++it) {
        const bool garbage = TrainingFolder::isGarbageClass(it.key());
        const long long copies = garbage ? 0 : variants;
        const int held = garbage ? 0 : ValidationSplit::heldOutCount(it.value().size(), validPercent);
        const double sources = double(it.value().size() - held);
        e.images += held + (it.value().size() - held) * (1 + copies);
        e.trainBytes += (sources + held) * sourceBytes + sources * double(copies) * variantBytes;
    }
    if (unknownClasses > 0) {
        cv::Mat noise(TrainingFolder::kFixedSide, TrainingFolder::kFixedSide, CV_8UC3);
        cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
        e.images += unknownClasses;
        e.trainBytes += unknownClasses * encodedBytes(noise, settings.extension, settings.size);
        e.tempBytes += encodedBytes(noise, settings.extension, TrainingFolder::kFixedSide);
    }
    if (randomClass) {
        RandomImg painter;
        const cv::Mat garbage = painter.makeGarbageImage();
        const int images = TrainingFolder::kRandomClassImages;
        e.images += images;
        e.trainBytes += images * encodedBytes(garbage, settings.extension, settings.size);
        e.tempBytes += images * encodedBytes(garbage, settings.extension, garbage.cols);
    }
    e.trainBytes += double(e.images) * kListBytesPerImage;
    return e;
}

QString shortage(const Estimate& estimate, const QString& genFolder, const QString& tempFolder)
{
    const auto message = [](double needed, qint64 free) {
        return QStringLiteral("%1 bytes, %2 free").arg(needed, 0, 'f', 0).arg(free);
    };
    const qint64 genFree = freeBytes(genFolder);
    const bool oneFileSystem = QStorageInfo(genFolder).rootPath() == QStorageInfo(tempFolder).rootPath() &&
                               QStorageInfo(genFolder).device() == QStorageInfo(tempFolder).device();
    if (oneFileSystem) {
        const double needed = estimate.trainBytes + estimate.tempBytes;
        return needed > double(genFree) ? message(needed, genFree) : QString();
    }
    if (estimate.trainBytes > double(genFree))
        return message(estimate.trainBytes, genFree);
    const qint64 tempFree = freeBytes(tempFolder);
    if (estimate.tempBytes > double(tempFree))
        return message(estimate.tempBytes, tempFree);
    return QString();
}

} // namespace GenerationEstimate
