#include "picture_header.h"

#include <QFile>

#include <algorithm>
#include <cctype>

namespace {

// Reads numbers at absolute offsets; a read past the end gives -1, which no size check accepts.
class HeaderReader
{
public:
    explicit HeaderReader(QFile& file) : file(file) {}

    bool littleEndian = false;

    QByteArray bytes(qint64 offset, int count)
    {
        if (offset < 0 || !file.seek(offset))
            return QByteArray();
        const QByteArray data = file.read(count);
        return data.size() == count ? data : QByteArray();
    }
    qint64 number(qint64 offset, int width)
    {
        const QByteArray data = bytes(offset, width);
        if (data.isEmpty())
            return -1;
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const uchar byte = uchar(data.at(littleEndian ? width - 1 - i : i));
            value = (value << 8) | byte;
        }
        return value > quint64(1) << 62 ? -1 : qint64(value);
    }

private:
    QFile& file;
};

QSize sizeOf(qint64 width, qint64 height)
{
    // QSize holds ints; anything larger is far beyond every limit anyway.
    constexpr qint64 kLargest = 0x7fffffff;
    if (width <= 0 || height <= 0)
        return QSize();
    return QSize(int(std::min(width, kLargest)), int(std::min(height, kLargest)));
}

QSize pngSize(HeaderReader& in)
{
    if (in.bytes(12, 4) != "IHDR")
        return QSize();
    return sizeOf(in.number(16, 4), in.number(20, 4));
}

// Walks the segments up to the first start-of-frame header, which carries the size.
QSize jpegSize(HeaderReader& in)
{
    qint64 at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        if (in.number(at, 1) != 0xFF)
            return QSize();
        qint64 marker = in.number(at + 1, 1);
        while (marker == 0xFF) // fill bytes
            marker = in.number(++at + 1, 1);
        if (marker < 0)
            return QSize();
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame)
            return sizeOf(in.number(at + 7, 2), in.number(at + 5, 2));
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const qint64 length = in.number(at + 2, 2);
        if (length < 2)
            return QSize();
        at += 2 + length;
    }
    return QSize();
}

QSize bmpSize(HeaderReader& in)
{
    in.littleEndian = true;
    const qint64 infoSize = in.number(14, 4);
    if (infoSize == 12) // the old OS/2 header: 16-bit sides
        return sizeOf(in.number(18, 2), in.number(20, 2));
    const qint64 width = in.number(18, 4);
    qint64 height = in.number(22, 4);
    if (height > 0x7fffffff)
        height = (qint64(1) << 32) - height; // negative: rows stored top-down
    return width > 0x7fffffff ? QSize() : sizeOf(width, height);
}

// The first image directory's width (tag 256) and length (tag 257), in classic or BigTIFF form.
QSize tiffSize(HeaderReader& in)
{
    in.littleEndian = in.bytes(0, 2) == "II";
    const bool big = in.number(2, 2) == 43;
    const int offsetWidth = big ? 8 : 4;
    const qint64 directory = in.number(big ? 8 : 4, offsetWidth);
    const qint64 entries = in.number(directory, big ? 8 : 2);
    if (directory < 8 || entries <= 0 || entries > 4096)
        return QSize();
    const int entryWidth = big ? 20 : 12;
    qint64 width = -1;
    qint64 height = -1;
    for (qint64 i = 0; i < entries; ++i) {
        const qint64 entry = directory + (big ? 8 : 2) + i * entryWidth;
        const qint64 tag = in.number(entry, 2);
        const qint64 type = in.number(entry + 2, 2);
        const qint64 valueAt = entry + 4 + offsetWidth;
        const qint64 value = type == 3 ? in.number(valueAt, 2) : type == 4 ? in.number(valueAt, 4)
                                                             : type == 16 ? in.number(valueAt, 8) : -1;
        if (tag == 256)
            width = value;
        else if (tag == 257)
            height = value;
    }
    return sizeOf(width, height);
}

QSize webpSize(HeaderReader& in)
{
    in.littleEndian = true;
    const QByteArray chunk = in.bytes(12, 4);
    if (chunk == "VP8X")
        return sizeOf(in.number(24, 3) + 1, in.number(27, 3) + 1);
    if (chunk == "VP8L") {
        const qint64 bits = in.number(21, 4);
        return bits < 0 ? QSize() : sizeOf((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (chunk == "VP8 ")
        return sizeOf(in.number(26, 2) & 0x3FFF, in.number(28, 2) & 0x3FFF);
    return QSize();
}

// "P1" to "P6": blanks and comments, then the width and the height in decimal.
QSize pnmSize(HeaderReader& in)
{
    QByteArray text;
    for (qint64 at = 0; at < 4096; at += 256) {
        const QByteArray piece = in.bytes(at, 256);
        if (piece.isEmpty())
            break;
        text += piece;
    }
    qint64 numbers[2] = {-1, -1};
    int found = 0;
    int i = 2;
    while (found < 2 && i < text.size()) {
        const char c = text.at(i);
        if (c == '#') {
            while (i < text.size() && text.at(i) != '\n')
                ++i;
        } else if (std::isdigit(uchar(c))) {
            qint64 value = 0;
            while (i < text.size() && std::isdigit(uchar(text.at(i))) && value < (qint64(1) << 40))
                value = value * 10 + (text.at(i++) - '0');
            numbers[found++] = value;
            continue;
        } else if (!std::isspace(uchar(c))) {
            return QSize();
        }
        ++i;
    }
    return found == 2 ? sizeOf(numbers[0], numbers[1]) : QSize();
}

} // namespace

QSize PictureHeader::declaredSize(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSize();
    HeaderReader in(file);
    const QByteArray magic = in.bytes(0, 12).leftJustified(12, '\0');
    if (magic.startsWith("\x89PNG\r\n\x1A\n"))
        return pngSize(in);
    if (magic.startsWith("\xFF\xD8"))
        return jpegSize(in);
    if (magic.startsWith("BM"))
        return bmpSize(in);
    if (magic.startsWith(QByteArray("II*\0", 4)) || magic.startsWith(QByteArray("MM\0*", 4))
        || magic.startsWith(QByteArray("II+\0", 4)) || magic.startsWith(QByteArray("MM\0+", 4)))
        return tiffSize(in);
    if (magic.startsWith("RIFF") && magic.mid(8, 4) == "WEBP")
        return webpSize(in);
    if (magic.at(0) == 'P' && magic.at(1) >= '1' && magic.at(1) <= '6')
        return pnmSize(in);
    return QSize();
}
