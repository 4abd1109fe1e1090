#include "blank_png.h"

#include <QtEndian>

#include <array>

namespace testutil {

namespace {

quint32 crc32(const QByteArray& bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xffffffffu;
    for (char byte : bytes)
        c = table[(c ^ quint8(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, reinterpret_cast<uchar*>(bytes.data()));
    return bytes;
}

QByteArray chunk(const char* type, const QByteArray& payload)
{
    const QByteArray typed = QByteArray(type) + payload;
    return bigEndian(quint32(payload.size())) + typed + bigEndian(crc32(typed));
}

} // namespace

QByteArray blankPng(int width, int height)
{
    QByteArray header = bigEndian(quint32(width)) + bigEndian(quint32(height));
    header += char(1); // bit depth
    header += char(0); // greyscale
    header += QByteArray(3, '\0'); // deflate, adaptive filtering, no interlace

    // Each row: filter byte 0 and (width + 7) / 8 zero bytes. qCompress gives a zlib stream
    // behind a 4-byte length, which PNG does not want.
    const QByteArray raw(qsizetype(height) * (1 + (width + 7) / 8), '\0');
    const QByteArray deflated = qCompress(raw, 9).mid(4);

    const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    return signature + chunk("IHDR", header) + chunk("IDAT", deflated) + chunk("IEND", QByteArray());
}

} // namespace testutil
