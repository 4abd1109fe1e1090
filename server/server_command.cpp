#include "server_command.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

QString ServerCommand::decode(const QByteArray& content)
{
    const int nul = content.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? content : content.left(nul));
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    return text;
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
    qint64 textBytes = 0;
    char chunk[65536];
    for (;;) {
        const qint64 got = file.read(chunk, sizeof chunk);
        if (got <= 0)
            break;
        const QByteArray piece(chunk, int(got));
        const int nul = piece.indexOf('\0');
        const QByteArray kept = nul < 0 ? piece : piece.left(nul);
        textBytes += kept.size() - kept.count('\r') - kept.count('\n');
        content += QByteArray(kept).replace('\r', QByteArray()).replace('\n', QByteArray());
        if (nul >= 0 || textBytes > kMaxTextLength * 4)
            break;
    }
    text = decode(content);
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
