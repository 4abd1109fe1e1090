#include "picture_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <new>

namespace {

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

} // namespace

qint64 PictureFile::pixelBudget()
{
    const qint64 memory = availableMemory();
    if (memory < 0)
        return kMaxPixels;
    // The decoded BGR picture, the decoder's own rows (up to 16-bit RGBA) and the scaled copy.
    return std::min(kMaxPixels, memory / 12);
}

cv::Mat PictureFile::readColour(const QString& path)
{
    const QFileInfo info(path);
    // Folders and special files (a FIFO would block the reader) are no pictures.
    if (!info.isFile())
        return cv::Mat();

    // The header tells the size before anything is decoded. Formats that Qt cannot read here
    // are left to OpenCV, which refuses pictures beyond its own pixel limit.
    QImageReader header(path);
    header.setDecideFormatFromContent(true);
    const QSize size = header.size();
    if (size.isValid() && qint64(size.width()) * size.height() > pixelBudget()) {
        qDebug().noquote() << "picture too large to decode:" << path << size.width() << "x" << size.height();
        return cv::Mat();
    }

    cv::Mat image;
    try {
        image = cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception& error) {
        qDebug().noquote() << "picture not decoded:" << path << error.what();
        image.release();
    } catch (const std::bad_alloc&) {
        qDebug().noquote() << "picture does not fit in memory:" << path;
        image.release();
    }
    if (!image.empty() && image.type() != CV_8UC3)
        image.release();
    return image;
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
