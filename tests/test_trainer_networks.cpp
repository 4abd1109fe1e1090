// The networks the trainer builds on libdarknet beyond what the library parses (swish and
// [scale_channels]), checked against OpenCV's DNN and finite differences, and the weights it
// starts from: exact continuations, transfers from another class count, darknet's partial
// files, and the files it must refuse.

#include <QtTest>

#include <opencv2/dnn.hpp>

#include <darknet.h>

#include <cmath>
#include <cstring>
#include <random>

#include "darknet_engine.h"
#include "darknet_training_folder.h"
#include "network_builder.h"
#include "network_cfg_check.h"
#include "test_support.h"
#include "transfer_weights.h"

namespace {

// A block of efficientnet: swish on a normalised, a pointwise and a grouped convolution, the
// pooled squeeze, the logistic excitation and its [scale_channels], and the [shortcut] round it,
// whose gradient reaches the first layer past a 1 x 1 convolution.
const char* kExcitationCfg = R"([net]
batch=1
subdivisions=1
width=10
height=10
channels=3

[convolutional]
batch_normalize=1
filters=6
size=3
stride=1
pad=1
activation=swish

[convolutional]
filters=6
size=1
stride=1
activation=swish

[convolutional]
filters=6
groups=6
size=3
stride=1
pad=1
activation=swish

[avgpool]

[convolutional]
filters=3
size=1
stride=1
activation=swish

[convolutional]
filters=6
size=1
stride=1
activation=logistic

[scale_channels]
from=-4

[convolutional]
filters=6
size=1
stride=1
activation=linear

[shortcut]
from=-8
activation=linear

[convolutional]
filters=4
size=1
stride=1
activation=linear

[avgpool]

[softmax]
)";

QString packageDir() { return testutil::binaryDir() + "/ros/vela_lib_yolo"; }

NetworkBuilder::NetworkPtr buildFrom(const QString& path)
{
    std::string error;
    NetworkBuilder::NetworkPtr net = NetworkBuilder::build(path.toStdString(), &error);
    if (!net)
        qWarning("%s", error.c_str());
    return net;
}

void fillUniform(float* values, int n, std::mt19937& random, float low, float high)
{
    std::uniform_real_distribution<float> uniform(low, high);
    for (int i = 0; i < n; ++i)
        values[i] = uniform(random);
}

// Spread weights, biases and normalisation statistics, so that every unit is neither dead nor
// saturated.
void randomise(network* net, unsigned seed)
{
    std::mt19937 random(seed);
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (l.type != CONVOLUTIONAL)
            continue;
        fillUniform(l.weights, l.nweights, random, -0.6f, 0.6f);
        fillUniform(l.biases, l.n, random, -0.3f, 0.3f);
        if (l.batch_normalize) {
            fillUniform(l.scales, l.n, random, 0.5f, 1.5f);
            fillUniform(l.rolling_mean, l.n, random, -0.2f, 0.2f);
            fillUniform(l.rolling_variance, l.n, random, 0.5f, 1.5f);
        }
    }
}

float lossOf(network* net, const std::vector<float>& input, const std::vector<float>& truth)
{
    net->train = 1;
    std::memcpy(net->input, input.data(), sizeof(float) * input.size());
    std::memcpy(net->truth, truth.data(), sizeof(float) * truth.size());
    forward_network(net);
    return *net->cost;
}

// |a - b| / |b| over all values.
double relativeError(const std::vector<double>& a, const std::vector<double>& b)
{
    double difference = 0, norm = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        difference += (a[i] - b[i]) * (a[i] - b[i]);
        norm += b[i] * b[i];
    }
    return std::sqrt(difference / norm);
}

QByteArray cfgPath(const QTemporaryDir& dir, const QString& name, const QString& text)
{
    const QString path = dir.filePath(name);
    testutil::writeBytes(path, text.toUtf8());
    return path.toUtf8();
}

void saveWithSeen(network* net, const QString& path, size_t seen)
{
    *net->seen = seen;
    QByteArray name = path.toUtf8();
    save_weights(net, name.data());
}

// What the trainer's check finds in a configuration, weights layout included.
NetworkSummary summaryOf(const QString& path)
{
    NetworkSummary summary;
    std::string error;
    if (!NetworkCfgCheck::checkFile(path.toStdString(), &summary, &error))
        qWarning("%s", error.c_str());
    return summary;
}

// The darknet engine on a configuration file, built.
std::unique_ptr<DarknetEngine> engineFor(const QString& path)
{
    auto engine = std::make_unique<DarknetEngine>(summaryOf(path));
    std::string error;
    if (!engine->build(path.toStdString(), &error)) {
        qWarning("%s", error.c_str());
        return nullptr;
    }
    return engine;
}

bool sameValues(const float* a, const float* b, int n) { return std::memcmp(a, b, sizeof(float) * size_t(n)) == 0; }

bool sameLayer(const layer& a, const layer& b)
{
    if (a.type != CONVOLUTIONAL)
        return true;
    return sameValues(a.weights, b.weights, a.nweights) && sameValues(a.biases, b.biases, a.n) &&
           (!a.batch_normalize || (sameValues(a.scales, b.scales, a.n) &&
                                   sameValues(a.rolling_mean, b.rolling_mean, a.n) &&
                                   sameValues(a.rolling_variance, b.rolling_variance, a.n)));
}

} // namespace

class TrainerNetworksTest : public QObject
{
    Q_OBJECT

private:
    ScopedInterfaceDir interfaceDir;

private slots:
    void excitationBlockMatchesOpenCvAndFiniteDifferences();
    void forklineTemplatesBuildAsChecked_data();
    void forklineTemplatesBuildAsChecked();
    void weightsTransferFromAnotherClassCount();
    void weightsPlansAndRefusals_data();
    void weightsPlansAndRefusals();
    void trainerStartsFromWeightsOfTenClasses();
};

void TrainerNetworksTest::excitationBlockMatchesOpenCvAndFiniteDifferences()
{
    QTemporaryDir dir;
    const QString cfg = dir.filePath("se.cfg");
    testutil::writeBytes(cfg, kExcitationCfg);
    auto net = buildFrom(cfg);
    QVERIFY(net);
    randomise(net.get(), 3);
    const QString weights = dir.filePath("se.weights");
    saveWithSeen(net.get(), weights, 0);

    std::mt19937 random(5);
    std::vector<float> input(size_t(net->inputs));
    fillUniform(input.data(), net->inputs, random, 0.f, 1.f);

    // Forward: the trainer's prediction against OpenCV's import of the same files.
    const float* ours = network_predict(net.get(), input.data());
    cv::dnn::Net reference = cv::dnn::readNetFromDarknet(cfg.toStdString(), weights.toStdString());
    QVERIFY(!reference.empty());
    reference.setInput(cv::Mat(std::vector<int>{1, 3, net->h, net->w}, CV_32F, input.data()));
    const cv::Mat theirs = reference.forward();
    QCOMPARE(int(theirs.total()), net->outputs);
    float spread = 0;
    for (int i = 0; i < net->outputs; ++i) {
        QVERIFY2(std::fabs(ours[i] - theirs.ptr<float>()[i]) <= 1e-5f, qPrintable(QString::number(i)));
        spread = std::max(spread, std::fabs(ours[i] - 1.f / float(net->outputs)));
    }
    QVERIFY2(spread > 0.01f, "the scores should tell the classes apart");

    // Backward: the parameter gradients of every layer against central differences of the loss.
    // The least likely class as the truth gives large gradients, well above float round-off.
    std::vector<float> truth(size_t(net->outputs), 0.f);
    truth[size_t(std::min_element(ours, ours + net->outputs) - ours)] = 1.f;
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (l.type == CONVOLUTIONAL) {
            std::fill(l.weight_updates, l.weight_updates + l.nweights, 0.f);
            std::fill(l.bias_updates, l.bias_updates + l.n, 0.f);
        }
    }
    lossOf(net.get(), input, truth);
    backward_network(net.get());
    const float step = 1e-2f;
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (l.type != CONVOLUTIONAL)
            continue;
        std::vector<double> backward, numeric;
        auto compare = [&](float* values, const float* updates, int n) {
            for (int k = 0; k < n; ++k) {
                const float kept = values[k];
                values[k] = kept + step;
                const double up = lossOf(net.get(), input, truth);
                values[k] = kept - step;
                const double down = lossOf(net.get(), input, truth);
                values[k] = kept;
                numeric.push_back((up - down) / (2.0 * step));
                backward.push_back(-double(updates[k])); // darknet keeps the negative gradient
            }
        };
        compare(l.weights, l.weight_updates, l.nweights);
        compare(l.biases, l.bias_updates, l.n);
        const double error = relativeError(backward, numeric);
        QVERIFY2(error <= 1e-2, qPrintable(QString("layer %1: relative error %2").arg(i).arg(error)));
    }
}

void TrainerNetworksTest::forklineTemplatesBuildAsChecked_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name : {"efficientnet_b0", "efficientnet-lite3", "mobilenet-v2"})
        QTest::newRow(name) << QString(name);
}

// The check that runs before libdarknet sees a configuration agrees with the network built.
void TrainerNetworksTest::forklineTemplatesBuildAsChecked()
{
    QFETCH(QString, name);
    QString text = testutil::readAll(testutil::sourceDir() + "/resources/ai_models/forkline/" + name + ".cfg");
    text.replace("$batch$", "2").replace("$subdivisions$", "1").replace("$classes$", "3");
    CfgDocument document;
    NetworkSummary summary;
    std::string error;
    QVERIFY2(CfgDocument::parse(text.toStdString(), &document, &error), error.c_str());
    QVERIFY2(NetworkCfgCheck::check(document, &summary, &error), error.c_str());
    QTemporaryDir dir;
    auto net = buildFrom(QString::fromUtf8(cfgPath(dir, "net.cfg", text)));
    QVERIFY(net);
    QCOMPARE(summary.layers, net->n);
    for (int i = 0; i < net->n; ++i)
        QCOMPARE(summary.layerOutputs.at(size_t(i)), (long long)net->layers[i].outputs);
    QCOMPARE(net->outputs, 3);
}

// Weights of a 10-class VoderoVod_32 continue into a 3-class one: every layer but the last is
// the file's, the last keeps its fresh initialisation, and the count of images seen starts over.
// The same network continues with its count.
void TrainerNetworksTest::weightsTransferFromAnotherClassCount()
{
    QTemporaryDir dir;
    auto ten = buildFrom(QString::fromUtf8(cfgPath(dir, "ten.cfg", DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, 10))));
    auto threeEngine = engineFor(QString::fromUtf8(cfgPath(dir, "three.cfg", DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, 3))));
    QVERIFY(ten && threeEngine);
    network* three = threeEngine->net();
    const WeightsLayout layout = summaryOf(dir.filePath("three.cfg")).weights;
    randomise(ten.get(), 11);
    const QString tenWeights = dir.filePath("ten.weights");
    saveWithSeen(ten.get(), tenWeights, 64000);

    const int last = three->n - 3; // the classifier convolution, before [avgpool] and [softmax]
    const layer& head = three->layers[last];
    const std::vector<float> freshHead(head.weights, head.weights + head.nweights);
    TransferWeights::Plan plan;
    std::string error;
    QVERIFY2(TransferWeights::plan(tenWeights.toStdString(), layout, &plan, &error), error.c_str());
    QVERIFY(!plan.exact);
    QCOMPARE(plan.loadedLayers, last);
    QCOMPARE(plan.initialised, std::vector<int>{last});
    QVERIFY(threeEngine->loadWeights(tenWeights.toStdString(), plan, &error));
    for (int i = 0; i < last; ++i)
        QVERIFY2(sameLayer(three->layers[i], ten->layers[i]), qPrintable(QString::number(i)));
    QVERIFY(sameValues(head.weights, freshHead.data(), head.nweights));
    QVERIFY(!sameValues(head.weights, ten->layers[last].weights, head.nweights));
    QCOMPARE(*three->seen, size_t(0));
    QCOMPARE(QString::fromStdString(TransferWeights::summary(layout, "ten.weights", plan)),
             QString("transfer from ten.weights: loaded the first 7 of 10 layers, initialised layer 7 "
                     "(convolutional); images seen start again from 0"));

    const QString threeWeights = dir.filePath("three.weights");
    saveWithSeen(three, threeWeights, 4321);
    auto again = engineFor(dir.filePath("three.cfg"));
    QVERIFY(TransferWeights::plan(threeWeights.toStdString(), layout, &plan, &error));
    QVERIFY(plan.exact);
    QVERIFY(again->loadWeights(threeWeights.toStdString(), plan, &error));
    QCOMPARE(*again->net()->seen, size_t(4321));
    for (int i = 0; i < three->n; ++i)
        QVERIFY(sameLayer(again->net()->layers[i], three->layers[i]));
}

void TrainerNetworksTest::weightsPlansAndRefusals_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("loadedLayers"); // -1: refused
    QTest::addColumn<QString>("message");
    QTest::newRow("partial file of the first layers") << "partial" << 4 << "";
    QTest::newRow("fewer classes than the network") << "two classes" << 7 << "";
    QTest::newRow("truncated inside a layer") << "truncated" << -1 << "it holds 245 parameters, the network has 3087";
    QTest::newRow("first layer of another shape") << "other first layer" << -1 << "does not fit the network";
    QTest::newRow("a text file") << "text" << -1 << "is not a darknet weights file";
    QTest::newRow("header only") << "header" << -1 << "it holds 0 parameters";
    QTest::newRow("one byte past a layer") << "odd size" << -1 << "does not fit the network";
    QTest::newRow("one byte too long") << "one byte more" << -1 << "the 12349 bytes after its header are no whole number";
}

void TrainerNetworksTest::weightsPlansAndRefusals()
{
    QFETCH(QString, damage);
    QFETCH(int, loadedLayers);
    QFETCH(QString, message);
    QTemporaryDir dir;
    auto net = buildFrom(QString::fromUtf8(cfgPath(dir, "net.cfg", DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, 3))));
    QVERIFY(net);
    randomise(net.get(), 2);
    const QString path = dir.filePath("file.weights");
    QByteArray name = path.toUtf8();
    if (damage == "partial") {
        save_weights_upto(net.get(), name.data(), 3);
    } else if (damage == "two classes" || damage == "other first layer") {
        QString text = DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, damage == "two classes" ? 2 : 3);
        if (damage == "other first layer")
            text.replace(text.indexOf("filters=4"), 9, "filters=5");
        auto other = buildFrom(QString::fromUtf8(cfgPath(dir, "other.cfg", text)));
        randomise(other.get(), 4);
        saveWithSeen(other.get(), path, 0);
    } else if (damage == "text") {
        testutil::writeBytes(path, DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, 3).toUtf8());
    } else {
        saveWithSeen(net.get(), path, 0);
        QFile file(path);
        const qint64 size = damage == "truncated"    ? 1000
                            : damage == "header"     ? 20
                            : damage == "odd size"   ? 20 + 124 * 4 + 1
                                                     : 20 + 3087 * 4 + 1;
        QVERIFY(file.resize(size));
    }
    TransferWeights::Plan plan;
    std::string error;
    const bool planned = TransferWeights::plan(path.toStdString(), summaryOf(dir.filePath("net.cfg")).weights, &plan,
                                               &error);
    if (loadedLayers < 0) {
        QVERIFY(!planned);
        QVERIFY2(QString::fromStdString(error).contains(message), error.c_str());
        QVERIFY(QString::fromStdString(error).startsWith("weights file " + path));
        return;
    }
    QVERIFY2(planned, error.c_str());
    QVERIFY(!plan.exact);
    QCOMPARE(plan.loadedLayers, loadedLayers);
}

// The trainer executable itself starts from the 10-class file: it says what it loaded, counts
// its iterations from 1 and trains.
void TrainerNetworksTest::trainerStartsFromWeightsOfTenClasses()
{
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), {"circle", "square", "triangle"}, 3, 32, 40);
    QString cfg = DarknetTrainingFolder::instantiate("VoderoVod_32", 8, 1, 3);
    cfg = DarknetTrainingFolder::withNetValue(cfg, "max_batches", "2");
    DarknetTrainingFolder::writeTrainCfg(gen.path(), cfg);
    QTemporaryDir dir;
    auto ten = buildFrom(QString::fromUtf8(cfgPath(dir, "ten.cfg", DarknetTrainingFolder::instantiate("VoderoVod_32", 1, 1, 10))));
    QVERIFY(ten);
    saveWithSeen(ten.get(), gen.path() + "/data_gen/ten.weights", 640000);

    QProcess trainer;
    QProcessEnvironment env = testutil::programEnvironment(interfaceDir.path());
    trainer.setProcessEnvironment(env);
    trainer.setWorkingDirectory(gen.path());
    trainer.start(packageDir() + "/darknet_cpu_", {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg",
                                                   "data_gen/ten.weights", "-dont_show"});
    QVERIFY(trainer.waitForFinished(120000));
    const QString out = QString::fromUtf8(trainer.readAllStandardOutput());
    QVERIFY2(trainer.exitCode() == 0, trainer.readAllStandardError().constData());
    QVERIFY2(out.contains("transfer from data_gen/ten.weights: loaded the first 7 of 10 layers, initialised layer 7 "
                          "(convolutional); images seen start again from 0\n"),
             qPrintable(out));
    QVERIFY2(out.contains("iteration[1]") && out.contains("iteration[2]") && !out.contains("iteration[3]"),
             qPrintable(out));
}

QTEST_GUILESS_MAIN(TrainerNetworksTest)
#include "test_trainer_networks.moc"
