// The LibTorch engine against the darknet engine and libdarknet itself: the same update from the
// same weights and batch, the same rate at every batch, the same test-mode scores, weights that
// each reads from the other, and the options it refuses rather than train differently; and its
// mixed precision.

// LibTorch's headers before Qt's, whose "slots" keyword they use as a name.
#include "torch_loss_scale.h"

#include "darknet_training_folder.h"
#include "test_support.h"

#include "cfg_document.h"
#include "darknet_engine.h"
#include "net_settings.h"
#include "network_builder.h"
#include "network_cfg_check.h"
#include "torch_engine.h"
#include "weights_header.h"

#include <darknet.h>

#include <QDirIterator>
#include <QtTest>

#include <cmath>
#include <random>

namespace {

// No normalisation: convolution, max pool, connected and softmax, with momentum and decay, and a
// burn-in long enough that the updates below happen inside it.
const char* kPlainCfg = R"([net]
batch=6
subdivisions=2
width=12
height=12
channels=3
learning_rate=0.5
momentum=0.9
decay=0.005
policy=poly
power=1
burn_in=10
max_batches=100

[convolutional]
filters=5
size=3
stride=1
pad=1
activation=leaky

[maxpool]
size=2
stride=2

[convolutional]
filters=4
size=3
stride=2
pad=1
activation=relu

[connected]
output=3
activation=linear

[softmax]
)";

QString writeCfg(const QTemporaryDir& dir, const QString& name, const QString& text)
{
    const QString path = dir.filePath(name);
    testutil::writeBytes(path, text.toUtf8());
    return path;
}

NetworkSummary summaryOf(const QString& cfg)
{
    NetworkSummary summary;
    std::string error;
    if (!NetworkCfgCheck::checkFile(cfg.toStdString(), &summary, &error))
        qWarning("%s", error.c_str());
    return summary;
}

template <typename Engine>
std::unique_ptr<Engine> built(const QString& cfg)
{
    auto engine = std::make_unique<Engine>(summaryOf(cfg));
    std::string error;
    if (!engine->build(cfg.toStdString(), &error)) {
        qWarning("%s", error.c_str());
        return nullptr;
    }
    return engine;
}

bool loadExact(TrainingEngine& engine, const QString& cfg, const QString& weights)
{
    TransferWeights::Plan plan;
    std::string error;
    const bool ok = TransferWeights::plan(weights.toStdString(), summaryOf(cfg).weights, &plan, &error) &&
                    plan.exact && engine.loadWeights(weights.toStdString(), plan, &error);
    if (!ok)
        qWarning("%s", error.c_str());
    return ok;
}

// Spread weights, biases and statistics, so that no unit is dead or saturated.
void randomise(network* net, unsigned seed)
{
    std::mt19937 random(seed);
    const auto fill = [&random](float* values, int n, float low, float high) {
        std::uniform_real_distribution<float> uniform(low, high);
        for (int i = 0; i < n; ++i)
            values[i] = uniform(random);
    };
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (l.type != CONVOLUTIONAL && l.type != CONNECTED)
            continue;
        const int units = l.type == CONVOLUTIONAL ? l.n : l.outputs;
        fill(l.weights, l.type == CONVOLUTIONAL ? l.nweights : l.inputs * l.outputs, -0.5f, 0.5f);
        fill(l.biases, units, -0.2f, 0.2f);
        if (l.batch_normalize) {
            fill(l.scales, units, 0.5f, 1.5f);
            fill(l.rolling_mean, units, -0.2f, 0.2f);
            fill(l.rolling_variance, units, 0.5f, 1.5f);
        }
    }
}

Batch randomBatch(int images, int side, int classes, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> pixel(0.f, 1.f);
    Batch batch;
    batch.images = images;
    batch.inputsPerImage = 3 * side * side;
    batch.classes = classes;
    batch.x.resize(size_t(images) * size_t(batch.inputsPerImage));
    for (float& v : batch.x)
        v = pixel(random);
    batch.y.assign(size_t(images) * size_t(classes), 0.f);
    for (int i = 0; i < images; ++i)
        batch.y[size_t(i * classes + i % classes)] = 1.f;
    return batch;
}

// The floats after the header of a weights file that engine writes.
std::vector<float> savedFloats(TrainingEngine& engine, const QString& path)
{
    std::string error;
    if (!engine.saveWeights(path.toStdString(), &error))
        qWarning("%s", error.c_str());
    const QByteArray bytes = testutil::readBytes(path);
    const int header = int(WeightsHeader::kLongest);
    std::vector<float> values(size_t(std::max(0, int(bytes.size()) - header)) / sizeof(float));
    std::memcpy(values.data(), bytes.constData() + header, values.size() * sizeof(float));
    return values;
}

double largestDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size())
        return INFINITY;
    double largest = 0;
    for (size_t i = 0; i < a.size(); ++i)
        largest = std::max(largest, double(std::fabs(a[i] - b[i])));
    return largest;
}

} // namespace

class TorchEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void oneUpdateAgreesWithDarknet();
    void ratesAgreeWithLibdarknet_data();
    void ratesAgreeWithLibdarknet();
    void testModeAndWeightsAgreeBothWays_data();
    void testModeAndWeightsAgreeBothWays();
    void refusesWhatItWouldTrainDifferently_data();
    void refusesWhatItWouldTrainDifferently();
    void mixedPrecisionTrainsCloseToFullPrecision();
    void lossScaleSkipsOverflowsAndGrowsAfterGoodSteps();
};

// From the same weights, two iterations of the same batch (the second with momentum): the loss,
// the images seen and every weight after each agree within 1e-4.
void TorchEngineTest::oneUpdateAgreesWithDarknet()
{
    QTemporaryDir dir;
    const QString cfg = writeCfg(dir, "plain.cfg", kPlainCfg);
    auto darknet = built<DarknetEngine>(cfg);
    auto torch = built<TorchEngine>(cfg);
    QVERIFY(darknet && torch);
    randomise(darknet->net(), 3);
    const QString start = dir.filePath("start.weights");
    savedFloats(*darknet, start);
    QVERIFY(loadExact(*torch, cfg, start));
    const std::vector<float> initial = savedFloats(*torch, dir.filePath("t0"));
    QCOMPARE(largestDifference(initial, savedFloats(*darknet, dir.filePath("d0"))), 0.0);

    const auto never = [] { return false; };
    for (int iteration = 1; iteration <= 2; ++iteration) {
        const Batch batch = randomBatch(6, 12, 3, unsigned(iteration));
        const TrainingEngine::Step ours = torch->trainBatch(batch, never);
        const TrainingEngine::Step theirs = darknet->trainBatch(batch, never);
        QVERIFY2(std::fabs(ours.loss - theirs.loss) <= 1e-4, qPrintable(QString("%1 %2").arg(ours.loss).arg(theirs.loss)));
        QCOMPARE(ours.correct, theirs.correct);
        QCOMPARE(torch->imagesSeen(), darknet->imagesSeen());
        QCOMPARE(float(torch->currentRate()), float(darknet->currentRate()));
        QVERIFY(darknet->currentRate() > 0 && darknet->currentRate() < 0.5); // inside the burn-in
        const std::vector<float> a = savedFloats(*torch, dir.filePath("t"));
        const std::vector<float> b = savedFloats(*darknet, dir.filePath("d"));
        QVERIFY2(largestDifference(a, b) <= 1e-4, qPrintable(QString::number(largestDifference(a, b))));
        QVERIFY(largestDifference(a, initial) > 1e-3); // it did move
    }
}

void TorchEngineTest::ratesAgreeWithLibdarknet_data()
{
    QTest::addColumn<QString>("cfg");
    QDirIterator templates(testutil::sourceDir() + "/resources/ai_models", {"*.cfg"}, QDir::Files,
                           QDirIterator::Subdirectories);
    while (templates.hasNext()) {
        const QString path = templates.next();
        QString text = testutil::readAll(path);
        text.replace("$batch$", "64").replace("$subdivisions$", "8").replace("$classes$", "3");
        // The template's [net] over the smallest of networks: the schedule is all that counts.
        const QString net = text.left(text.indexOf(QRegularExpression("^\\[(?!net\\])", QRegularExpression::MultilineOption)));
        QTest::newRow(qPrintable(QFileInfo(path).baseName())) << net + "\n[avgpool]\n\n[softmax]\n";
    }
    const QString body = "\nwidth=8\nheight=8\nchannels=3\nlearning_rate=0.1\n\n[avgpool]\n\n[softmax]\n";
    QTest::newRow("steps") << "[net]\nbatch=4\npolicy=steps\nsteps=3,7,-1\nscales=.5,.1,2\nburn_in=2\npower=2" + body;
    QTest::newRow("step") << "[net]\nbatch=4\npolicy=step\nstep=4\nscale=0.7" + body;
    QTest::newRow("exp") << "[net]\nbatch=4\npolicy=exp\ngamma=0.9" + body;
    QTest::newRow("sigmoid") << "[net]\nbatch=4\npolicy=sigmoid\ngamma=0.5\nstep=5" + body;
    QTest::newRow("constant with burn-in") << "[net]\nbatch=4\nburn_in=6" + body;
}

// The [net] values the run reads and the rate at every batch number, as libdarknet has them.
void TorchEngineTest::ratesAgreeWithLibdarknet()
{
    QFETCH(QString, cfg);
    QTemporaryDir dir;
    const QString path = writeCfg(dir, "net.cfg", cfg);
    std::string error;
    NetworkBuilder::NetworkPtr net = NetworkBuilder::build(path.toStdString(), &error);
    QVERIFY2(net, error.c_str());
    CfgDocument document;
    NetSettings settings;
    QVERIFY(CfgDocument::readFile(path.toStdString(), &document, &error) && NetSettings::read(document, &settings, &error));
    QCOMPARE(settings.imagesPerPass(), net->batch);
    QCOMPARE(settings.subdivisions, net->subdivisions);
    QCOMPARE(settings.maxBatches, net->max_batches);
    QCOMPARE(settings.momentum, net->momentum);
    QCOMPARE(settings.decay, net->decay);
    QCOMPARE(settings.minRatio, net->min_ratio);
    QCOMPARE(settings.maxRatio, net->max_ratio);
    QCOMPARE(settings.hue, net->hue);
    QCOMPARE(settings.exposure, net->exposure);
    const size_t last = net->max_batches > 0 ? size_t(net->max_batches) : 50;
    for (size_t b = 0; b <= last; b += std::max<size_t>(1, last / 2000)) {
        *net->seen = b * size_t(net->batch) * size_t(net->subdivisions);
        QCOMPARE(settings.batchNumber(*net->seen), get_current_batch(net.get()));
        const float theirs = get_current_rate(net.get());
        QVERIFY2(settings.rate(b) == theirs, qPrintable(QString("batch %1: %2 %3").arg(b).arg(settings.rate(b)).arg(theirs)));
    }
}

void TorchEngineTest::testModeAndWeightsAgreeBothWays_data()
{
    QTest::addColumn<QString>("cfg");
    QTest::newRow("VoderoVod_32") << DarknetTrainingFolder::instantiate("VoderoVod_32", 4, 1, 3);
    QTest::newRow("resnet18") << DarknetTrainingFolder::instantiate("resnet18", 2, 1, 3);
    QString forkline = testutil::readAll(testutil::sourceDir() + "/resources/ai_models/forkline/efficientnet_b0.cfg");
    forkline.replace("$batch$", "2").replace("$subdivisions$", "1").replace("$classes$", "3");
    QTest::newRow("efficientnet_b0") << forkline;
    // darknet's shortcut of a larger map with more channels onto a smaller one, and its max pool
    // of an odd size with the default padding.
    QTest::newRow("shortcut of unequal shapes, odd pooling")
        << QString("[net]\nbatch=2\nsubdivisions=1\nwidth=17\nheight=17\nchannels=3\n\n"
                   "[convolutional]\nfilters=8\nsize=3\npad=1\nactivation=leaky\n\n"
                   "[maxpool]\nsize=3\nstride=2\n\n"
                   "[convolutional]\nbatch_normalize=1\nfilters=4\nsize=3\nstride=2\npad=1\nactivation=relu\n\n"
                   "[shortcut]\nfrom=-2\nactivation=leaky\n\n"
                   "[convolutional]\nfilters=3\nsize=1\nactivation=linear\n\n[avgpool]\n\n[softmax]\n");
}

// Weights from either engine load into the other, and both give the same test-mode scores.
void TorchEngineTest::testModeAndWeightsAgreeBothWays()
{
    QFETCH(QString, cfg);
    QTemporaryDir dir;
    const QString path = writeCfg(dir, "net.cfg", cfg);
    auto darknet = built<DarknetEngine>(path);
    auto torch = built<TorchEngine>(path);
    QVERIFY(darknet && torch);
    randomise(darknet->net(), 5);
    const QString fromDarknet = dir.filePath("darknet.weights");
    const std::vector<float> written = savedFloats(*darknet, fromDarknet);
    QVERIFY(loadExact(*torch, path, fromDarknet));
    const std::vector<float> rewritten = savedFloats(*torch, dir.filePath("torch.weights"));
    QCOMPARE(largestDifference(rewritten, written), 0.0);
    QCOMPARE(testutil::readBytes(dir.filePath("torch.weights")), testutil::readBytes(fromDarknet));

    const Batch batch = randomBatch(2, darknet->net()->w, 3, 9);
    std::vector<float> ours, theirs;
    torch->predict(batch.x.data(), 2, &ours);
    darknet->predict(batch.x.data(), 2, &theirs);
    QCOMPARE(ours.size(), size_t(6));
    QVERIFY2(largestDifference(ours, theirs) <= 1e-4, qPrintable(QString::number(largestDifference(ours, theirs))));

    auto again = built<DarknetEngine>(path);
    QVERIFY(loadExact(*again, path, dir.filePath("torch.weights")));
    again->predict(batch.x.data(), 2, &theirs);
    QVERIFY(largestDifference(ours, theirs) <= 1e-4);
}

void TorchEngineTest::refusesWhatItWouldTrainDifferently_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("message");
    QTest::newRow("adam") << "[net]\nadam=1" << "[net] adam=1 is not trained by the torch engine";
    QTest::newRow("stopbackward") << "[connected]\nstopbackward=1"
                                  << "[connected] at line 33: stopbackward=1 is not trained by the torch engine";
    QTest::newRow("activation") << "[connected]\nactivation=stair"
                                << "[connected] at line 33: activation=stair is not trained by the torch engine";
    QTest::newRow("cost type") << "[softmax]\n\n[cost]\ntype=smooth" << "type=smooth is not trained by the torch engine";
}

void TorchEngineTest::refusesWhatItWouldTrainDifferently()
{
    QFETCH(QString, change);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QString cfg = kPlainCfg;
    const QString section = change.section('\n', 0, 0);
    cfg.replace(cfg.indexOf(section), section.size(), change);
    const QString path = writeCfg(dir, "net.cfg", cfg);
    QVERIFY(built<DarknetEngine>(path));
    TorchEngine torch(summaryOf(path));
    std::string error;
    QVERIFY(!torch.build(path.toStdString(), &error));
    QVERIFY2(QString::fromStdString(error).contains(message), error.c_str());
}

// Mixed precision (bfloat16 on the CPU, where it is only on when asked for): from the same start
// and batch, an iteration's loss, update and test-mode scores stay close to those in fp32, and
// the weights written are fp32 as ever.
void TorchEngineTest::mixedPrecisionTrainsCloseToFullPrecision()
{
    QTemporaryDir dir;
    const QString cfg = writeCfg(dir, "net.cfg", DarknetTrainingFolder::instantiate("VoderoVod_32", 8, 2, 3));
    auto darknet = built<DarknetEngine>(cfg);
    auto full = built<TorchEngine>(cfg);
    auto mixed = std::make_unique<TorchEngine>(summaryOf(cfg), TorchEngineOptions{false, true});
    std::string error;
    QVERIFY2(darknet && full && mixed->build(cfg.toStdString(), &error), error.c_str());
    randomise(darknet->net(), 11); // rolling statistics that make test-mode scores tell apart
    const QString start = dir.filePath("start.weights");
    const std::vector<float> initial = savedFloats(*darknet, start);
    QVERIFY(loadExact(*full, cfg, start) && loadExact(*mixed, cfg, start));

    const Batch batch = randomBatch(8, 32, 3, 4);
    const auto never = [] { return false; };
    const TrainingEngine::Step a = full->trainBatch(batch, never);
    const TrainingEngine::Step b = mixed->trainBatch(batch, never);
    QVERIFY2(std::fabs(a.loss - b.loss) <= 0.02 * a.loss, qPrintable(QString("%1 %2").arg(a.loss).arg(b.loss)));
    QCOMPARE(mixed->imagesSeen(), full->imagesSeen());
    const std::vector<float> fullWeights = savedFloats(*full, dir.filePath("full.weights"));
    const std::vector<float> mixedWeights = savedFloats(*mixed, dir.filePath("mixed.weights"));
    QCOMPARE(testutil::readBytes(dir.filePath("mixed.weights")).size(), testutil::readBytes(start).size());
    const double step = largestDifference(fullWeights, initial);
    const double apart = largestDifference(mixedWeights, fullWeights);
    QVERIFY(step > 1e-4);
    QVERIFY2(apart <= 0.02 * step, qPrintable(QString("%1 of a step of %2").arg(apart).arg(step)));

    std::vector<float> fullScores, mixedScores;
    full->predict(batch.x.data(), 4, &fullScores);
    mixed->predict(batch.x.data(), 4, &mixedScores);
    QCOMPARE(mixedScores.size(), fullScores.size());
    QVERIFY2(largestDifference(mixedScores, fullScores) <= 0.02,
             qPrintable(QString::number(largestDifference(mixedScores, fullScores))));
}

void TorchEngineTest::lossScaleSkipsOverflowsAndGrowsAfterGoodSteps()
{
    TorchLossScale scale(8, 2);
    at::Tensor gradient = at::full({3}, 16.0f);
    QVERIFY(scale.unscale({gradient, at::Tensor()}));
    QCOMPARE(gradient[0].item<float>(), 2.0f); // divided by the scale
    QCOMPARE(scale.scale(), 8.0);
    QVERIFY(scale.unscale({gradient}));
    QCOMPARE(scale.scale(), 16.0); // two good steps in a row
    gradient[1] = INFINITY;
    QVERIFY(!scale.unscale({at::ones({2}), gradient}));
    QCOMPARE(scale.scale(), 8.0);
    gradient[1] = NAN;
    QVERIFY(!scale.unscale({gradient}));
    QCOMPARE(scale.scale(), 4.0);
    QVERIFY(scale.unscale({at::ones({2})}));
    QCOMPARE(scale.scale(), 4.0); // the count of good steps started again
}

QTEST_GUILESS_MAIN(TorchEngineTest)
#include "test_torch_engine.moc"
