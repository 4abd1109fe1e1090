#pragma once

#include <QMap>
#include <QString>

// One catalogue entry: the template's family (1 for the forkline folder, 0 for mainline) and
// its resource path.
struct MD
{
    int family = 0;
    QString cfgPath;
};

// The catalogue of embedded darknet classifier templates, by model name (the template's base
// name), in name order.
class ModelData
{
public:
    ModelData();

    QMap<QString, MD> models;
};
