#include "training_output_parser.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// The last comma-separated piece of a line's part before marker, blanks removed, as a number.
double lastPieceBefore(const QString& line, const QString& marker)
{
    QString head = line.left(line.indexOf(marker));
    head.remove(QLatin1Char(' '));
    return head.split(QLatin1Char(',')).last().toDouble();
}

// The rest of the first line that starts with marker, trimmed; empty when none does.
QString textAfter(const QString& chunk, QLatin1String marker)
{
    for (const QString& line : chunk.split(QLatin1Char('\n'))) {
        if (line.startsWith(marker))
            return line.mid(marker.size()).trimmed();
    }
    return QString();
}

void readIteration(const QString& chunk, TrainingOutputReading& reading)
{
    const QStringList pieces = chunk.split(QLatin1Char(']'), Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return;
    const QStringList inner = pieces.first().split(QLatin1Char('['), Qt::SkipEmptyParts);
    if (inner.size() < 2)
        return;
    reading.hasIteration = true;
    reading.iterationText = inner.at(1);
    reading.iteration = reading.iterationText.toLongLong();
}

void readValidation(const QString& chunk, TrainingOutputReading& reading)
{
    static const QRegularExpression line(QStringLiteral("^valid\\[(\\d+)\\] top1 ([0-9.]+), top5 [0-9.]+, \\d+ images"),
                                         QRegularExpression::MultilineOption);
    QRegularExpressionMatchIterator matches = line.globalMatch(chunk);
    QRegularExpressionMatch last;
    while (matches.hasNext())
        last = matches.next();
    if (!last.hasMatch())
        return;
    const QString top1 = QString::number(last.captured(2).toDouble() * 100.0, 'f', 2);
    reading.hasValidation = true;
    reading.validationIteration = last.captured(1).toLongLong();
    reading.validationAccuracy = top1.toDouble();
    reading.validationLabel = "Validation : " + top1 + " %";
}

} // namespace

TrainingOutputReading TrainingOutputParser::parse(const QString& chunk)
{
    TrainingOutputReading reading;
    readIteration(chunk, reading);
    readValidation(chunk, reading);

    // The latest line with an average wins; blanks are dropped before its numbers are read.
    const QStringList lines = chunk.split(QLatin1Char('\n'));
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString& line = lines.at(i);
        if (!line.contains(QLatin1String(" avg,")))
            continue;
        const QString loss = QString::number(lastPieceBefore(line, QStringLiteral(" avg,")), 'f', 6);
        reading.hasAverageLoss = true;
        reading.averageLossLabel = "Avg loss   : " + loss;
        reading.averageLoss = loss.toDouble();

        const QString accuracy = QString::number(lastPieceBefore(line, QStringLiteral(" acc,")) * 100.0, 'f', 2);
        reading.hasAccuracy = true;
        reading.accuracyLabel = "Accuracy  : " + accuracy + " %";
        reading.accuracy = accuracy.toDouble();
        break;
    }

    // The older "avg loss" format, only looked for on the first line and when no line had " avg,".
    if (!reading.hasAverageLoss && lines.first().contains(QLatin1String("avg loss"))) {
        const QString loss = QString::number(lastPieceBefore(lines.first(), QStringLiteral(" avg loss,")), 'f', 6);
        reading.hasAverageLoss = true;
        reading.averageLossLabel = "Avg loss : " + loss;
        reading.averageLoss = loss.toDouble();
    }
    return reading;
}

QString TrainingOutputParser::trainsOn(const QString& chunk)
{
    return textAfter(chunk, QLatin1String("backend: "));
}

QString TrainingOutputParser::endReason(const QString& chunk)
{
    return textAfter(chunk, QLatin1String("finished: "));
}

QString TrainingOutputParser::elapsedText(qint64 seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
