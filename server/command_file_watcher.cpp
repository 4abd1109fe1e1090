#include "command_file_watcher.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Everything by which a command file comes to be or changes inside the folder, and its opening
// and closing.
constexpr uint32_t kChanges = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO;
constexpr uint32_t kFolderEvents = kChanges | IN_OPEN | IN_CLOSE_NOWRITE;

} // namespace

CommandFileWatcher::CommandFileWatcher(const QString& commandFile, QObject* parent)
    : QObject(parent), path(commandFile), fileName(QFile::encodeName(QFileInfo(commandFile).fileName())),
      settleTimer(new QTimer(this))
{
    settleTimer->setSingleShot(true);
    settleTimer->setInterval(kSettleMs);
    connect(settleTimer, &QTimer::timeout, this, &CommandFileWatcher::settle);

    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (inotifyFd >= 0 && inotify_add_watch(inotifyFd, folder.constData(), kFolderEvents) >= 0) {
        notifier = new QSocketNotifier(inotifyFd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &CommandFileWatcher::readEvents);
    } else if (inotifyFd >= 0) {
        ::close(inotifyFd);
        inotifyFd = -1;
    }
    changed(false);
}

CommandFileWatcher::~CommandFileWatcher()
{
    delete notifier; // before its descriptor goes
    if (inotifyFd >= 0)
        ::close(inotifyFd);
}

bool CommandFileWatcher::wanted()
{
    return qEnvironmentVariableIsEmpty("SEERKEEP_POLL_ONLY");
}

CommandFileWatcher::Look CommandFileWatcher::look() const
{
    Look seen;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return seen;
    seen.exists = true;
    seen.size = qint64(st.st_size);
    seen.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    seen.inode = quint64(st.st_ino);
    return seen;
}

void CommandFileWatcher::readEvents()
{
    bool touched = false;
    bool renamedIn = false;
    alignas(struct inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = ::read(inotifyFd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += ssize_t(sizeof(struct inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                touched = true; // events were lost: look, and wait as for a write
                renamedIn = false;
                openHandles = 0;
            } else if (event->len > 0 && fileName == event->name) {
                // A file made or renamed into place is another file than the one counted.
                if (event->mask & (IN_CREATE | IN_MOVED_TO))
                    openHandles = 0;
                if (event->mask & IN_OPEN)
                    ++openHandles;
                if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                    openHandles = std::max(0, openHandles - 1);
                if (event->mask & kChanges) {
                    touched = true;
                    renamedIn = (event->mask & IN_MOVED_TO) != 0;
                }
            }
        }
    }
    if (touched)
        changed(renamedIn);
}

void CommandFileWatcher::changed(bool renamedIn)
{
    const Look now = look();
    if (!now.exists)
        return;
    if (renamedIn) {
        settleTimer->stop();
        emit ready();
        return;
    }
    if (settleTimer->isActive())
        return; // settle() compares against the look taken when the wait began
    lastLook = now;
    settledMs = 0;
    settleTimer->start();
}

void CommandFileWatcher::settle()
{
    const Look now = look();
    if (!now.exists)
        return;
    if (!(now == lastLook)) {
        lastLook = now;
        settledMs = 0;
        settleTimer->start();
        return;
    }
    // A writer that still has the file open may only be between two writes.
    settledMs += kSettleMs;
    if (openHandles > 0 && settledMs < kOpenWriterMs) {
        settleTimer->start();
        return;
    }
    emit ready();
}
