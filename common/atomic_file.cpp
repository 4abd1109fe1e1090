#include "atomic_file.h"

#include <QFile>

namespace {

// Writes through fill, given the temporary file opened as a QFile.
bool writeWhole(const QString& path, const std::function<bool(QFile&)>& fill, AtomicFile::Durability durability)
{
    const auto fillFile = [&fill](int fd, const std::string&) {
        QFile file;
        return file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle) && fill(file) && file.flush();
    };
    return WholeFile::write(QFile::encodeName(path).toStdString(), fillFile, durability);
}

} // namespace

bool AtomicFile::write(const QString& path, const QByteArray& bytes, Durability durability)
{
    return writeWhole(path, [&bytes](QFile& file) { return file.write(bytes) == bytes.size(); }, durability);
}

bool AtomicFile::copy(const QString& source, const QString& target, Durability durability)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const auto copyAll = [&in](QFile& out) {
        QByteArray chunk;
        while (!(chunk = in.read(1 << 20)).isEmpty()) {
            if (out.write(chunk) != chunk.size())
                return false;
        }
        return in.error() == QFileDevice::NoError;
    };
    return writeWhole(target, copyAll, durability);
}

bool AtomicFile::touch(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    file.close();
    return true;
}
