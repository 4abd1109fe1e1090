#include "classifier_fixtures.h"

#include "darknet_cfg.h"
#include "darknet_weights.h"
#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>
#include <random>
#include <vector>

namespace classifierfix {

QString instantiate(const QString& templateText, int classes, int batch, int subdivisions)
{
    QString text = templateText;
    text.replace("$batch$", QString::number(batch));
    text.replace("$subdivisions$", QString::number(subdivisions));
    text.replace("$classes$", QString::number(classes));
    return text;
}

QStringList catalogueTemplates()
{
    QStringList files;
    QDirIterator it(testutil::sourceDir() + "/resources/ai_models", {"*.cfg"}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

QStringList referenceConfigurations()
{
    static const QStringList names{"alexnet", "darknet", "darknet19", "darknet19_448", "darknet53", "darknet53_448",
                                   "densenet201", "extraction", "resnet101", "resnet152", "resnet18", "resnet34",
                                   "resnet50", "resnext101-32x4d", "resnext152-32x4d", "resnext50", "vgg-16"};
    QStringList files;
    for (const QString& name : names)
        if (QFileInfo::exists("/usr/share/darknet/cfg/" + name + ".cfg"))
            files << "/usr/share/darknet/cfg/" + name + ".cfg";
    return files;
}

QString templateText(const QString& path)
{
    QString text = testutil::readAll(path);
    if (text.contains("$classes$"))
        return text;
    // A darknet reference configuration: the testing batch lines and the 1000 ImageNet classes
    // of its last layer become placeholders.
    text.replace(QRegularExpression("(^|\\n)batch=\\d+"), "\\1batch=$batch$");
    text.replace(QRegularExpression("(^|\\n)subdivisions=\\d+"), "\\1subdivisions=$subdivisions$");
    const QRegularExpression lastClasses("(filters|output)=1000(?![0-9])");
    QRegularExpressionMatch last;
    for (auto it = lastClasses.globalMatch(text); it.hasNext();)
        last = it.next();
    if (last.hasMatch())
        text.replace(last.capturedStart(), last.capturedLength(), last.captured(1) + "=$classes$");
    return text;
}

QString templateNamed(const QString& name)
{
    for (const QString& file : catalogueTemplates())
        if (QFileInfo(file).completeBaseName() == name)
            return templateText(file);
    return templateText("/usr/share/darknet/cfg/" + name + ".cfg");
}

QString voderoVod32Template()
{
    QString text = "[net]\nbatch=$batch$\nsubdivisions=$subdivisions$\nheight=32\nwidth=32\nchannels=3\n"
                   "momentum=0.9\ndecay=0.0005\nburn_in=1000\nlearning_rate=0.1\npolicy=poly\npower=4\n"
                   "max_batches=800000\nangle=7\nhue=.1\nsaturation=.75\nexposure=.75\naspect=.75\n";
    const auto conv = [&text](int filters, int size) {
        text += QString("\n[convolutional]\nbatch_normalize=1\nfilters=%1\nsize=%2\nstride=1\npad=1\nactivation=leaky\n")
                    .arg(filters)
                    .arg(size);
    };
    conv(4, 3);
    text += "\n[maxpool]\nsize=2\nstride=2\n";
    conv(8, 3);
    text += "\n[maxpool]\nsize=2\nstride=2\n";
    conv(16, 3);
    conv(8, 1);
    conv(16, 3);
    text += "\n[convolutional]\nfilters=$classes$\nsize=1\nstride=1\npad=1\nactivation=linear\n"
            "\n[avgpool]\n\n[softmax]\ngroups=1\n";
    return text;
}

QByteArray sizedWeights(const QString& cfgText, unsigned seed)
{
    DarknetCfg cfg;
    QString error;
    if (!cfg.parse(cfgText.toUtf8(), &error))
        return QByteArray();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.f, 1.f);
    QByteArray bytes = DarknetWeights::header();
    for (const DarknetCfg::Layer& layer : cfg.layers()) {
        if (layer.parameterCount == 0)
            continue;
        const int n = layer.units;
        const qint64 weights = layer.parameterCount - qint64(n) * (layer.batchNormalize ? 4 : 1);
        const float spread = std::sqrt(3.f / float(std::max<qint64>(1, weights / n)));
        std::vector<float> values;
        const auto append = [&values](int count, auto make) {
            for (int i = 0; i < count; ++i)
                values.push_back(make());
        };
        const auto biases = [&] { append(n, [&] { return 0.05f * unit(rng); }); };
        const auto normalisation = [&] {
            append(n, [&] { return 1.f + 0.2f * unit(rng); }); // scales
            append(n, [&] { return 0.05f * unit(rng); });      // rolling means
            append(n, [&] { return 1.f + 0.2f * unit(rng); }); // rolling variances
        };
        const auto kernel = [&] {
            for (qint64 i = 0; i < weights; ++i)
                values.push_back(spread * unit(rng));
        };
        // Darknet's order: convolutional biases, normalisation, weights; connected biases,
        // weights, normalisation.
        biases();
        if (layer.section.type == "convolutional") {
            if (layer.batchNormalize)
                normalisation();
            kernel();
        } else {
            kernel();
            if (layer.batchNormalize)
                normalisation();
        }
        bytes.append(reinterpret_cast<const char*>(values.data()), int(values.size() * sizeof(float)));
    }
    return bytes;
}

QStringList classNames(int classes)
{
    QStringList names;
    for (int i = 0; i < classes; ++i)
        names << QString("class_%1").arg(i);
    return names;
}

void writeModelFolder(const QString& folder, const QString& cfgText, int classes)
{
    QDir().mkpath(folder);
    testutil::writeBytes(folder + "/test.cfg", cfgText.toUtf8());
    testutil::writeBytes(folder + "/names.list", classNames(classes).join('\n').toUtf8());
}

} // namespace classifierfix
