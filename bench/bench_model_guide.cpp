// The rows of the README's model table, one per template of the catalogue: input size,
// parameters and forward GFLOPs worked out by the shape walk, training images per second of the
// package's darknet_cpu_ on this machine, and whether darknet publishes ImageNet weights for it.
//
//   bench_model_guide [--seconds S] [--no-training] [model ...]
//
// Training: 4 classes of 608 x 608 JPEGs (the size generation writes), batch 16, subdivisions 8
// (a new trainer's settings without a GPU), until S seconds (default 30) of wall time after the
// first iteration, and at least one more iteration, have passed; the first iteration warms up
// and is left out. Loading and augmenting the pictures count, as they do in a real run.
#include "cfg_document.h"
#include "darknet_training_folder.h"
#include "model_data.h"
#include "model_template.h"
#include "shape_walk.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kBatch = 16;
constexpr int kSubdivisions = 8;
constexpr int kPictureSide = 608;
const QStringList kClasses{"circle", "cross", "square", "triangle"};

// The file darknet publishes ImageNet weights in for each template that has one, from the
// notebook driver's table.
QMap<QString, QString> publishedImageNetWeights()
{
    const QJsonObject models = QJsonDocument::fromJson(testutil::readBytes(testutil::sourceDir() +
                                                                           "/tools/pretrained_weights.json"))
                                   .object()["models"]
                                   .toObject();
    QMap<QString, QString> files;
    for (auto it = models.constBegin(); it != models.constEnd(); ++it)
        files.insert(it.key(), it.value().toObject()["file"].toString());
    return files;
}

struct Cost
{
    int width = 0, height = 0;
    double parameters = 0; // trained values: weights, biases and normalisation scales
    double forwardFlops = 0; // multiplications and additions of convolutions and connected layers
    QString problem;
};

int netValue(const CfgSection& net, const char* key)
{
    const std::string* text = net.find(key);
    return text ? std::atoi(text->c_str()) : 0;
}

Cost costOf(const QString& cfgText)
{
    Cost cost;
    CfgDocument document;
    std::string error;
    if (!CfgDocument::parse(cfgText.toStdString(), &document, &error) || document.sections.empty()) {
        cost.problem = QString::fromStdString(error);
        return cost;
    }
    const CfgSection& net = document.sections.front();
    cost.width = netValue(net, "width");
    cost.height = netValue(net, "height");
    const int channels = netValue(net, "channels");
    ShapeWalk walk{ShapeWalk::Rules()};
    CfgFailure failure;
    if (!walk.walk(document, {cost.width, cost.height, channels, (long long)cost.width * cost.height * channels},
                   &failure)) {
        cost.problem = "the shape walk stopped at layer " + QString::number(walk.layers().size() - 1);
        return cost;
    }
    for (const ShapeWalk::Layer& layer : walk.layers()) {
        // A weights file also keeps the rolling means and variances of batch normalisation.
        const long long rolling = layer.batchNormalize ? 2LL * layer.units : layer.kind == "batchnorm" ? 2LL * layer.in.c : 0;
        cost.parameters += double(layer.parameterCount - rolling);
        cost.forwardFlops += layer.forwardFlops();
    }
    return cost;
}

// Training images per second after the first iteration, by the wall clock (picture loading
// included) between iteration lines, over at least `seconds` and at least one more iteration;
// 0 when the trainer failed.
double trainingSpeed(const MD& model, double seconds, const QString& trainer)
{
    QTemporaryDir folder;
    DarknetTrainingFolder::write(folder.path(), kClasses, 8, kPictureSide, kPictureSide);
    const ModelTemplate::Configs configs = ModelTemplate::instantiate(model, kBatch, kSubdivisions, kClasses.size());
    DarknetTrainingFolder::writeTrainCfg(folder.path(), configs.train);
    QProcess process;
    process.setWorkingDirectory(folder.path());
    process.start(trainer, {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg", "-dont_show"});
    // Every iteration prints "..., S seconds, N images".
    const QRegularExpression line(", [0-9.]+ seconds, [0-9]+ images\\n");
    QElapsedTimer clock;
    clock.start();
    QString output;
    int iterations = 0;
    qint64 firstEnd = 0, lastEnd = 0; // nanoseconds at the first and the latest iteration line
    while (process.state() != QProcess::NotRunning && (iterations < 2 || (lastEnd - firstEnd) / 1e9 < seconds)) {
        process.waitForReadyRead(100);
        output += QString::fromUtf8(process.readAllStandardOutput());
        for (QRegularExpressionMatch m = line.match(output); m.hasMatch(); m = line.match(output)) {
            output = output.mid(m.capturedEnd());
            lastEnd = clock.nsecsElapsed();
            if (++iterations == 1)
                firstEnd = lastEnd;
        }
    }
    const bool failed = process.state() == QProcess::NotRunning;
    process.terminate();
    process.waitForFinished(-1);
    if (failed || iterations < 2) {
        std::fprintf(stderr, "%s", process.readAllStandardError().right(2000).constData());
        return 0;
    }
    return kBatch * (iterations - 1) / ((lastEnd - firstEnd) / 1e9);
}

QString rounded(double value)
{
    // Two significant figures, at least the units.
    return value >= 10 ? QString::number(value, 'f', 0) : QString::number(value, 'g', 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    double seconds = 30;
    const int at = args.indexOf("--seconds");
    if (at >= 0 && at + 1 < args.size()) {
        seconds = args.at(at + 1).toDouble();
        args.removeAt(at + 1);
        args.removeAt(at);
    }
    const bool training = !args.removeAll("--no-training");
    const ModelData catalogue;
    const QStringList models = args.isEmpty() ? catalogue.models.keys() : args;
    const QString trainer = testutil::binaryDir() + "/ros/vela_lib_yolo/darknet_cpu_";
    const QMap<QString, QString> published = publishedImageNetWeights();

    std::printf("| Model | Input | Parameters | Forward GFLOPs | Training images/s (CPU) | ImageNet weights |\n"
                "|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    int failures = 0;
    for (const QString& name : models) {
        const MD model = catalogue.models.value(name);
        const Cost cost = costOf(ModelTemplate::instantiate(model, kBatch, kSubdivisions, kClasses.size()).train);
        if (!cost.problem.isEmpty()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(cost.problem));
            ++failures;
            continue;
        }
        const double speed = training ? trainingSpeed(model, seconds, trainer) : -1;
        failures += speed == 0 ? 1 : 0;
        std::printf("| `%s` | %d x %d | %s M | %s | %s | %s |\n", qPrintable(name), cost.width, cost.height,
                    qPrintable(rounded(cost.parameters / 1e6)), qPrintable(rounded(cost.forwardFlops / 1e9)),
                    speed < 0 ? "-" : qPrintable(rounded(speed)),
                    published.contains(name) ? qPrintable("`" + published.value(name) + "`") : "none");
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
