#include "picture_file.h"

#include "picture_header.h"
#include "png_encoder.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The largest file read: an uncompressed picture of kMaxPixels at 16-bit RGBA.
constexpr qint64 kMaxFileBytes = 8 * PictureFile::kMaxPixels;

// Bytes of memory the kernel could hand out without swapping; -1 when unknown.
qint64 availableMemory()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly))
        return -1;
    while (!meminfo.atEnd()) {
        const QByteArray line = meminfo.readLine();
        if (line.startsWith("MemAvailable:")) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 2)
                return fields.at(1).toLongLong() * 1024;
        }
    }
    return -1;
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

// The header tells the size before anything is decoded: our own reading for the formats a
// camera or a notebook produces, Qt's for the others it knows. What neither knows is left to
// OpenCV, which refuses pictures beyond its own pixel limit.
QSize declaredSize(const QString& path)
{
    const QSize size = PictureHeader::declaredSize(path);
    if (size.isValid())
        return size;
    QImageReader header(path);
    header.setDecideFormatFromContent(true);
    return header.size();
}

cv::Mat decodeColour(const QByteArray& bytes, const QString& path)
{
    cv::Mat image;
    try {
        const cv::Mat raw(1, bytes.size(), CV_8UC1, const_cast<char*>(bytes.constData()));
        image = cv::imdecode(raw, cv::IMREAD_COLOR);
    } catch (const cv::Exception& error) {
        qDebug().noquote() << "picture not decoded:" << path << error.what();
    }
    if (!image.empty() && image.type() != CV_8UC3)
        image.release();
    return image;
}

} // namespace

bool PictureFile::isCutShort(const QByteArray& bytes)
{
    if (bytes.startsWith("\xFF\xD8"))
        return !jpegReachesItsEnd(bytes);
    if (bytes.startsWith("\x89PNG\r\n\x1A\n"))
        return !bytes.contains("IEND");
    return false;
}

qint64 PictureFile::pixelBudget()
{
    const qint64 memory = availableMemory();
    if (memory < 0)
        return kMaxPixels;
    // The decoded BGR picture, the decoder's own rows (up to 16-bit RGBA) and the scaled copy.
    return std::min(kMaxPixels, memory / 12);
}

QString PictureFile::sizeRefusal(const QString& path)
{
    const QSize size = declaredSize(path);
    const qint64 budget = pixelBudget();
    if (!size.isValid() || qint64(size.width()) * size.height() <= budget)
        return QString();
    return QStringLiteral("its header declares %1 x %2 pixels, more than the %3 that may be decoded")
        .arg(size.width())
        .arg(size.height())
        .arg(budget);
}

cv::Mat PictureFile::readColour(const QString& path, Ending ending)
{
    const QFileInfo info(path);
    // Folders and special files (a FIFO would block the reader) are no pictures.
    if (!info.isFile() || info.size() > kMaxFileBytes)
        return cv::Mat();
    const QString tooLarge = sizeRefusal(path);
    if (!tooLarge.isEmpty()) {
        qWarning().noquote() << "picture not decoded:" << path << tooLarge;
        return cv::Mat();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cv::Mat();
    try {
        const QByteArray bytes = file.readAll();
        if (bytes.isEmpty() || (ending == Ending::Whole && isCutShort(bytes)))
            return cv::Mat();
        return decodeColour(bytes, path);
    } catch (const std::bad_alloc&) {
        qDebug().noquote() << "picture does not fit in memory:" << path;
        return cv::Mat();
    }
}

bool PictureFile::write(const QString& path, const cv::Mat& image, AtomicFile::Durability durability)
{
    std::vector<uchar> encoded;
    try {
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        if (dot < 0)
            return false;
        const QString extension = path.mid(dot);
        const bool png = extension.compare(QLatin1String(".png"), Qt::CaseInsensitive) == 0 && PngEncoder::handles(image);
        if (png ? !PngEncoder::encode(image, encoded) : !cv::imencode(extension.toStdString(), image, encoded))
            return false;
    } catch (const cv::Exception& error) {
        qDebug().noquote() << "picture not encoded:" << path << error.what();
        return false;
    }
    return AtomicFile::write(path, QByteArray::fromRawData(reinterpret_cast<const char*>(encoded.data()), int(encoded.size())),
                             durability);
}

cv::Size PictureFile::scaledToLongSide(const cv::Size& size, int longSide)
{
    if (size.width <= 0 || size.height <= 0)
        return cv::Size();
    const double factor = double(longSide) / double(std::max(size.width, size.height));
    const cv::Size scaled(int(size.width * factor), int(size.height * factor));
    if (scaled.width < 1 || scaled.height < 1)
        return cv::Size();
    return scaled;
}
