#pragma once

#include <QByteArray>
#include <QString>

// One command of the driver's command file. The file holds a single line: a word, optionally a
// comma and an argument passed on exactly as written ("update,/models/a b", "test", "exit").
struct ServerCommand
{
    enum Kind { None, Update, Test, Exit };

    Kind kind = None;
    // Set when the command came with its comma; the argument may then be empty.
    bool hasArgument = false;
    QString argument;

    // Text beyond this many characters (line ends aside) cannot be a command: the path
    // limits of the file system are far smaller. Reading stops there.
    static constexpr int kMaxTextLength = 1 << 20;

    // The text of a command file: UTF-8 up to the first NUL, every carriage return and line
    // feed removed wherever it occurs, nothing else trimmed.
    static QString decode(const QByteArray& content);
    // Reads the command file at path, in pieces up to its first NUL, and decodes it into text.
    // False when there is no command to consume: no such file, no regular file (a FIFO would
    // block the open) or unreadable. A text longer than kMaxTextLength is no command: text is
    // then empty, and true says the file is consumed all the same.
    static bool readFile(const QString& path, QString& text);
    // What the decoded text asks for: the text is split at every comma, keeping empty parts.
    static ServerCommand parse(const QString& text);
};
