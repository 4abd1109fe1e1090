#pragma once

#include <QString>

#include "model_data.h"

// Turns an embedded model template into the darknet network configurations of a training
// folder. Templates carry three placeholders: "$batch$", "$subdivisions$" and "$classes$".
class ModelTemplate
{
public:
    struct Configs
    {
        bool opened = false; // false when the template could not be read: write no configuration
        QString train;       // batch and subdivisions as given
        QString test;        // batch and subdivisions 1, for inference
    };

    static Configs instantiate(const QString& cfgPath, int batch, int subdivisions, int classes);
    static Configs instantiate(const MD& model, int batch, int subdivisions, int classes);
};
