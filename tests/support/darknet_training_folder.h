#pragma once

#include <QString>
#include <QStringList>

// A darknet classifier training folder as the trainer generates it, made from synthetic shape
// images: <gen>/data_gen/ with train/<id>_<label>.jpg images, train.list and test.list,
// labels.txt (one label per class, contained in each of its images' paths), names.list,
// data.data and an empty backup/ folder. Configurations come from the model templates.
class DarknetTrainingFolder
{
public:
    // Writes the folder for the classes (shapes by class name, see SyntheticProject), with
    // imagesPerClass images whose sides vary from minSize to maxSize. Returns the labels.
    static QStringList write(const QString& genPath, const QStringList& classes, int imagesPerClass, int minSize,
                             int maxSize, unsigned seed = 1);

    // The template of resources/ai_models/{mainline,forkline}/<model>.cfg with its placeholders
    // replaced.
    static QString instantiate(const QString& model, int batch, int subdivisions, int classes);

    // Replaces the value of key in the [net] section of a configuration text.
    static QString withNetValue(const QString& cfg, const QString& key, const QString& value);

    // Writes <gen>/data_gen/train.cfg.
    static void writeTrainCfg(const QString& genPath, const QString& cfg);
};
