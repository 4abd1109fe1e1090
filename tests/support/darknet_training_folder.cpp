#include "darknet_training_folder.h"

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUuid>

#include <opencv2/imgcodecs.hpp>

QStringList DarknetTrainingFolder::write(const QString& genPath, const QStringList& classes, int imagesPerClass,
                                         int minSize, int maxSize, unsigned seed)
{
    const QString dataGen = genPath + "/data_gen";
    QDir().mkpath(dataGen + "/train");
    QDir().mkpath(dataGen + "/test");
    QDir().mkpath(dataGen + "/backup");
    QStringList labels;
    QStringList entries;
    for (const QString& cls : classes) {
        const QString label = cls + "-" + QUuid::createUuid().toString(QUuid::Id128);
        labels << label;
        for (int i = 0; i < imagesPerClass; ++i) {
            const int size = minSize + (maxSize > minSize ? int((i * 7919u + seed) % unsigned(maxSize - minSize + 1)) : 0);
            const cv::Mat image = SyntheticProject::shapeImage(cls, size, seed * 1000u + unsigned(i));
            const QString name = QUuid::createUuid().toString(QUuid::Id128) + "_" + label + ".jpg";
            cv::imwrite((dataGen + "/train/" + name).toStdString(), image);
            entries << "data_gen/train/" + name;
        }
    }
    // Shuffled, like the generated list.
    for (int i = entries.size() - 1; i > 0; --i)
        entries.swapItemsAt(i, int((unsigned(i) * 2654435761u + seed) % unsigned(i + 1)));
    testutil::writeBytes(dataGen + "/train.list", entries.join("\n").toUtf8());
    testutil::writeBytes(dataGen + "/test.list", entries.join("\n").toUtf8());
    testutil::writeBytes(dataGen + "/labels.txt", labels.join("\n").toUtf8());
    testutil::writeBytes(dataGen + "/names.list", classes.join("\n").toUtf8());
    const QString data = QString("classes=%1\n"
                                 "train   = data_gen/train.list\n"
                                 "valid   = data_gen/test.list\n"
                                 "labels  = data_gen/labels.txt\n"
                                 "names   = data_gen/names.list\n"
                                 "backup  = data_gen/backup\n"
                                 "top=1")
                             .arg(classes.size());
    testutil::writeBytes(dataGen + "/data.data", data.toUtf8());
    return labels;
}

QString DarknetTrainingFolder::instantiate(const QString& model, int batch, int subdivisions, int classes)
{
    const QString models = testutil::sourceDir() + "/resources/ai_models/";
    const QString mainline = models + "mainline/" + model + ".cfg";
    QString text = testutil::readAll(QFile::exists(mainline) ? mainline : models + "forkline/" + model + ".cfg");
    text.replace("$batch$", QString::number(batch));
    text.replace("$subdivisions$", QString::number(subdivisions));
    text.replace("$classes$", QString::number(classes));
    return text;
}

QString DarknetTrainingFolder::withNetValue(const QString& cfg, const QString& key, const QString& value)
{
    QString text = cfg;
    const QRegularExpression line("^" + QRegularExpression::escape(key) + "=.*$", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(text);
    if (match.hasMatch())
        text.replace(match.capturedStart(), match.capturedLength(), key + "=" + value);
    else
        text.replace("[net]\n", "[net]\n" + key + "=" + value + "\n");
    return text;
}

void DarknetTrainingFolder::writeTrainCfg(const QString& genPath, const QString& cfg)
{
    testutil::writeBytes(genPath + "/data_gen/train.cfg", cfg.toUtf8());
}
