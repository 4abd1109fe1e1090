#include "model_template.h"

#include <QFile>

namespace {

QString fill(QString text, int batch, int subdivisions, int classes)
{
    text.replace(QLatin1String("$batch$"), QString::number(batch));
    text.replace(QLatin1String("$subdivisions$"), QString::number(subdivisions));
    text.replace(QLatin1String("$classes$"), QString::number(classes));
    return text;
}

} // namespace

ModelTemplate::Configs ModelTemplate::instantiate(const QString& cfgPath, int batch, int subdivisions,
                                                  int classes)
{
    Configs configs;
    QFile file(cfgPath);
    if (cfgPath.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return configs;
    // Without a size, fromUtf8() stops at the first NUL: a template is text up to there.
    const QString text = QString::fromUtf8(file.readAll().constData());

    configs.opened = true;
    configs.train = fill(text, batch, subdivisions, classes);
    configs.test = fill(text, 1, 1, classes);
    return configs;
}

ModelTemplate::Configs ModelTemplate::instantiate(const MD& model, int batch, int subdivisions, int classes)
{
    return instantiate(model.cfgPath, batch, subdivisions, classes);
}
