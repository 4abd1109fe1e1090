#include "sample_writer.h"

#include "augmentation_enumerator.h"
#include "training_folder.h"

#include <QFile>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <exception>
#include <vector>

namespace SampleWriter {

namespace {

bool startsWith(const QByteArray& bytes, const char* magic, int length)
{
    return bytes.size() >= length && memcmp(bytes.constData(), magic, size_t(length)) == 0;
}

cv::Mat decode(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return cv::Mat();
    try {
        const cv::Mat raw(1, bytes.size(), CV_8UC1, const_cast<char*>(bytes.constData()));
        return cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        // A decoder that gives up by throwing: the file simply is no usable image.
        return cv::Mat();
    }
}

// Walks the JPEG's segments and scans as the decoder does, up to the end-of-image marker:
// true when every segment is whole and the last scan is followed by that marker. What comes
// after it (the video a phone appends to a "motion photo") is no part of the picture.
bool jpegReachesItsEnd(const QByteArray& bytes)
{
    const uchar* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    qint64 at = 2; // past the start-of-image marker
    while (at < size) {
        // Outside a segment the decoder skips stray bytes up to the next marker.
        const void* next = memchr(data + at, 0xFF, size_t(size - at));
        if (!next)
            return false;
        at = static_cast<const uchar*>(next) - data;
        while (at < size && data[at] == 0xFF)
            ++at; // fill bytes
        if (at >= size)
            return false;
        const uchar marker = data[at++];
        if (marker == 0xD9)
            return true;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // stuffed data, or a marker without a segment
        if (at + 2 > size)
            return false;
        const qint64 length = (qint64(data[at]) << 8) | data[at + 1];
        if (length < 2 || at + length > size)
            return false;
        at += length;
        // A scan's entropy-coded data follows its header; only a real marker ends it, and the
        // search for the next one above skips it as it skips stray bytes.
    }
    return false;
}

QString writeFile(const SampleWriter::Settings& settings, const QString& label, const cv::Mat& image)
{
    const QString name = TrainingFolder::imageFileName(TrainingFolder::randomId(), label, settings.extension);
    if (!writeImage(settings.trainFolder + QLatin1Char('/') + name, image))
        return QString();
    return TrainingFolder::trainEntry(name);
}

} // namespace

bool isCutShort(const QByteArray& bytes)
{
    if (startsWith(bytes, "\xFF\xD8", 2))
        return !jpegReachesItsEnd(bytes);
    if (startsWith(bytes, "\x89PNG\r\n\x1A\n", 8))
        return !bytes.contains("IEND");
    return false;
}

cv::Mat readImage(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cv::Mat();
    const QByteArray bytes = file.readAll();
    file.close();
    if (isCutShort(bytes))
        return cv::Mat();
    return decode(bytes);
}

bool writeImage(const QString& path, const cv::Mat& image)
{
    std::vector<uchar> encoded;
    try {
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        if (dot < 0 || !cv::imencode(path.mid(dot).toStdString(), image, encoded))
            return false;
    } catch (const cv::Exception&) {
        return false;
    }
    // Darknet never sees half an image: the bytes go under a temporary name first.
    const QString partial = path + QStringLiteral(".part");
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 size = qint64(encoded.size());
    const bool written = file.write(reinterpret_cast<const char*>(encoded.data()), size) == size;
    file.close();
    if (!written || !QFile::rename(partial, path)) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

Outcome write(const QString& className, const QString& sourcePath, const QString& label, const Settings& settings,
              const std::function<bool()>& keepRunning)
{
    Outcome outcome;
    try {
        cv::Mat source = readImage(sourcePath);
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
