#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// Tells as soon as a command file is there to be read: the folder is watched (inotify), and a
// file renamed into place, which its writer finished beforehand, is ready at once; one created
// or written in place is ready once nobody has it open any more, or, for a writer that keeps it
// open, once it has kept its size, time and inode for kSettleMs (kOpenWriterMs while it is
// open), so that a driver that writes without a rename is not read half-way however slowly it
// writes. Notifications are a shortcut only; a poll timer stays the fallback for file systems
// that send none.
class CommandFileWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSettleMs = 5;
    static constexpr int kOpenWriterMs = 1000;

    CommandFileWatcher(const QString& commandFile, QObject* parent = nullptr);
    ~CommandFileWatcher() override;

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
    void readEvents();
    // renamedIn: the latest event on the file was its rename into place.
    void changed(bool renamedIn);
    void settle();

    const QString path;
    const QByteArray fileName; // as the folder's events name it
    int inotifyFd = -1;
    QSocketNotifier* notifier = nullptr;
    QTimer* settleTimer;
    Look lastLook;
    int openHandles = 0; // opens of the file not yet closed, as the folder's events tell
    qint64 settledMs = 0; // how long the file has kept its look
};
