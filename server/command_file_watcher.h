#pragma once

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QTimer;

// Tells as soon as a command file has appeared or changed and holds still: the folder and the
// file are watched, and once a notification comes the file must keep its size, time and inode
// for kSettleMs before ready() is emitted, so that a driver that writes without a rename is not
// read half-way. Notifications are a shortcut only; a poll timer stays the fallback for file
// systems that send none.
class CommandFileWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSettleMs = 5;

    CommandFileWatcher(const QString& commandFile, QObject* parent = nullptr);

    // False when the environment variable SEERKEEP_POLL_ONLY is set (to anything but empty):
    // the server then only polls, as a benchmark compares.
    static bool wanted();

signals:
    void ready();

private:
    struct Look
    {
        bool exists = false;
        qint64 size = 0;
        qint64 mtimeNs = 0;
        quint64 inode = 0;
        bool operator==(const Look& o) const
        {
            return exists == o.exists && size == o.size && mtimeNs == o.mtimeNs && inode == o.inode;
        }
    };

    Look look() const;
    void changed();
    void settle();

    const QString path;
    QFileSystemWatcher* watcher;
    QTimer* settleTimer;
    Look lastLook;
    quint64 watchedInode = 0; // of the file under watch; 0 for none
};
