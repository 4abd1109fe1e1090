#include "state_values.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace {

QString asJson(const QJsonValue& value)
{
    // A one-element array is the shortest way to have Qt write any value as JSON text.
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

} // namespace

int StateValues::integer(const char* key, int current, int minimum, int maximum)
{
    const QJsonValue value = state.value(QLatin1String(key));
    if (value.isUndefined())
        return 0;
    double number = 0;
    bool ok = value.isDouble();
    if (ok)
        number = value.toDouble();
    else if (value.isString())
        number = value.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number) || number != std::floor(number)) {
        warn(key, value, QString::number(current), QStringLiteral("is not a whole number"));
        return current;
    }
    if (number < minimum || number > maximum) {
        const int used = number < minimum ? minimum : maximum;
        warn(key, value, QString::number(used),
             QStringLiteral("is outside %1 to %2").arg(minimum).arg(maximum));
        return used;
    }
    return int(number);
}

bool StateValues::flag(const char* key, bool current)
{
    const QJsonValue value = state.value(QLatin1String(key));
    if (value.isUndefined())
        return false;
    if (value.isBool())
        return value.toBool();
    warn(key, value, current ? QStringLiteral("true") : QStringLiteral("false"), QStringLiteral("is not true or false"));
    return current;
}

void StateValues::warn(const char* key, const QJsonValue& value, const QString& used, const QString& problem)
{
    warnings << QStringLiteral("%1: %2 %3; %4 is used").arg(QLatin1String(key), asJson(value), problem, used);
}
