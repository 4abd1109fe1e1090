#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Reads the values of a saved dialog state as a notebook may have written them. A missing key
// reads as it always has (0, false); a number may also come as a string ("608"); a value of any
// other type keeps the caller's current value and is named in a warning, as is a number outside
// the range the setting takes.
class StateValues
{
public:
    explicit StateValues(const QJsonObject& state) : state(state) {}

    int integer(const char* key, int current, int minimum, int maximum);
    bool flag(const char* key, bool current);
    // Adds the warning "<key>: <value as JSON> <problem>; <used> is used".
    void warn(const char* key, const QJsonValue& value, const QString& used, const QString& problem);

    QStringList warnings;

private:
    const QJsonObject state;
};
