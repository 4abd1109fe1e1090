#include "atomic_file.h"

#include <QFile>
#include <QSaveFile>

bool AtomicFile::write(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    // A target we may not replace directly (for example in a sticky folder) is still written
    // whole; QSaveFile only falls back when the folder itself refuses the temporary file.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool AtomicFile::touch(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    file.close();
    return true;
}
