#include "json_record_log.h"

#include "atomic_file.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

QByteArray JsonRecordLog::write(const QString& path, QJsonObject record)
{
    record.insert(QStringLiteral("datatime"),
                  QDateTime::currentDateTime().toString(QString::fromLatin1(kTimeFormat)));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    AtomicFile::write(path, line + '\n', AtomicFile::Durability::Unsynced);
    return line;
}
