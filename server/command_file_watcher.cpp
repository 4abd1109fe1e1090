#include "command_file_watcher.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <sys/stat.h>

CommandFileWatcher::CommandFileWatcher(const QString& commandFile, QObject* parent)
    : QObject(parent), path(commandFile), watcher(new QFileSystemWatcher(this)), settleTimer(new QTimer(this))
{
    settleTimer->setSingleShot(true);
    settleTimer->setInterval(kSettleMs);
    connect(settleTimer, &QTimer::timeout, this, &CommandFileWatcher::settle);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &CommandFileWatcher::changed);
    connect(watcher, &QFileSystemWatcher::fileChanged, this, &CommandFileWatcher::changed);
    watcher->addPath(QFileInfo(path).absolutePath());
    changed();
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

void CommandFileWatcher::changed()
{
    // A new file under the same name is another inode: the watch moves to it. Writes into the
    // file are only told through a watch on the file itself.
    const Look now = look();
    if (!now.exists || now.inode != watchedInode) {
        watcher->removePath(path);
        watchedInode = 0;
    }
    if (!now.exists)
        return;
    if (watchedInode == 0 && watcher->addPath(path))
        watchedInode = now.inode;
    if (settleTimer->isActive())
        return; // settle() compares against the look taken when the wait began
    lastLook = now;
    settleTimer->start();
}

void CommandFileWatcher::settle()
{
    const Look now = look();
    if (!now.exists)
        return;
    if (!(now == lastLook)) {
        lastLook = now;
        settleTimer->start();
        return;
    }
    emit ready();
}
