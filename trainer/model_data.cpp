#include "model_data.h"

#include <QDirIterator>
#include <QFileInfo>

ModelData::ModelData()
{
    QDirIterator it(QStringLiteral(":/vela_halvard_classif_v2/ai_models"), {QStringLiteral("*.cfg")},
                    QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        models[QFileInfo(path).baseName()] = MD{path.contains(QLatin1String("forkline")) ? 1 : 0, path};
    }
}
