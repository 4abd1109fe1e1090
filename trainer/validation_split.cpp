#include "validation_split.h"

#include <QFileInfo>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace ValidationSplit {

int heldOutCount(int n, int percent)
{
    if (n < 2 || percent <= 0)
        return 0;
    const int rounded = int(std::lround(double(n) * double(std::min(percent, kMaxPercent)) / 100.0));
    return std::clamp(rounded, 1, n - 1);
}

Parts split(const TrainingFolder::ClassFiles& classes, int percent, std::mt19937& rng)
{
    Parts parts;
    for (auto it = classes.cbegin(); it != classes.cend(); ++it) {
        const int held = TrainingFolder::isGarbageClass(it.key()) ? 0 : heldOutCount(it.value().size(), percent);
        if (held == 0) {
            parts.train.insert(it.key(), it.value());
            continue;
        }
        QVector<int> order(it.value().size());
        std::iota(order.begin(), order.end(), 0);
        TrainingFolder::shuffle(order, rng);
        QVector<bool> isHeld(order.size(), false);
        for (int i = 0; i < held; ++i)
            isHeld[order[i]] = true;
        // Both parts keep the class's file order, so a split reads like the project.
        QList<QFileInfo>& train = parts.train[it.key()];
        QList<QFileInfo>& test = parts.held[it.key()];
        for (int i = 0; i < order.size(); ++i)
            (isHeld[i] ? test : train).append(it.value().at(i));
    }
    return parts;
}

QString testEntry(const QString& writtenEntry)
{
    return QLatin1String(kTestEntryPrefix) + QLatin1Char('/') + QFileInfo(writtenEntry).fileName();
}

} // namespace ValidationSplit
