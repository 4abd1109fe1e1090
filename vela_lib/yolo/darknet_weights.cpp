#include "darknet_weights.h"

bool DarknetWeights::check(const QByteArray& bytes, qint64 fileSize, qint64 expectedFloats, QString* error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    const QString tooShort = QString("the weights file is too short for a header (%1 bytes)").arg(fileSize);
    WeightsHeader read;
    if (bytes.size() < int(WeightsHeader::kVersionBytes) + 4 || fileSize < bytes.size()
        || !read.read(bytes.constData(), size_t(bytes.size())) || bytes.size() < int(read.bytes)) {
        *error = tooShort;
        return false;
    }
    major = read.major;
    minor = read.minor;
    revision = read.revision;
    seen = read.seen;
    headerBytes = int(read.bytes);
    if (!read.fits(quint64(fileSize), quint64(expectedFloats))) {
        const qint64 actual = fileSize - headerBytes;
        const qint64 expected = expectedFloats * qint64(sizeof(float));
        *error = QString("the weights file holds %1 bytes of parameters but the network needs %2 (%3 floats): %4")
                     .arg(actual)
                     .arg(expected)
                     .arg(expectedFloats)
                     .arg(actual < expected ? "truncated" : "too large");
        return false;
    }
    return true;
}

QByteArray DarknetWeights::header(quint64 seen)
{
    const std::string bytes = WeightsHeader::forVersion02(seen);
    return QByteArray(bytes.data(), int(bytes.size()));
}
