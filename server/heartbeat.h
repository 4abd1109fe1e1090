#pragma once

#include <QByteArray>
#include <QString>

#include <ctime>

// The server's sign of life: a file rewritten after every consumed command, holding one line
// with the local date and time in the form the date command prints it
// ("Tue Dec  8 14:03:09 UTC 2026"), whatever the user's locale.
class Heartbeat
{
public:
    static QByteArray line(std::time_t when);
    // Rewrites the file whole with the current time; false when it could not be written.
    static bool write(const QString& path);
};
