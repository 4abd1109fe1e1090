#include "darknet_models.h"

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <darknet.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace darknetmodels {

namespace {

bool writeText(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text.toUtf8()) >= 0;
}

QByteArray local(const QString& path) { return QFile::encodeName(path); }

// Writes "train.weights" of the network described by cfgPath (random weights when
// trainer is empty), and the names list.
struct DarknetNetwork
{
    network* net = nullptr;
    explicit DarknetNetwork(const QString& cfgPath)
    {
        QByteArray cfg = local(cfgPath);
        net = load_network(cfg.data(), nullptr, 0);
    }
    ~DarknetNetwork()
    {
        if (net)
            free_network(net);
    }
    bool save(const QString& weightsPath)
    {
        QByteArray weights = local(weightsPath);
        save_weights(net, weights.data());
        return QFileInfo(weightsPath).size() > 0;
    }
};

// Seeds of the training pictures; held-out pictures use seeds from kHeldOutSeed on.
constexpr unsigned kTrainingSeed = 1;

// The picture as darknet wants its input: RGB planes of floats in 0..1.
void fillInput(const cv::Mat& bgr, int side, float* out)
{
    cv::Mat resized;
    cv::resize(bgr, resized, cv::Size(side, side), 0, 0, cv::INTER_LINEAR);
    cv::Mat rgb;
    cv::cvtColor(resized, rgb, cv::COLOR_BGR2RGB);
    const int plane = side * side;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            for (int c = 0; c < 3; ++c)
                out[c * plane + y * side + x] = rgb.at<cv::Vec3b>(y, x)[c] / 255.0f;
}

bool trainShapes(const QString& folder)
{
    const QStringList classes = shapeClasses();
    // Interleaved by class, so that every batch sees every class.
    constexpr int kPerClass = 60;
    std::vector<std::vector<cv::Mat> > byClass(size_t(classes.size()));
    for (int c = 0; c < classes.size(); ++c)
        for (int i = 0; i < kPerClass; ++i)
            byClass[size_t(c)].push_back(SyntheticProject::shapeImage(classes[c], 64, kTrainingSeed + unsigned(i)));
    const size_t perClass = kPerClass;

    constexpr int kSide = 32;
    constexpr int kBatch = 12;
    constexpr int kEpochs = 60;
    const int rows = int(perClass) * classes.size() / kBatch * kBatch;
    const int iterations = rows / kBatch * kEpochs;

    const QString trainCfg = folder + "/train.cfg";
    if (!writeText(trainCfg, voderoVod32Cfg(classes.size(), kBatch, true, iterations)))
        return false;
    std::srand(7);
    DarknetNetwork network(trainCfg);
    if (!network.net)
        return false;

    data d{};
    d.X = make_matrix(rows, kSide * kSide * 3);
    d.y = make_matrix(rows, classes.size());
    for (int row = 0; row < rows; ++row) {
        const int c = row % classes.size();
        const size_t i = size_t(row / classes.size());
        fillInput(byClass[size_t(c)][i], kSide, d.X.vals[row]);
        d.y.vals[row][c] = 1.0f;
    }
    for (int epoch = 0; epoch < kEpochs; ++epoch)
        train_network(network.net, d);
    free_matrix(d.X);
    free_matrix(d.y);

    QFile::remove(trainCfg);
    return network.save(folder + "/train.weights") && writeText(folder + "/names.list", classes.join("\n")) &&
           writeText(folder + "/test.cfg", voderoVod32Cfg(classes.size(), 1));
}

} // namespace

QString voderoVod32Cfg(int classes, int batch, bool forTraining, int maxBatches)
{
    QString text = QStringLiteral("[net]\nbatch=%1\nsubdivisions=1\nheight=32\nwidth=32\nchannels=3\n"
                                  "momentum=0.9\ndecay=0.0005\n")
                       .arg(batch);
    if (forTraining)
        text += QStringLiteral("learning_rate=0.05\npolicy=poly\npower=2\nmax_batches=%1\n\n").arg(maxBatches);
    else
        text += QStringLiteral("burn_in=1000\nlearning_rate=0.1\npolicy=poly\npower=4\nmax_batches=800000\n"
                               "angle=7\nhue=.1\nsaturation=.75\nexposure=.75\naspect=.75\n\n");
    const char* const conv = "[convolutional]\nbatch_normalize=1\nfilters=%1\nsize=%2\nstride=1\npad=1\n"
                             "activation=leaky\n\n";
    const char* const pool = "[maxpool]\nsize=2\nstride=2\n\n";
    text += QString::fromLatin1(conv).arg(4).arg(3) + pool + QString::fromLatin1(conv).arg(8).arg(3) + pool +
            QString::fromLatin1(conv).arg(16).arg(3) + QString::fromLatin1(conv).arg(8).arg(1) +
            QString::fromLatin1(conv).arg(16).arg(3);
    text += QStringLiteral("[convolutional]\nfilters=%1\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
                           "[avgpool]\n\n[softmax]\ngroups=1\n")
                .arg(classes);
    return text;
}

QString darknet19Cfg(int classes)
{
    QFile file(QStringLiteral("/usr/share/darknet/cfg/darknet19.cfg"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString text = QString::fromUtf8(file.readAll());
    text.replace(QStringLiteral("filters=1000"), QStringLiteral("filters=%1").arg(classes));
    return text;
}

bool writeRandomModel(const QString& folder, const QString& cfgText, const QStringList& classes, unsigned seed)
{
    if (cfgText.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString cfg = folder + "/test.cfg";
    if (!writeText(cfg, cfgText) || !writeText(folder + "/names.list", classes.join("\n")))
        return false;
    std::srand(seed);
    DarknetNetwork network(cfg);
    return network.net && network.save(folder + "/train.weights");
}

bool writeUniformModel(const QString& folder, const QStringList& classes)
{
    if (!writeRandomModel(folder, voderoVod32Cfg(classes.size(), 1), classes))
        return false;
    DarknetNetwork network(folder + "/test.cfg");
    if (!network.net)
        return false;
    for (int i = network.net->n - 1; i >= 0; --i) {
        layer& l = network.net->layers[i];
        if (l.type != CONVOLUTIONAL)
            continue;
        std::fill(l.weights, l.weights + l.nweights, 0.0f);
        std::fill(l.biases, l.biases + l.n, 0.0f);
        break;
    }
    return network.save(folder + "/train.weights");
}

QStringList shapeClasses()
{
    return {"circle", "square", "triangle"};
}

QString trainedShapesModel()
{
    const QString cached = testutil::binaryDir() + "/test_models/voderovod32_synthetic_shapes";
    if (QFileInfo::exists(cached + "/train.weights"))
        return cached;

    // Trained beside the cache and renamed into place, so that tests running side by side
    // never see a half-written folder.
    const QString parent = QFileInfo(cached).absolutePath();
    QDir().mkpath(parent);
    const QString work = parent + "/training-" + QUuid::createUuid().toString(QUuid::Id128);
    QDir().mkpath(work);
    if (!trainShapes(work)) {
        QDir(work).removeRecursively();
        return QString();
    }
    if (!QDir().rename(work, cached))
        QDir(work).removeRecursively(); // another test got there first
    return QFileInfo::exists(cached + "/train.weights") ? cached : QString();
}

} // namespace darknetmodels
