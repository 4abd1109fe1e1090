#pragma once

#include <functional>
#include <string>

// Files that another program reads are never left half-written: they are filled under a
// temporary name in the same folder, then renamed over the target. Qt-free, so that the
// trainer executables write their weights the same way; AtomicFile is its Qt face.
class WholeFile
{
public:
    enum class Durability {
        // Flushed to the disk before the rename: for files whose loss would cost work
        // (settings, training lists, exported models).
        Synced,
        // Renamed without waiting for the disk: for files rewritten often that only need to be
        // whole (progress logs, heartbeats, generated images, weights backups).
        Unsynced,
    };

    // Fills the temporary file: given its open descriptor and its path (for writers that open
    // the file themselves). False when the content is not all there.
    using Fill = std::function<bool(int fd, const std::string& temporaryPath)>;

    // Creates the temporary file (permissions as for any new file, or the target's own), lets
    // fill write it, syncs as asked and renames it over path. On failure the temporary file is
    // removed and path is untouched.
    static bool write(const std::string& path, const Fill& fill, Durability durability);
    // The same; on failure error is one line naming the file and the cause ("writing <path>
    // failed: No space left on device"). A fill that fails without an error of its own counts as
    // having run out of room.
    static bool write(const std::string& path, const Fill& fill, Durability durability, std::string* error);
};
