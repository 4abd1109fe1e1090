#pragma once

#include <QJsonObject>
#include <QString>

// The one-record progress logs of both programs: a record gets a "datatime" stamp, is printed
// on standard output and replaces the whole log file as one compact JSON line.
class JsonRecordLog
{
public:
    static constexpr const char* kTimeFormat = "yyyy-MM-dd hh:mm:ss";

    // Returns the line written (without its line end). The caller's record is not changed.
    static QByteArray write(const QString& path, QJsonObject record);
};
