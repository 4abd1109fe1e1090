#include "atomic_file.h"

#include <QFile>

namespace {

std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

bool AtomicFile::write(const QString& path, const QByteArray& bytes, Durability durability)
{
    return WholeFile::write(
        localPath(path),
        [&bytes](int fd, const std::string&) { return WholeFile::writeAll(fd, bytes.constData(), size_t(bytes.size())); },
        durability);
}

bool AtomicFile::copy(const QString& source, const QString& target, Durability durability)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const auto copyAll = [&in](int fd, const std::string&) {
        QByteArray chunk;
        while (!(chunk = in.read(1 << 20)).isEmpty()) {
            if (!WholeFile::writeAll(fd, chunk.constData(), size_t(chunk.size())))
                return false;
        }
        return in.error() == QFileDevice::NoError;
    };
    return WholeFile::write(localPath(target), copyAll, durability);
}

bool AtomicFile::touch(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    file.close();
    return true;
}
