#include "interface_paths.h"

#include <QDir>

QString InterfacePaths::root()
{
    QString dir = qEnvironmentVariable(kEnvironmentVariable);
    if (dir.isEmpty())
        return QStringLiteral("/tmp");
    dir = QDir::cleanPath(dir);
    return dir;
}

QString InterfacePaths::file(const QString& name)
{
    return root() + QLatin1Char('/') + name;
}
