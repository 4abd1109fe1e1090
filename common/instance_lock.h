#pragma once

#include <QString>

// An exclusive lock on a file, held from tryLock() until release() or the end of the object. The
// kernel drops it when the process ends, however it ends, so no stale lock outlives its holder.
// The holder writes its process id into the file, for the message of whoever finds it taken.
class InstanceLock
{
public:
    explicit InstanceLock(const QString& path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another process holds the lock, or when the file cannot be opened
    // (takenByAnother() tells which).
    bool tryLock();
    bool takenByAnother() const { return taken; }
    void release();
    bool isHeld() const { return fd >= 0; }
    // The process id that the holder wrote; 0 when unknown.
    qint64 holder() const;
    QString path() const { return lockPath; }

private:
    const QString lockPath;
    int fd = -1;
    bool taken = false;
};
