#include "instance_lock.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstanceLock::InstanceLock(const QString& path) : lockPath(path) {}

InstanceLock::~InstanceLock()
{
    release();
}

bool InstanceLock::tryLock()
{
    if (fd >= 0)
        return true;
    taken = false;
    // Close-on-exec: a child (the darknet trainer) must not keep the lock of its parent.
    const int opened = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (opened < 0)
        return false;
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        taken = errno == EWOULDBLOCK;
        ::close(opened);
        return false;
    }
    fd = opened;
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The id is only for messages; the lock holds without it.
    }
    return true;
}

void InstanceLock::release()
{
    if (fd < 0)
        return;
    ::close(fd); // closing the only descriptor drops the lock
    fd = -1;
}

qint64 InstanceLock::holder() const
{
    QFile file(lockPath);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readLine(32).trimmed().toLongLong();
}
