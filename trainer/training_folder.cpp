#include "training_folder.h"

#include <QDir>
#include <QUuid>

#include <algorithm>

namespace TrainingFolder {

QString folderIn(const QString& genFolder)
{
    return genFolder + (genFolder.endsWith(QLatin1Char('/')) ? "" : "/") + QLatin1String(kFolderName);
}

namespace {

// The path with symbolic links resolved as far as it exists, and a slash at the end, so that
// a prefix test means "the same folder or one inside it".
QString resolvedFolder(const QString& path)
{
    QFileInfo info(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    QStringList missing;
    while (!info.exists() && !info.isRoot() && info.fileName() != QString()) {
        missing.prepend(info.fileName());
        info = QFileInfo(info.absolutePath());
    }
    QString resolved = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    for (const QString& part : missing)
        resolved += QLatin1Char('/') + part;
    return QDir::cleanPath(resolved) + QLatin1Char('/');
}

} // namespace

QString nestingProblem(const QString& projectFolder, const QString& genFolder)
{
    if (projectFolder.isEmpty() || genFolder.isEmpty())
        return QString(); // no folder, nothing to nest
    const QString project = resolvedFolder(projectFolder);
    const QString training = resolvedFolder(folderIn(genFolder));
    if (project.startsWith(training))
        return "the project folder " + projectFolder + " is, or lies inside, the training folder " + folderIn(genFolder) +
               ", which generation replaces; choose folders apart";
    if (training.startsWith(project))
        return "the generation folder " + genFolder + " is, or lies inside, the project folder " + projectFolder +
               ", whose next scan would take the generated pictures for a class; choose folders apart";
    return QString();
}

QString relativePath(const QString& fileName)
{
    return QLatin1String(kFolderName) + QLatin1Char('/') + fileName;
}

QString randomId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

bool isGarbageClass(const QString& className)
{
    return className.startsWith(QLatin1String(kUnknownPrefix)) || className.startsWith(QLatin1String(kRandomClass));
}

void addUnknownClasses(ClassFiles& classes, int count, const QFileInfo& noiseImage)
{
    for (int i = 0; i < count; ++i)
        classes[QLatin1String(kUnknownPrefix) + QString::number(i)] = QList<QFileInfo>{noiseImage};
}

ClassLabel labelFor(const QString& className, const QString& id)
{
    // "NULL" is tested first: a class NULL-something is a null class, not a named one.
    if (className.startsWith(QLatin1String(kNullPrefix)))
        return {QStringLiteral("NULL-") + id, QString()};
    if (isGarbageClass(className))
        return {className + id, QStringLiteral("UNKNOWN")};
    return {id, className};
}

LabelTable makeLabelTable(const QStringList& classNames)
{
    LabelTable table;
    QStringList labels;
    QStringList names;
    for (const QString& className : classNames) {
        const ClassLabel entry = labelFor(className, randomId());
        table.labelOf[className] = entry.label;
        labels << entry.label;
        names << entry.displayName;
    }
    table.labelsText = labels.join(QLatin1Char('\n'));
    table.namesText = names.join(QLatin1Char('\n'));
    return table;
}

QString imageFileName(const QString& id, const QString& label, const QString& extension)
{
    return id + QLatin1Char('_') + label + extension;
}

QString trainEntry(const QString& fileName)
{
    return relativePath(QStringLiteral("train/") + fileName);
}

QString dataFileText(int classCount)
{
    const auto entry = [](const char* key, const char* fileName) {
        return QLatin1String(key) + relativePath(QLatin1String(fileName)) + QLatin1Char('\n');
    };
    return QStringLiteral("classes=") + QString::number(classCount) + QLatin1Char('\n') +
           entry("train   = ", "train.list") + entry("valid   = ", "test.list") + entry("labels  = ", "labels.txt") +
           entry("names   = ", "names.list") + entry("backup  = ", "backup") + QStringLiteral("top=1");
}

QString versionText(int family, const QString& modelName)
{
    return QString::number(family) + QLatin1Char(':') + modelName;
}

QVector<Sample> sampleList(const ClassFiles& classes)
{
    QVector<Sample> samples;
    for (auto it = classes.cbegin(); it != classes.cend(); ++it)
        for (const QFileInfo& file : it.value())
            samples.append({it.key(), file.absoluteFilePath()});
    return samples;
}

int balance(ClassEntries& entries)
{
    int target = 0;
    for (const QStringList& list : entries)
        target = std::max(target, int(list.size()));
    for (QStringList& list : entries) {
        const int own = list.size();
        if (own == 0)
            continue;
        for (int k = 0; list.size() < target; ++k)
            list.append(list.at(k % own));
    }
    return target;
}

QString trainingListText(const ClassEntries& entries, std::mt19937& rng)
{
    QVector<QString> all;
    for (const QStringList& list : entries)
        all += list.toVector();
    shuffle(all, rng);
    return QStringList(all.toList()).join(QLatin1Char('\n'));
}

} // namespace TrainingFolder
