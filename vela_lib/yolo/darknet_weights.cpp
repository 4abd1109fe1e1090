#include "darknet_weights.h"

bool DarknetWeights::check(const QByteArray& bytes, qint64 fileSize, qint64 expectedFloats, QString* error)
{
    WeightsHeader header;
    if (bytes.size() < int(WeightsHeader::kVersionBytes) + 4 || fileSize < bytes.size()
        || !header.read(bytes.constData(), size_t(bytes.size())) || bytes.size() < int(header.bytes)) {
        *error = QString("the weights file is too short for a header (%1 bytes)").arg(fileSize);
        return false;
    }
    if (!header.fits(quint64(fileSize), quint64(expectedFloats))) {
        const qint64 actual = fileSize - qint64(header.bytes);
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
    return QByteArray::fromStdString(WeightsHeader::forVersion02(seen));
}
