#include "whole_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A fresh file beside path, created with the default permissions (0666 less the umask); -1 on
// failure. The name is hidden, so that folder listings do not pick it up half-written.
int createTemporary(const std::string& path, std::string* temporary)
{
    static std::atomic<unsigned> counter(0);
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = folder + "." + name + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + ".tmp";
        const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

bool WholeFile::write(const std::string& path, const Fill& fill, Durability durability)
{
    std::string ignored;
    return write(path, fill, durability, &ignored);
}

bool WholeFile::write(const std::string& path, const Fill& fill, Durability durability, std::string* error)
{
    int cause = 0;
    // The first step that fails gives the cause.
    const auto step = [&cause](bool ok, int fallback) {
        if (!ok && cause == 0)
            cause = errno ? errno : fallback;
        return ok;
    };
    std::string temporary;
    const int fd = createTemporary(path, &temporary);
    if (!step(fd >= 0, EIO)) {
        *error = "writing " + path + " failed: " + std::strerror(cause);
        return false;
    }
    errno = 0;
    bool ok = step(fill(fd, temporary), ENOSPC);
    // A file replaced keeps its permissions, as an edit in place would.
    struct stat existing;
    ok = ok && step(stat(path.c_str(), &existing) != 0 || fchmod(fd, existing.st_mode & 07777) == 0, EIO);
    ok = ok && step(durability == Durability::Unsynced || fsync(fd) == 0, EIO);
    ok = step(close(fd) == 0, EIO) && ok;
    ok = ok && step(std::rename(temporary.c_str(), path.c_str()) == 0, EIO);
    if (!ok) {
        std::remove(temporary.c_str());
        *error = "writing " + path + " failed: " + std::strerror(cause);
    }
    return ok;
}
