#pragma once

#include <QByteArray>
#include <QString>

// Files that another program reads are never left half-written: the bytes go to a temporary
// file in the same folder, which is then renamed over the target.
class AtomicFile
{
public:
    static bool write(const QString& path, const QByteArray& bytes);
    static bool writeText(const QString& path, const QString& text) { return write(path, text.toUtf8()); }
    // Creates an empty file when none exists; an existing file keeps its content (like touch).
    static bool touch(const QString& path);
};
