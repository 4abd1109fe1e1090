#include "json_record_log.h"

#include "atomic_file.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

QByteArray JsonRecordLog::stamp(QJsonObject record)
{
    record.insert(QStringLiteral("datatime"),
                  QDateTime::currentDateTime().toString(QString::fromLatin1(kTimeFormat)));
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

QByteArray JsonRecordLog::write(const QString& path, QJsonObject record)
{
    const QByteArray line = stamp(record);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    AtomicFile::write(path, line + '\n', AtomicFile::Durability::Unsynced);
    return line;
}
