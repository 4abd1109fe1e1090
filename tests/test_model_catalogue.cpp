// The model catalogue and its embedded templates: the catalogue's content, placeholder
// instantiation, the [net] values of every template, and that the instantiated test
// configurations really build: mainline ones in the darknet library, forkline ones in OpenCV's
// darknet importer.

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/dnn.hpp>

#include <darknet.h>

#include "cfg_document.h"
#include "epoch_schedule.h"
#include "shape_walk.h"
#include "weights_layout.h"
#include "model_data.h"
#include "model_template.h"
#include "net_settings.h"
#include "test_support.h"

namespace {

// One catalogue row; "" marks a key the template's [net] section does not set.
struct CatalogueRow
{
    const char* name;
    int family;
    int width;
    int height;
    const char* learningRate;
    const char* policy;
    const char* maxBatches;
    const char* burnIn;
    const char* classesKey; // "filters" of the last [convolutional] or "output" of the last [connected]
    int layers;             // sections after [net]
};

// In catalogue order.
const CatalogueRow kCatalogue[] = {
    {"VoderoVod_128", 0, 128, 128, "0.1", "poly", "800000", "1000", "filters", 10},
    {"VoderoVod_32", 0, 32, 32, "0.1", "poly", "800000", "1000", "filters", 10},
    {"VoderoVod_64", 0, 64, 64, "0.1", "poly", "800000", "1000", "filters", 10},
    {"alexnet", 0, 227, 227, "0.01", "poly", "800000", "", "output", 14},
    {"darknet", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 16},
    {"darknet19", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 26},
    {"darknet19_448", 0, 448, 448, "0.001", "poly", "100000", "", "filters", 26},
    {"darknet53", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 78},
    {"darknet53_448", 0, 448, 448, "0.001", "poly", "100000", "", "filters", 78},
    {"densenet201", 0, 256, 256, "0.1", "poly", "1600000", "1000", "filters", 305},
    {"efficientnet-lite3", 1, 288, 288, "0.256", "step", "1600000", "1000", "filters", 117},
    {"efficientnet_b0", 1, 224, 224, "0.256", "poly", "800000", "1000", "filters", 136},
    {"extraction", 0, 224, 224, "0.1", "poly", "1600000", "", "filters", 27},
    {"mobilenet-v2", 1, 224, 224, "0.01", "poly", "600000", "", "filters", 67},
    {"resnet101", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 138},
    {"resnet152", 0, 256, 256, "0.1", "poly", "1600000", "1000", "filters", 205},
    {"resnet18", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 29},
    {"resnet34", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 53},
    {"resnet50", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 69},
    {"resnext101-32x4d", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 137},
    {"resnext152-32x4d", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 205},
    {"resnext50", 0, 256, 256, "0.1", "poly", "800000", "1000", "filters", 69},
    {"vgg-16", 0, 256, 256, "0.00001", "", "", "", "output", 25},
};
const int kCatalogueSize = int(sizeof kCatalogue / sizeof kCatalogue[0]);

const int kClasses = 5;
const int kBatch = 64;
const int kSubdivisions = 8;

struct Section
{
    QString kind;
    QMap<QString, QString> values;
};

// Sections of a darknet configuration as darknet reads it: whitespace is insignificant, lines
// beginning with '#' or ';' are comments.
QList<Section> sections(const QString& cfg)
{
    QList<Section> result;
    for (QString line : cfg.split('\n')) {
        line.remove(QRegularExpression(QStringLiteral("\\s")));
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            result.append({line.mid(1, line.indexOf(']') - 1), {}});
        } else if (!result.isEmpty()) {
            const int eq = line.indexOf('=');
            result.last().values.insert(line.left(eq), line.mid(eq + 1));
        }
    }
    return result;
}

QString templateText(const CatalogueRow& row)
{
    QFile file(ModelData().models.value(row.name).cfgPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

ModelTemplate::Configs instantiated(const CatalogueRow& row)
{
    return ModelTemplate::instantiate(ModelData().models.value(row.name), kBatch, kSubdivisions, kClasses);
}

void addRows(const std::function<bool(const CatalogueRow&)>& wanted)
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < kCatalogueSize; ++i)
        if (wanted(kCatalogue[i]))
            QTest::newRow(kCatalogue[i].name) << i;
}

void addAllRows()
{
    addRows([](const CatalogueRow&) { return true; });
}

// The lines that differ between two texts of equal line count, as "old -> new".
QStringList differingLines(const QStringList& a, const QStringList& b)
{
    QStringList result;
    for (int i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i])
            result << a[i] + QStringLiteral(" -> ") + b[i];
    return result;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

// What the darknet library made of a configuration, parsed in a child process: the library
// reports bad input by printing and calling exit(), and a child keeps that (and the memory of
// the big networks) away from the test.
struct DarknetParse
{
    bool completed = false;
    int layers = 0;
    int outputs = 0;
};

DarknetParse parseWithDarknet(const QString& cfgPath, const QString& logPath)
{
    QByteArray cfg = QFile::encodeName(cfgPath);
    const QByteArray log = QFile::encodeName(logPath);
    int channel[2];
    if (pipe(channel) != 0)
        return {};
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const int logFd = open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(logFd, STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        network* net = parse_network_cfg(cfg.data());
        const int result[2] = {net->n, net->outputs};
        const bool sent = write(channel[1], result, sizeof result) == sizeof result;
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    DarknetParse parse;
    int result[2];
    if (child > 0 && read(channel[0], result, sizeof result) == sizeof result) {
        parse.completed = true;
        parse.layers = result[0];
        parse.outputs = result[1];
    }
    close(channel[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    parse.completed = parse.completed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return parse;
}

template <typename T>
void appendRaw(QByteArray& bytes, T value)
{
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A darknet weights file with small random parameters for every convolutional layer of the
// configuration (biases, batch-norm scales, means and variances, kernels), in darknet's order.
// Empty when the configuration holds a layer kind this writer does not know.
QByteArray randomDarknetWeights(const QString& cfg)
{
    const QList<Section> layers = sections(cfg);
    if (layers.isEmpty())
        return {};
    std::mt19937 random(7);
    std::uniform_real_distribution<float> small(-0.1f, 0.1f);
    std::uniform_real_distribution<float> variance(0.5f, 1.5f);
    auto appendRandom = [&](QByteArray& bytes, qint64 count, std::uniform_real_distribution<float>& values) {
        for (qint64 i = 0; i < count; ++i)
            appendRaw(bytes, values(random));
    };

    QByteArray bytes;
    appendRaw<qint32>(bytes, 0); // major
    appendRaw<qint32>(bytes, 2); // minor: from 0.2 on, "seen" is 64 bits wide
    appendRaw<qint32>(bytes, 0); // revision
    appendRaw<quint64>(bytes, 0);

    const QStringList passThrough = {"avgpool", "maxpool", "dropout", "shortcut", "scale_channels",
                                     "softmax"};
    int channels = layers[0].values.value("channels").toInt();
    QVector<int> outputChannels;
    for (int i = 1; i < layers.size(); ++i) {
        const Section& layer = layers[i];
        if (layer.kind == QLatin1String("convolutional")) {
            const int filters = layer.values.value("filters").toInt();
            const int groups = layer.values.value("groups", "1").toInt();
            const int size = layer.values.value("size", "1").toInt();
            appendRandom(bytes, filters, small);
            if (layer.values.value("batch_normalize") == QLatin1String("1")) {
                appendRandom(bytes, 2 * filters, small);
                appendRandom(bytes, filters, variance);
            }
            appendRandom(bytes, qint64(filters) * (channels / groups) * size * size, small);
            channels = filters;
        } else if (layer.kind == QLatin1String("route")) {
            channels = 0;
            for (const QString& from : layer.values.value("layers").split(',')) {
                const int index = from.toInt() < 0 ? outputChannels.size() + from.toInt() : from.toInt();
                channels += outputChannels.value(index);
            }
        } else if (!passThrough.contains(layer.kind)) {
            return {};
        }
        outputChannels.append(channels);
    }
    return bytes;
}

} // namespace

class TestModelCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void catalogueListsEveryTemplateInOrder();
    void unknownModelHasNoTemplate();

    void templatePlacesItsPlaceholders_data() { addAllRows(); }
    void templatePlacesItsPlaceholders();
    void instantiationReplacesOnlyPlaceholderLines_data() { addAllRows(); }
    void instantiationReplacesOnlyPlaceholderLines();
    void netValuesAndLayerCountMatchCatalogue_data() { addAllRows(); }
    void netValuesAndLayerCountMatchCatalogue();

    void templateIsReadUpToFirstNul();
    void unreadableTemplateGivesNoConfigs();
    void readmeModelTableFollowsTheCatalogue();
    void publishedWeightsFitTheirTemplatesAtImageNetsClasses();
    void epochBudgetEndsEveryTemplatesScheduleThere_data() { addAllRows(); }
    void epochBudgetEndsEveryTemplatesScheduleThere();

    void darknetBuildsMainlineTestConfig_data()
    {
        addRows([](const CatalogueRow& row) { return row.family == 0; });
    }
    void darknetBuildsMainlineTestConfig();
    void opencvRunsForklineTestConfig_data()
    {
        addRows([](const CatalogueRow& row) { return row.family == 1; });
    }
    void opencvRunsForklineTestConfig();
};

void TestModelCatalogue::catalogueListsEveryTemplateInOrder()
{
    const ModelData catalogue;
    QStringList expected;
    for (const CatalogueRow& row : kCatalogue)
        expected << row.name;
    QCOMPARE(catalogue.models.keys(), expected);

    int forkline = 0;
    for (const CatalogueRow& row : kCatalogue) {
        const MD md = catalogue.models.value(row.name);
        const QString folder = row.family == 1 ? "forkline" : "mainline";
        QCOMPARE(md.family, row.family);
        QCOMPARE(md.cfgPath, QString(":/vela_halvard_classif_v2/ai_models/%1/%2.cfg").arg(folder, row.name));
        forkline += md.family;
    }
    QCOMPARE(forkline, 3);
}

void TestModelCatalogue::unknownModelHasNoTemplate()
{
    ModelData catalogue;
    const MD md = catalogue.models["no-such-model"];
    QCOMPARE(md.family, 0);
    QVERIFY(md.cfgPath.isEmpty());
}

void TestModelCatalogue::templatePlacesItsPlaceholders()
{
    QFETCH(int, row);
    const CatalogueRow& model = kCatalogue[row];
    const QString text = templateText(model);
    QVERIFY(!text.isEmpty());

    // batch and subdivisions open the [net] section (comments before it are allowed).
    const QStringList lines = text.split('\n');
    QStringList settings;
    for (const QString& line : lines.mid(lines.indexOf("[net]") + 1))
        if (!line.trimmed().isEmpty() && !line.trimmed().startsWith('#'))
            settings << line;
    QCOMPARE(settings.mid(0, 2), QStringList({"batch=$batch$", "subdivisions=$subdivisions$"}));

    // Three placeholders in all; the class count is the width of the final classifier layer.
    QCOMPARE(text.count('$'), 6);
    QCOMPARE(text.count("$classes$"), 1);
    const QList<Section> layers = sections(text);
    const QString kind = QLatin1String(model.classesKey) == "output" ? "connected" : "convolutional";
    int last = -1;
    for (int i = 0; i < layers.size(); ++i)
        if (layers[i].kind == kind)
            last = i;
    QVERIFY(last > 0);
    QCOMPARE(layers[last].values.value(model.classesKey), QString("$classes$"));
    if (kind == "convolutional")
        QCOMPARE(layers[last].values.value("size"), QString("1"));
    bool softmaxFollows = false;
    for (int i = last + 1; i < layers.size(); ++i)
        softmaxFollows = softmaxFollows || layers[i].kind == "softmax";
    QVERIFY(softmaxFollows);
}

void TestModelCatalogue::instantiationReplacesOnlyPlaceholderLines()
{
    QFETCH(int, row);
    const QString text = templateText(kCatalogue[row]);
    const ModelTemplate::Configs configs = instantiated(kCatalogue[row]);
    QVERIFY(configs.opened);
    QVERIFY(!configs.train.contains('$'));
    QVERIFY(!configs.test.contains('$'));

    const QStringList lines = text.split('\n');
    const QStringList train = configs.train.split('\n');
    const QStringList test = configs.test.split('\n');
    QCOMPARE(train.size(), lines.size());
    QCOMPARE(test.size(), lines.size());
    QCOMPARE(differingLines(lines, train),
             QStringList({"batch=$batch$ -> batch=64", "subdivisions=$subdivisions$ -> subdivisions=8",
                          QString("%1=$classes$ -> %1=5").arg(kCatalogue[row].classesKey)}));
    QCOMPARE(differingLines(train, test),
             QStringList({"batch=64 -> batch=1", "subdivisions=8 -> subdivisions=1"}));
}

void TestModelCatalogue::netValuesAndLayerCountMatchCatalogue()
{
    QFETCH(int, row);
    const CatalogueRow& model = kCatalogue[row];
    const QList<Section> layers = sections(templateText(model));
    QVERIFY(!layers.isEmpty());
    QCOMPARE(layers[0].kind, QString("net"));
    const QMap<QString, QString>& net = layers[0].values;
    QCOMPARE(net.value("width"), QString::number(model.width));
    QCOMPARE(net.value("height"), QString::number(model.height));
    QCOMPARE(net.value("channels"), QString("3"));
    const QList<QPair<QString, QString>> optional = {{"learning_rate", model.learningRate},
                                                    {"policy", model.policy},
                                                    {"max_batches", model.maxBatches},
                                                    {"burn_in", model.burnIn}};
    for (const auto& [key, value] : optional) {
        QCOMPARE(net.contains(key), !value.isEmpty());
        QCOMPARE(net.value(key), value);
    }
    QCOMPARE(layers.size() - 1, model.layers);
}

// The README's table is bench_model_guide's output pasted between two markers: one row per
// template of the catalogue, in its order, with the input size of the template's [net].
void TestModelCatalogue::readmeModelTableFollowsTheCatalogue()
{
    const QString readme = testutil::readAll(testutil::sourceDir() + "/README.md");
    const int begin = readme.indexOf("<!-- model table: bench_model_guide -->");
    const int end = readme.indexOf("<!-- end of model table -->");
    QVERIFY(begin >= 0 && end > begin);
    const QRegularExpression row("^\\| `([^`]+)` \\| (\\d+) x (\\d+) \\|", QRegularExpression::MultilineOption);
    QStringList listed;
    for (auto match = row.globalMatch(readme.mid(begin, end - begin)); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        listed << m.captured(1) + " " + m.captured(2) + "x" + m.captured(3);
    }
    const ModelData catalogue;
    QStringList expected;
    for (auto it = catalogue.models.cbegin(); it != catalogue.models.cend(); ++it) {
        const QString text = ModelTemplate::instantiate(it.value(), kBatch, kSubdivisions, kClasses).train;
        const QMap<QString, QString> net = sections(text).value(0).values;
        expected << it.key() + " " + net.value("width") + "x" + net.value("height");
    }
    QCOMPARE(listed, expected);
}

// The notebook driver's table of darknet's published ImageNet weights: every file named belongs
// to a template of the catalogue and holds exactly the parameters that template has at 1000
// classes (the driver refuses any other size); the README's model table names the same files.
void TestModelCatalogue::publishedWeightsFitTheirTemplatesAtImageNetsClasses()
{
    const QJsonObject table =
        QJsonDocument::fromJson(testutil::readBytes(testutil::sourceDir() + "/tools/pretrained_weights.json")).object();
    const QJsonObject published = table["models"].toObject();
    QVERIFY(published.size() >= 10);
    const ModelData catalogue;
    for (auto it = published.constBegin(); it != published.constEnd(); ++it) {
        QVERIFY2(catalogue.models.contains(it.key()), qPrintable(it.key()));
        const QString cfg = ModelTemplate::instantiate(catalogue.models.value(it.key()), 1, 1, 1000).train;
        CfgDocument document;
        std::string error;
        QVERIFY(CfgDocument::parse(cfg.toStdString(), &document, &error));
        NetSettings net;
        QVERIFY(NetSettings::read(document, &net, &error));
        ShapeWalk walk{ShapeWalk::Rules()};
        CfgFailure failure;
        QVERIFY(walk.walk(document, {net.width, net.height, net.channels, (long long)net.width * net.height * net.channels},
                          &failure));
        const QJsonObject entry = it.value().toObject();
        QCOMPARE(entry["file"].toString(), it.key() + ".weights");
        QCOMPARE(qint64(entry["floats"].toDouble()), qint64(WeightsLayout::of(walk.layers()).loadedTotal()));
    }
    const QString readme = testutil::readAll(testutil::sourceDir() + "/README.md");
    const QRegularExpression named("^\\| `([^`]+)` \\|.*\\| `([^`]+)\\.weights` \\|$", QRegularExpression::MultilineOption);
    QStringList inReadme;
    for (auto match = named.globalMatch(readme); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        QCOMPARE(m.captured(2), m.captured(1));
        inReadme << m.captured(1);
    }
    QCOMPARE(inReadme, published.keys());
}

// A budget of 3000 iterations: the template's policy runs its whole course within it (the rate
// at the end is the template's final rate, zero for poly), its milestones move by the same
// factor, burn-in takes at most a tenth, and nothing else in the file changes.
void TestModelCatalogue::epochBudgetEndsEveryTemplatesScheduleThere()
{
    QFETCH(int, row);
    const qint64 budget = EpochSchedule::iterations(20, 2399, 16);
    QCOMPARE(budget, qint64(2999)); // ceil(20 x 2399 / 16)
    QCOMPARE(EpochSchedule::iterations(0, 2399, 16), qint64(0));
    const QString original = instantiated(kCatalogue[row]).train;
    const QString fitted = EpochSchedule::fit(original, budget);
    const auto settings = [](const QString& text) {
        CfgDocument document;
        NetSettings net;
        std::string error;
        const bool read = CfgDocument::parse(text.toStdString(), &document, &error) &&
                          NetSettings::read(document, &net, &error);
        return read ? net : NetSettings();
    };
    const NetSettings before = settings(original);
    const NetSettings after = settings(fitted);
    QCOMPARE(after.maxBatches, int(budget));
    QCOMPARE(after.policy, before.policy);
    QCOMPARE(after.burnIn, std::min(before.burnIn, int(budget / 10)));
    const double factor = before.maxBatches > 0 ? double(budget) / before.maxBatches : 1;
    const QStringList stepsBefore = sections(original).value(0).values.value("steps").split(',', Qt::SkipEmptyParts);
    const QStringList stepsAfter = sections(fitted).value(0).values.value("steps").split(',', Qt::SkipEmptyParts);
    QCOMPARE(stepsAfter.size(), stepsBefore.size());
    for (int i = 0; i < stepsBefore.size(); ++i)
        QCOMPARE(stepsAfter[i].toInt(), std::max(1, int(std::lround(stepsBefore[i].toInt() * factor))));
    QCOMPARE(after.rate(size_t(budget)), before.rate(size_t(before.maxBatches)));
    if (before.policy == NetSettings::Policy::Poly) {
        QCOMPARE(after.rate(size_t(budget)), 0.f);
        QVERIFY(after.rate(size_t(budget / 2)) > 0.f);
    }
    const QStringList schedule = {"max_batches", "burn_in", "steps", "step", "gamma"};
    QStringList lines = fitted.split('\n');
    if (before.maxBatches == 0) // the one line added
        QCOMPARE(lines.removeAll(QStringLiteral("max_batches=2999")), 1);
    for (const QString& change : differingLines(original.split('\n'), lines))
        QVERIFY2(schedule.contains(change.section('=', 0, 0)), qPrintable(change));
}

void TestModelCatalogue::templateIsReadUpToFirstNul()
{
    QTemporaryDir dir;
    const char raw[] = "[net]\r\nbatch=$batch$\r\nfilters=$classes$\0$batch$";
    const QString path = writeFile(dir, "nul.cfg", QByteArray(raw, sizeof raw - 1));
    QVERIFY(!path.isEmpty());
    const ModelTemplate::Configs configs = ModelTemplate::instantiate(path, 32, 4, 12);
    QVERIFY(configs.opened);
    QCOMPARE(configs.train, QString("[net]\nbatch=32\nfilters=12"));
    QCOMPARE(configs.test, QString("[net]\nbatch=1\nfilters=12"));
}

void TestModelCatalogue::unreadableTemplateGivesNoConfigs()
{
    const MD unknownModel = ModelData().models["no-such-model"];
    const ModelTemplate::Configs unknown = ModelTemplate::instantiate(unknownModel, 64, 8, 5);
    QVERIFY(!unknown.opened);
    QVERIFY(unknown.train.isEmpty() && unknown.test.isEmpty());

    QTemporaryDir dir;
    QVERIFY(!ModelTemplate::instantiate(dir.filePath("missing.cfg"), 64, 8, 5).opened);
    QVERIFY(!ModelTemplate::instantiate(dir.path(), 64, 8, 5).opened);
}

void TestModelCatalogue::darknetBuildsMainlineTestConfig()
{
    QFETCH(int, row);
    const CatalogueRow& model = kCatalogue[row];
    QTemporaryDir dir;
    const QString cfg = writeFile(dir, "test.cfg", instantiated(model).test.toUtf8());
    QVERIFY(!cfg.isEmpty());

    const DarknetParse parse = parseWithDarknet(cfg, dir.filePath("darknet.log"));
    if (!parse.completed) {
        const QString log = QString::fromUtf8(testutil::readBytes(dir.filePath("darknet.log")));
        QFAIL(qPrintable("darknet could not build the network:\n" + log.right(2000)));
    }
    QCOMPARE(parse.layers, model.layers);
    QCOMPARE(parse.outputs, kClasses);
}

void TestModelCatalogue::opencvRunsForklineTestConfig()
{
    QFETCH(int, row);
    const CatalogueRow& model = kCatalogue[row];
    const QString test = instantiated(model).test;
    QTemporaryDir dir;
    const QString cfg = writeFile(dir, "test.cfg", test.toUtf8());
    const QByteArray weights = randomDarknetWeights(test);
    QVERIFY(!weights.isEmpty());
    const QString weightsPath = writeFile(dir, "test.weights", weights);
    QVERIFY(!cfg.isEmpty() && !weightsPath.isEmpty());

    cv::Mat image(model.height, model.width, CV_8UC3);
    cv::randu(image, 0, 256);
    cv::Mat scores;
    try {
        cv::dnn::Net net = cv::dnn::readNetFromDarknet(cfg.toStdString(), weightsPath.toStdString());
        net.setInput(cv::dnn::blobFromImage(image, 1 / 255.0, image.size(), cv::Scalar(), true));
        scores = net.forward();
    } catch (const cv::Exception& error) {
        QFAIL(error.what());
    }

    QCOMPARE(int(scores.total()), kClasses);
    double sum = 0;
    for (int i = 0; i < kClasses; ++i) {
        const float score = scores.ptr<float>()[i];
        QVERIFY(std::isfinite(score) && score >= 0);
        sum += score;
    }
    QVERIFY(std::abs(sum - 1) < 1e-4);
}

QTEST_GUILESS_MAIN(TestModelCatalogue)
#include "test_model_catalogue.moc"
