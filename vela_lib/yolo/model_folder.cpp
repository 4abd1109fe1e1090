#include "model_folder.h"

#include <QDir>
#include <QFileInfo>

bool ModelFolder::locate(const QString& folder, QString* error)
{
    const QDir dir(folder);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        *error = QString("model folder not found: %1").arg(folder);
        return false;
    }
    cfgPath = dir.filePath("test.cfg");
    if (!QFileInfo(cfgPath).isFile()) {
        const QStringList cfgs = dir.entryList({"*.cfg"}, QDir::Files);
        if (cfgs.size() != 1) {
            *error = cfgs.isEmpty() ? QString("no test.cfg or other .cfg in %1").arg(folder)
                                    : QString("no test.cfg in %1 and several other .cfg files: %2")
                                          .arg(folder, cfgs.join(", "));
            return false;
        }
        cfgPath = dir.filePath(cfgs.front());
    }
    const auto needFile = [&](const char* name, QString* path) {
        *path = dir.filePath(name);
        const bool found = QFileInfo(*path).isFile();
        if (!found)
            *error = QString("no %1 in %2").arg(name, folder);
        return found;
    };
    return needFile("train.weights", &weightsPath) && needFile("names.list", &namesPath);
}

QStringList ModelFolder::readNames(const QByteArray& text)
{
    QStringList names;
    for (const QString& line : QString::fromUtf8(text).split('\n'))
        names << line.trimmed();
    while (!names.isEmpty() && names.back().isEmpty())
        names.removeLast();
    return names;
}
