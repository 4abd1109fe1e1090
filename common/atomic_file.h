#pragma once

#include "whole_file.h"

#include <QByteArray>
#include <QString>

// Files that another program reads are never left half-written: the bytes go to a temporary
// file in the same folder, which is then renamed over the target (see WholeFile).
class AtomicFile
{
public:
    using Durability = WholeFile::Durability;

    static bool write(const QString& path, const QByteArray& bytes, Durability durability = Durability::Synced);
    static bool writeText(const QString& path, const QString& text) { return write(path, text.toUtf8()); }
    // The content of source, written whole to target; false when source cannot be read.
    static bool copy(const QString& source, const QString& target, Durability durability = Durability::Synced);
    // Creates an empty file when none exists; an existing file keeps its content (like touch).
    static bool touch(const QString& path);
};
