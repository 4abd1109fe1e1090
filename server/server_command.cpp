#include "server_command.h"

#include <QStringList>

QString ServerCommand::decode(const QByteArray& content)
{
    const int nul = content.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? content : content.left(nul));
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char('\n'));
    return text;
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
