#include "interface_paths.h"

#include <QDir>

QString InterfacePaths::root()
{
    const QString dir = qEnvironmentVariable(kEnvironmentVariable);
    if (dir.isEmpty())
        return QStringLiteral("/tmp");
    return QDir::cleanPath(dir);
}

QString InterfacePaths::file(const QString& name)
{
    return root() + QLatin1Char('/') + name;
}
