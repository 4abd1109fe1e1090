#include "epoch_schedule.h"

#include <QRegularExpression>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <cmath>

namespace {

// One option of the [net] section as darknet reads it: blanks dropped, "key=value".
struct Option
{
    int line = 0;
    QString key;
    QString value;
};

QString withoutBlanks(QString line)
{
    return line.remove(QRegularExpression(QStringLiteral("\\s")));
}

// The options of the first section of the text, and the line where its last option ends.
QVector<Option> netOptions(const QStringList& lines, int* afterLast)
{
    QVector<Option> options;
    bool inFirst = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString text = withoutBlanks(lines[i]);
        if (text.isEmpty() || text.startsWith('#') || text.startsWith(';'))
            continue;
        if (text.startsWith('[')) {
            if (inFirst)
                break;
            inFirst = true;
            *afterLast = i + 1;
            continue;
        }
        const int equals = text.indexOf('=');
        if (!inFirst || equals <= 0)
            continue;
        options.append({i, text.left(equals), text.mid(equals + 1)});
        *afterLast = i + 1;
    }
    return options;
}

// darknet reads the first of repeated keys.
const Option* find(const QVector<Option>& options, const QString& key)
{
    const auto it = std::find_if(options.cbegin(), options.cend(), [&key](const Option& o) { return o.key == key; });
    return it == options.cend() ? nullptr : &*it;
}

qint64 scaled(const QString& value, double factor)
{
    return std::max<qint64>(1, std::llround(value.toDouble() * factor));
}

} // namespace

qint64 EpochSchedule::iterations(int epochs, qint64 trainingImages, int batch)
{
    if (epochs <= 0 || trainingImages <= 0 || batch <= 0)
        return 0;
    return (qint64(epochs) * trainingImages + batch - 1) / batch;
}

QString EpochSchedule::fit(const QString& cfgText, qint64 iterations)
{
    QStringList lines = cfgText.split('\n');
    int afterLast = -1;
    const QVector<Option> options = netOptions(lines, &afterLast);
    if (afterLast < 0 || iterations <= 0)
        return cfgText;
    const auto set = [&lines](const Option* option, const QString& value) {
        if (option)
            lines[option->line] = option->key + '=' + value;
    };

    const Option* maxBatches = find(options, QStringLiteral("max_batches"));
    const double templateEnd = maxBatches ? maxBatches->value.toDouble() : 0;
    // Where the template's schedule has an end, its milestones move with it.
    const double factor = templateEnd > 0 ? double(iterations) / templateEnd : 0;
    if (factor > 0) {
        if (const Option* steps = find(options, QStringLiteral("steps"))) {
            QStringList moved;
            for (const QString& step : steps->value.split(','))
                moved << QString::number(scaled(step, factor));
            set(steps, moved.join(','));
        }
        if (const Option* step = find(options, QStringLiteral("step")))
            set(step, QString::number(scaled(step->value, factor)));
        const Option* policy = find(options, QStringLiteral("policy"));
        const Option* gamma = find(options, QStringLiteral("gamma"));
        if (policy && policy->value == QLatin1String("exp") && gamma)
            set(gamma, QString::number(std::pow(gamma->value.toDouble(), 1.0 / factor), 'g', 9));
    }
    const Option* burnIn = find(options, QStringLiteral("burn_in"));
    if (burnIn && burnIn->value.toLongLong() > iterations / 10)
        set(burnIn, QString::number(iterations / 10));
    if (maxBatches)
        set(maxBatches, QString::number(iterations));
    else
        lines.insert(afterLast, QStringLiteral("max_batches=") + QString::number(iterations));
    return lines.join('\n');
}
