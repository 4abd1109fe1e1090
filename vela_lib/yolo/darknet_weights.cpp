#include "darknet_weights.h"

#include <QtEndian>

#include <cstring>

namespace {

template <typename T>
T readLittle(const QByteArray& bytes, int offset)
{
    T value;
    std::memcpy(&value, bytes.constData() + offset, sizeof(T));
    return qFromLittleEndian(value);
}

} // namespace

bool DarknetWeights::check(const QByteArray& bytes, qint64 fileSize, qint64 expectedFloats, QString* error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    if (bytes.size() < 3 * 4 + 4 || fileSize < bytes.size()) {
        *error = QString("the weights file is too short for a header (%1 bytes)").arg(fileSize);
        return false;
    }
    major = readLittle<qint32>(bytes, 0);
    minor = readLittle<qint32>(bytes, 4);
    revision = readLittle<qint32>(bytes, 8);
    const bool wideSeen = major * 10 + minor >= 2;
    headerBytes = wideSeen ? 3 * 4 + 8 : 3 * 4 + 4;
    if (bytes.size() < headerBytes) {
        *error = QString("the weights file is too short for a header (%1 bytes)").arg(fileSize);
        return false;
    }
    seen = wideSeen ? readLittle<quint64>(bytes, 12) : readLittle<quint32>(bytes, 12);
    const qint64 actual = fileSize - headerBytes;
    const qint64 expected = expectedFloats * qint64(sizeof(float));
    if (actual != expected) {
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
    QByteArray bytes(3 * 4 + 8, '\0');
    const qint32 version[3] = {qToLittleEndian<qint32>(0), qToLittleEndian<qint32>(2), qToLittleEndian<qint32>(0)};
    std::memcpy(bytes.data(), version, sizeof(version));
    const quint64 little = qToLittleEndian(seen);
    std::memcpy(bytes.data() + 12, &little, sizeof(little));
    return bytes;
}
