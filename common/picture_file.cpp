#include "picture_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
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

bool isCutShort(const QByteArray& bytes)
{
    if (bytes.startsWith("\xFF\xD8")) {
        // Neither marker can occur inside entropy-coded data, so the image ends with an
        // end-of-image marker after its last scan.
        const int lastScan = bytes.lastIndexOf(QByteArray("\xFF\xDA", 2));
        return bytes.lastIndexOf(QByteArray("\xFF\xD9", 2)) < lastScan || lastScan < 0;
    }
    if (bytes.startsWith("\x89PNG\r\n\x1A\n"))
        return !bytes.contains("IEND");
    return false;
}

// The header tells the size before anything is decoded. Formats that Qt cannot read here are
// left to OpenCV, which refuses pictures beyond its own pixel limit.
bool tooLargeToDecode(const QString& path)
{
    QImageReader header(path);
    header.setDecideFormatFromContent(true);
    const QSize size = header.size();
    if (!size.isValid() || qint64(size.width()) * size.height() <= PictureFile::pixelBudget())
        return false;
    qDebug().noquote() << "picture too large to decode:" << path << size.width() << "x" << size.height();
    return true;
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

qint64 PictureFile::pixelBudget()
{
    const qint64 memory = availableMemory();
    if (memory < 0)
        return kMaxPixels;
    // The decoded BGR picture, the decoder's own rows (up to 16-bit RGBA) and the scaled copy.
    return std::min(kMaxPixels, memory / 12);
}

cv::Mat PictureFile::readColour(const QString& path, Ending ending)
{
    const QFileInfo info(path);
    // Folders and special files (a FIFO would block the reader) are no pictures.
    if (!info.isFile() || info.size() > kMaxFileBytes || tooLargeToDecode(path))
        return cv::Mat();
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
        if (dot < 0 || !cv::imencode(path.mid(dot).toStdString(), image, encoded))
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
