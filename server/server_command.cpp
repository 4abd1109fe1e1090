#include "server_command.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

// The bytes before the first NUL, without carriage returns and line feeds.
QByteArray commandBytes(const QByteArray& content)
{
    const int nul = content.indexOf('\0');
    QByteArray bytes = nul < 0 ? content : content.left(nul);
    return bytes.replace('\r', QByteArray()).replace('\n', QByteArray());
}

} // namespace

QString ServerCommand::decode(const QByteArray& content)
{
    return QString::fromUtf8(commandBytes(content));
}

bool ServerCommand::readFile(const QString& path, QString& text)
{
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;

    // Line ends do not count towards the length limit, so a command followed by any number of
    // them is still read whole.
    QByteArray content;
    char chunk[65536];
    for (;;) {
        const qint64 got = file.read(chunk, sizeof chunk);
        if (got <= 0)
            break;
        const QByteArray piece(chunk, int(got));
        content += commandBytes(piece);
        if (piece.contains('\0') || content.size() > kMaxTextLength * 4)
            break;
    }
    text = QString::fromUtf8(content);
    if (text.size() > kMaxTextLength)
        text.clear();
    return true;
}

ServerCommand ServerCommand::parse(const QString& text)
{
    ServerCommand command;
    const QStringList parts = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() > 2)
        return command;

    const QString& word = parts.first();
    if (word == QLatin1String("update"))
        command.kind = Update;
    else if (word == QLatin1String("test"))
        command.kind = Test;
    else if (word == QLatin1String("exit") && parts.size() == 1)
        command.kind = Exit;
    if (command.kind != None && parts.size() == 2) {
        command.hasArgument = true;
        command.argument = parts.at(1);
    }
    return command;
}
