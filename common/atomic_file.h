#pragma once

#include <QByteArray>
#include <QString>

// Files that another program reads are never left half-written: the bytes go to a temporary
// file in the same folder, which is then renamed over the target.
class AtomicFile
{
public:
    enum class Durability {
        // Flushed to the disk before the rename: for files whose loss would cost work
        // (settings, training lists, exported models).
        Synced,
        // Renamed without waiting for the disk: for records that are rewritten many times a
        // second and only need to be whole (progress logs, heartbeats).
        Unsynced,
    };

    static bool write(const QString& path, const QByteArray& bytes, Durability durability = Durability::Synced);
    static bool writeText(const QString& path, const QString& text) { return write(path, text.toUtf8()); }
    // Creates an empty file when none exists; an existing file keeps its content (like touch).
    static bool touch(const QString& path);
};
