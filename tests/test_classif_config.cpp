// Classifier configurations: loading model folders, agreeing with darknet, guide maps, drawing,
// and refusing bad input.
#include "classif_config.h"
#include "classifier_fixtures.h"
#include "darknet_cfg.h"
#include "darknet_input.h"
#include "darknet_reference.h"
#include "darknet_weights.h"
#include "dialog_list_configs.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <cstring>
#include <numeric>

using namespace classifierfix;

Q_DECLARE_METATYPE(std::vector<float>)

namespace {

// Collects the debug messages written while it lives.
class MessageCatcher
{
public:
    MessageCatcher() { previous = qInstallMessageHandler(&MessageCatcher::handle); }
    ~MessageCatcher() { qInstallMessageHandler(previous); }
    static QStringList& messages()
    {
        static QStringList list;
        return list;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text) { messages() << text; }
    QtMessageHandler previous;
};

cv::Mat blurredNoise(int width, int height, unsigned seed)
{
    cv::Mat img(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(img, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(img, img, cv::Size(7, 7), 2.0);
    return img;
}

QByteArray floatsAsBytes(const std::vector<float>& values)
{
    return QByteArray(reinterpret_cast<const char*>(values.data()), int(values.size() * sizeof(float)));
}

// Pixels of the shape drawn by SyntheticProject: strongly coloured, unlike its grey-ish noise.
cv::Mat shapeMask(const cv::Mat& bgr)
{
    cv::Mat mask(bgr.size(), CV_8UC1);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
            const int spread = std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            mask.at<uchar>(y, x) = spread > 120 ? 255 : 0;
        }
    return mask;
}

int countColor(const cv::Mat& img, const cv::Scalar& color)
{
    cv::Mat match;
    cv::inRange(img, color, color, match);
    return cv::countNonZero(match);
}

} // namespace

class TestClassifConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

    // A model folder whose weights libdarknet itself initialised and wrote.
    QString darknetModel(const QString& name, const QString& cfgText, int classes, unsigned seed, float scale = 0.05f)
    {
        const QString folder = work.filePath(name);
        writeModelFolder(folder, cfgText, classes);
        std::srand(seed);
        darknetref::ReferenceNetwork net(folder + "/test.cfg");
        if (!net.valid())
            return QString();
        net.randomise(seed, scale);
        net.save(folder + "/train.weights");
        return folder;
    }

    // A model folder with hand-made weights.
    QString handMadeModel(const QString& name, const QString& cfgText, int classes, const std::vector<float>& params)
    {
        const QString folder = work.filePath(name);
        writeModelFolder(folder, cfgText, classes);
        testutil::writeBytes(folder + "/train.weights", DarknetWeights::header() + floatsAsBytes(params));
        return folder;
    }

    QString voderoVodModel(const QString& name, int classes = 5)
    {
        return darknetModel(name, instantiate(voderoVod32Template(), classes), classes, 11, 1.f);
    }

    static void compareWithDarknet(const QString& folder, const cv::Mat& picture)
    {
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(folder, "CPU", &error), qPrintable(error));
        darknetref::ReferenceNetwork reference(folder + "/test.cfg", folder + "/train.weights");
        QVERIFY(reference.valid());
        const std::vector<float> expected = reference.predict(picture);
        config.top = int(expected.size());
        cv::Mat input = picture.clone();
        const auto results = config.infer(input);
        QCOMPARE(results.size(), expected.size());
        for (size_t i = 0; i < results.size(); ++i) {
            const float want = expected[size_t(results[i].first)];
            QVERIFY2(std::abs(results[i].second - want) <= 1e-4f,
                     qPrintable(QString("class %1: %2 vs darknet %3").arg(results[i].first).arg(results[i].second).arg(want)));
            if (i > 0)
                QVERIFY(results[i - 1].second >= results[i].second);
        }
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void cleanup()
    {
        qDeleteAll(DialogListConfigs::map_classif_cfgs);
        DialogListConfigs::map_classif_cfgs.clear();
    }

    void resizeMatchesDarknet_data()
    {
        QTest::addColumn<int>("fromWidth");
        QTest::addColumn<int>("fromHeight");
        QTest::addColumn<int>("toWidth");
        QTest::addColumn<int>("toHeight");
        QTest::newRow("shrink") << 608 << 342 << 256 << 256;
        QTest::newRow("enlarge") << 20 << 13 << 32 << 32;
        QTest::newRow("one column") << 1 << 40 << 8 << 16;
        QTest::newRow("same size") << 32 << 32 << 32 << 32;
    }

    void resizeMatchesDarknet()
    {
        QFETCH(int, fromWidth);
        QFETCH(int, fromHeight);
        QFETCH(int, toWidth);
        QFETCH(int, toHeight);
        cv::Mat plane(fromHeight, fromWidth, CV_32F);
        cv::randu(plane, 0.f, 1.f);
        const cv::Mat ours = DarknetInput::resizePlane(plane, toWidth, toHeight);
        const cv::Mat theirs = darknetref::resizePlane(plane, toWidth, toHeight);
        QCOMPARE(ours.size(), theirs.size());
        QVERIFY(cv::norm(ours, theirs, cv::NORM_INF) <= 1e-6);
    }

    // Random weights written by libdarknet give the same scores through OpenCV as through
    // darknet's own prediction, for pictures smaller and larger than the network.
    void scoresMatchDarknet_data()
    {
        QTest::addColumn<QString>("cfgText");
        QTest::addColumn<int>("classes");
        QTest::newRow("VoderoVod_32") << instantiate(voderoVod32Template(), 5) << 5;
        QTest::newRow("darknet19") << instantiate(templateNamed("darknet19"), 5) << 5;
        // A leading crop (centre cut, -1..1), dropout and connected layers, as in vgg-16.
        QTest::newRow("crop and connected")
            << QString("[net]\nbatch=1\nwidth=40\nheight=40\nchannels=3\n[crop]\ncrop_width=32\ncrop_height=32\nflip=1\n"
                       "[convolutional]\nfilters=8\nsize=3\npad=1\nactivation=relu\n[maxpool]\nsize=3\nstride=2\n"
                       "[connected]\noutput=16\nactivation=relu\n[dropout]\nprobability=.5\n[connected]\noutput=4\n"
                       "activation=linear\n[softmax]\ngroups=1\n[cost]\ntype=sse\n")
            << 4;
        // Residual additions across a stride, which darknet samples and OpenCV cannot add as
        // they are (resnet18, resnet34), and a route.
        QTest::newRow("strided shortcut and route")
            << QString("[net]\nbatch=1\nwidth=32\nheight=32\nchannels=3\n"
                       "[convolutional]\nbatch_normalize=1\nfilters=8\nsize=3\npad=1\nactivation=leaky\n"
                       "[convolutional]\nbatch_normalize=1\nfilters=16\nsize=3\nstride=2\npad=1\nactivation=leaky\n"
                       "[convolutional]\nbatch_normalize=1\nfilters=16\nsize=3\npad=1\nactivation=linear\n"
                       "[shortcut]\nfrom=-3\nactivation=leaky\n"
                       "[route]\nlayers=-1,-2\n"
                       "[avgpool]\n[convolutional]\nfilters=3\nsize=1\npad=1\nactivation=linear\n[softmax]\ngroups=1\n")
            << 3;
    }

    void scoresMatchDarknet()
    {
        QFETCH(QString, cfgText);
        QFETCH(int, classes);
        const QString folder = darknetModel(QTest::currentDataTag(), cfgText, classes, 7);
        QVERIFY(!folder.isEmpty());
        compareWithDarknet(folder, blurredNoise(300, 200, 1));
        compareWithDarknet(folder, blurredNoise(24, 30, 2));
    }

    // Every network of the catalogue loads and classifies: 5 scores that add up to 1 and one
    // guide map per score, all of one size.
    void everyTemplateClassifies_data()
    {
        QTest::addColumn<QString>("path");
        QStringList files = catalogueTemplates();
        if (files.isEmpty())
            files = referenceConfigurations();
        for (const QString& file : files)
            QTest::newRow(qPrintable(QFileInfo(file).completeBaseName())) << file;
        if (files.isEmpty())
            QTest::newRow("none") << QString();
    }

    void everyTemplateClassifies()
    {
        QFETCH(QString, path);
        if (path.isEmpty())
            QSKIP("no network templates here");
        const QString name = QFileInfo(path).completeBaseName();
        const QString cfgText = instantiate(templateText(path), 5);
        QString folder;
        if (path.contains("forkline")) {
            // Networks of darknet's fork: libdarknet cannot parse them.
            folder = work.filePath("catalogue_" + name);
            writeModelFolder(folder, cfgText, 5);
            const QByteArray weights = sizedWeights(cfgText, 3);
            QVERIFY(!weights.isEmpty());
            testutil::writeBytes(folder + "/train.weights", weights);
        } else {
            folder = darknetModel("catalogue_" + name, cfgText, 5, 3);
        }
        DialogListConfigs list;
        QVERIFY2(list.addConfigPath(name, folder, "CPU"), qPrintable(list.lastError()));
        QDir(folder).removeRecursively(); // the large weights files are no longer needed
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value(name);
        QVERIFY(config && config->loaded && config->cpu_classifier);
        // OpenCV's importer took exactly the parameters the configuration asks for.
        DarknetCfg cfg;
        QVERIFY(cfg.parse(cfgText.toUtf8(), nullptr));
        cv::dnn::Net& net = *config->cpu_classifier->net;
        qint64 imported = 0;
        for (const std::string& layer : net.getLayerNames())
            for (const cv::Mat& blob : net.getLayer(layer)->blobs)
                imported += qint64(blob.total());
        QCOMPARE(imported, cfg.parameterCount());
        config->top = 5;
        cv::Mat picture = blurredNoise(320, 240, 5);
        const auto results = config->infer(picture);
        QCOMPARE(int(results.size()), 5);
        float sum = 0;
        for (const auto& r : results) {
            QVERIFY(r.second >= 0.f && r.second <= 1.f);
            sum += r.second;
        }
        QVERIFY2(std::abs(sum - 1.f) < 1e-3f, qPrintable(QString::number(sum)));
        QCOMPARE(int(config->guide_maps.size()), 5);
        for (const cv::Mat& map : config->guide_maps) {
            QCOMPARE(map.type(), CV_8UC1);
            QCOMPARE(map.size(), config->guide_maps.front().size());
        }
    }

    // Hand-made networks whose class evidence is known: red on the left, blue on the right.
    void guideMapsShowWhereEachClassIs_data()
    {
        QTest::addColumn<QString>("cfgText");
        QTest::addColumn<std::vector<float> >("params");
        QTest::addColumn<int>("leftClass");
        QTest::addColumn<int>("rightClass");
        const std::vector<float> identity{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};  // biases, then 3x3
        const std::vector<float> swapRedBlue{0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0};
        const QString net = "[net]\nwidth=16\nheight=16\nchannels=3\n";
        const QString features = "[convolutional]\nfilters=3\nsize=1\nstride=2\nactivation=linear\n";
        // The class convolution feeds the pooling: a class's map is its channel.
        QTest::newRow("classes before pooling")
            << net + features + "[avgpool]\n[softmax]\n" << identity << 0 << 2;
        // The pooling feeds the class convolution: its weights say which channel is which class.
        std::vector<float> both = identity;
        both.insert(both.end(), swapRedBlue.begin(), swapRedBlue.end());
        QTest::newRow("classes after pooling")
            << net + features + "[avgpool]\n[convolutional]\nfilters=3\nsize=1\nactivation=linear\n[softmax]\n" << both
            << 2 << 0;
    }

    void guideMapsShowWhereEachClassIs()
    {
        QFETCH(QString, cfgText);
        QFETCH(std::vector<float>, params);
        QFETCH(int, leftClass);
        QFETCH(int, rightClass);
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(handMadeModel(QTest::currentDataTag(), cfgText, 3, params), "CPU", &error), qPrintable(error));
        cv::Mat picture(16, 16, CV_8UC3, cv::Scalar(0, 0, 255));
        picture(cv::Rect(8, 0, 8, 16)).setTo(cv::Scalar(255, 0, 0));
        config.top = 3;
        const auto results = config.infer(picture);
        QCOMPARE(int(results.size()), 3);
        QCOMPARE(int(config.guide_maps.size()), 3);
        for (size_t i = 0; i < results.size(); ++i) {
            const cv::Mat& map = config.guide_maps[i];
            QCOMPARE(map.size(), cv::Size(8, 8));
            const double left = cv::mean(map(cv::Rect(0, 0, 4, 8)))[0];
            const double right = cv::mean(map(cv::Rect(4, 0, 4, 8)))[0];
            if (results[i].first == leftClass) {
                QCOMPARE(left, 255.0);
                QCOMPARE(right, 0.0);
            } else if (results[i].first == rightClass) {
                QCOMPARE(left, 0.0);
                QCOMPARE(right, 255.0);
            } else {
                QCOMPARE(cv::countNonZero(map), 0); // no evidence anywhere: a flat map
            }
        }
        config.upsampling = true;
        config.infer(picture);
        for (const cv::Mat& map : config.guide_maps)
            QCOMPARE(map.size(), cv::Size(16, 16));
    }

    // A [connected] classifier has no per-class map: every class shows where the last
    // convolution responds.
    void connectedClassifierGetsChannelMean()
    {
        const QString cfg = "[net]\nwidth=16\nheight=16\nchannels=3\n"
                            "[convolutional]\nfilters=3\nsize=1\nstride=2\nactivation=linear\n"
                            "[connected]\noutput=2\nactivation=linear\n[softmax]\n";
        std::vector<float> params{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0};
        params.resize(params.size() + 2 * 3 * 8 * 8, 0.01f);
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(handMadeModel("connected", cfg, 2, params), "CPU", &error), qPrintable(error));
        cv::Mat picture(16, 16, CV_8UC3, cv::Scalar::all(255));
        picture(cv::Rect(8, 0, 8, 16)).setTo(cv::Scalar::all(0));
        config.top = 2;
        QCOMPARE(int(config.infer(picture).size()), 2);
        QCOMPARE(int(config.guide_maps.size()), 2);
        for (const cv::Mat& map : config.guide_maps) {
            QCOMPARE(cv::mean(map(cv::Rect(0, 0, 4, 8)))[0], 255.0);
            QCOMPARE(cv::mean(map(cv::Rect(4, 0, 4, 8)))[0], 0.0);
        }
    }

    void topLimitsTheResults()
    {
        ClassifConfig config;
        QVERIFY(config.load(voderoVodModel("top"), "CPU"));
        cv::Mat picture = blurredNoise(64, 64, 3);
        config.top = 2;
        QCOMPARE(int(config.infer(picture).size()), 2);
        QCOMPARE(int(config.guide_maps.size()), 2);
        config.top = 2000;
        QCOMPARE(int(config.infer(picture).size()), 5);
        config.top = 0;
        QCOMPARE(int(config.infer(picture).size()), 1);
    }

    // A small network trained by libdarknet on synthetic shapes tells held-out shapes apart,
    // and the winning class's guide map is bright on the shape.
    void trainedModelFindsTheShapes()
    {
        const QStringList classes{"circle", "square", "triangle"};
        std::vector<cv::Mat> images;
        std::vector<int> labels;
        for (int c = 0; c < classes.size(); ++c)
            for (unsigned i = 0; i < 100; ++i) {
                images.push_back(SyntheticProject::shapeImage(classes[c], 32, 1000 + i));
                labels.push_back(c);
            }
        const QString folder = work.filePath("trained");
        writeModelFolder(folder, instantiate(voderoVod32Template(), 3), 3);
        testutil::writeBytes(folder + "/names.list", classes.join('\n').toUtf8());
        const QString trainCfg = work.filePath("trained_train.cfg");
        testutil::writeBytes(trainCfg, instantiate(voderoVod32Template(), 3, 30, 1).toUtf8());
        std::srand(5);
        {
            darknetref::ReferenceNetwork trainer(trainCfg);
            QVERIFY(trainer.valid());
            trainer.train(images, labels, 30, 0.05f, 5);
            QVERIFY(trainer.save(folder + "/train.weights"));
        }

        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(folder, "CPU", &error), qPrintable(error));
        QCOMPARE(config.class_names, classes);
        config.upsampling = true;
        int right = 0, onShape = 0, tested = 0;
        for (int c = 0; c < classes.size(); ++c)
            for (unsigned i = 0; i < 10; ++i, ++tested) {
                cv::Mat picture = SyntheticProject::shapeImage(classes[c], 32, 90000 + i);
                const auto results = config.infer(picture);
                QCOMPARE(int(results.size()), 1);
                if (results.front().first != c)
                    continue;
                ++right;
                const cv::Mat mask = shapeMask(picture);
                const cv::Mat& map = config.guide_maps.front();
                QCOMPARE(map.size(), picture.size());
                if (cv::mean(map, mask)[0] > cv::mean(map, ~mask)[0] + 20)
                    ++onShape;
            }
        qInfo("%d of %d held-out shapes right, %d of those with the map on the shape", right, tested, onShape);
        QVERIFY2(right >= tested * 9 / 10, qPrintable(QString("%1 of %2 right").arg(right).arg(tested)));
        QVERIFY2(onShape >= right * 8 / 10, qPrintable(QString("%1 of %2 maps on the shape").arg(onShape).arg(right)));
    }

    void drawBoxesAnnotatesPassedResults()
    {
        ClassifConfig config;
        QVERIFY(config.load(voderoVodModel("draw"), "CPU"));
        QCOMPARE(int(config.class_colors.size()), 5);
        cv::Mat picture = blurredNoise(200, 120, 9);
        cv::Mat gray;
        cv::cvtColor(picture, gray, cv::COLOR_BGR2GRAY);
        cv::cvtColor(gray, picture, cv::COLOR_GRAY2BGR); // colourless, so class colours stand out
        config.top = 5;
        const auto results = config.infer(picture);
        QCOMPARE(int(results.size()), 5);
        const cv::Scalar best = config.class_colors[size_t(results.front().first)];
        const cv::Scalar second = config.class_colors[size_t(results[1].first)];

        // Only the best result passes: its name in its colour, and a frame of the given width.
        config.threshold = double(results.front().second);
        config.rect_thickness = 4;
        config.txt_offset = 6;
        cv::Mat framed = picture.clone();
        config.draw_boxes(framed);
        QCOMPARE(framed.at<cv::Vec3b>(0, 0), cv::Vec3b(best[0], best[1], best[2]));
        QCOMPARE(framed.at<cv::Vec3b>(3, 100), cv::Vec3b(best[0], best[1], best[2]));
        QVERIFY(framed.at<cv::Vec3b>(60, 100) == picture.at<cv::Vec3b>(60, 100));
        QVERIFY(countColor(framed(cv::Rect(8, 8, 184, 104)), best) > 20);
        QCOMPARE(countColor(framed, second), 0);

        // Without the frame and the percentage, only a shorter name is written.
        config.result_drawing = false;
        cv::Mat withPercent = picture.clone();
        config.draw_boxes(withPercent);
        config.show_confidence = false;
        cv::Mat nameOnly = picture.clone();
        config.draw_boxes(nameOnly);
        QVERIFY(nameOnly.at<cv::Vec3b>(0, 0) == picture.at<cv::Vec3b>(0, 0));
        const auto changed = [&picture](const cv::Mat& drawn) {
            cv::Mat diff;
            cv::absdiff(drawn, picture, diff);
            cv::cvtColor(diff, diff, cv::COLOR_BGR2GRAY);
            return cv::boundingRect(diff > 0);
        };
        QVERIFY(changed(nameOnly).width > 0);
        QVERIFY(changed(withPercent).width > changed(nameOnly).width);

        // Everything passes: both colours appear.
        config.threshold = 0;
        cv::Mat all = picture.clone();
        config.draw_boxes(all);
        QVERIFY(countColor(all, best) > 0);
        QVERIFY(countColor(all, second) > 0);

        // Nothing passes: nothing is drawn.
        config.threshold = 1.01;
        config.result_drawing = true;
        cv::Mat none = picture.clone();
        config.draw_boxes(none);
        QCOMPARE(cv::norm(none, picture, cv::NORM_INF), 0.0);
    }

    void classColorsAreDistinctAndStable()
    {
        ClassifConfig five, three;
        QVERIFY(five.load(voderoVodModel("colors5"), "CPU"));
        QVERIFY(three.load(voderoVodModel("colors3", 3), "CPU"));
        for (size_t i = 0; i < five.class_colors.size(); ++i)
            for (size_t j = i + 1; j < five.class_colors.size(); ++j)
                QVERIFY(cv::norm(five.class_colors[i] - five.class_colors[j]) > 40);
        for (size_t i = 0; i < three.class_colors.size(); ++i)
            QCOMPARE(three.class_colors[i], five.class_colors[i]);
    }

    void backendsRunOrFallBackToTheCpu()
    {
        const QString folder = voderoVodModel("backends");
        for (const QString backend : {"CPU", "CUDA", "Vulkan"}) {
            ClassifConfig config;
            QVERIFY(config.load(folder, backend));
            QCOMPARE(config.backend_name, backend);
            QVERIFY(!config.running_backend.isEmpty());
            // The holder follows the name, as callers unload by it.
            QCOMPARE(bool(config.gpu_classifier), backend == "CUDA");
            QCOMPARE(bool(config.cpu_classifier), backend != "CUDA");
            cv::Mat picture = blurredNoise(40, 40, 1);
            QCOMPARE(int(config.infer(picture).size()), 1);
        }
    }

    void unloadedHoldersClassifyNothing()
    {
        ClassifConfig config;
        QVERIFY(config.load(voderoVodModel("unload"), "CPU"));
        config.cpu_classifier->delete_classifier();
        QVERIFY(!config.cpu_classifier->has_network());
        cv::Mat picture = blurredNoise(40, 40, 1);
        QVERIFY(config.infer(picture).empty());
        QVERIFY(config.guide_maps.empty());
        ClassifConfig never;
        QVERIFY(never.infer(picture).empty());
    }

    void inferConvertsOrRefusesOddImages()
    {
        ClassifConfig config;
        QVERIFY(config.load(voderoVodModel("odd"), "CPU"));
        cv::Mat empty;
        QVERIFY(config.infer(empty).empty());
        cv::Mat gray(50, 40, CV_8UC1, cv::Scalar(90));
        QCOMPARE(int(config.infer(gray).size()), 1);
        QCOMPARE(gray.channels(), 1); // the caller's picture is left alone
        cv::Mat bgra(50, 40, CV_8UC4, cv::Scalar(10, 200, 30, 255));
        cv::Mat bgr(50, 40, CV_8UC3, cv::Scalar(10, 200, 30));
        const auto fromBgra = config.infer(bgra);
        const auto fromBgr = config.infer(bgr);
        QVERIFY(fromBgra == fromBgr);
        cv::Mat twoChannels(50, 40, CV_8UC2, cv::Scalar::all(5));
        QVERIFY(config.infer(twoChannels).empty());
        cv::Mat wide(50, 40, CV_16UC3, cv::Scalar::all(500));
        QVERIFY(config.infer(wide).empty());
        cv::Mat floating(50, 40, CV_32FC3, cv::Scalar::all(0.5));
        QVERIFY(config.infer(floating).empty());
        QVERIFY(config.guide_maps.empty());
        cv::Mat tiny(1, 1, CV_8UC3, cv::Scalar::all(1));
        QCOMPARE(int(config.infer(tiny).size()), 1);
    }

    void oldWeightsHeaderIsRead()
    {
        const QString folder = voderoVodModel("oldheader");
        QByteArray bytes = testutil::readBytes(folder + "/train.weights");
        // Version 0.1: the count of images seen is 4 bytes instead of 8.
        const qint32 oldVersion[3] = {0, 1, 0};
        QByteArray old(reinterpret_cast<const char*>(oldVersion), sizeof(oldVersion));
        old += QByteArray(4, '\0') + bytes.mid(20);
        testutil::writeBytes(folder + "/train.weights", old);
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(folder, "CPU", &error), qPrintable(error));
    }

    void namesListToleratesLineEndings()
    {
        const QString folder = voderoVodModel("crlf", 3);
        testutil::writeBytes(folder + "/names.list", " circle\r\nsquare \r\ntriangle\r\n\n");
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(folder, "CPU", &error), qPrintable(error));
        QCOMPARE(config.class_names, QStringList({"circle", "square", "triangle"}));
    }

    void configurationNamedOtherThanTestCfgIsFound()
    {
        const QString folder = voderoVodModel("othercfg");
        QVERIFY(QFile::rename(folder + "/test.cfg", folder + "/VoderoVod_32.cfg"));
        ClassifConfig config;
        QVERIFY(config.load(folder, "CPU"));
        QFile::copy(folder + "/VoderoVod_32.cfg", folder + "/second.cfg");
        ClassifConfig ambiguous;
        QString error;
        QVERIFY(!ambiguous.load(folder, "CPU", &error));
        QVERIFY(error.contains("several"));
    }

    // Each bad model folder is refused with one debug message that names the problem, and
    // nothing is added to the shared map.
    void badModelFoldersAreRefused_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("hint");
        QTest::newRow("missing folder") << "folder" << "not found";
        QTest::newRow("missing cfg") << "no cfg" << "no test.cfg";
        QTest::newRow("missing weights") << "no weights" << "no train.weights";
        QTest::newRow("missing names") << "no names" << "no names.list";
        QTest::newRow("line without value") << "cfg: line" << "not key=value";
        QTest::newRow("unknown section") << "cfg: section" << "unsupported section";
        QTest::newRow("no net section") << "cfg: no net" << "[net]";
        QTest::newRow("negative filters") << "cfg: filters" << "must be positive";
        QTest::newRow("word for a number") << "cfg: word" << "not a whole number";
        QTest::newRow("reference outside") << "cfg: route" << "outside";
        QTest::newRow("binary cfg") << "cfg: binary" << "not text";
        QTest::newRow("empty weights") << "weights: empty" << "too short";
        QTest::newRow("truncated weights") << "weights: truncated" << "truncated";
        QTest::newRow("oversized weights") << "weights: oversized" << "too large";
        QTest::newRow("fewer names") << "names: fewer" << "lists 4 classes";
        QTest::newRow("more names") << "names: more" << "lists 6 classes";
    }

    void badModelFoldersAreRefused()
    {
        QFETCH(QString, damage);
        QFETCH(QString, hint);
        QString folder = voderoVodModel(QString("bad_%1").arg(QTest::currentDataTag()).replace(' ', '_'));
        const QString cfgPath = folder + "/test.cfg";
        const QString cfg = testutil::readAll(cfgPath);
        const QByteArray weights = testutil::readBytes(folder + "/train.weights");
        if (damage == "folder")
            folder += "/nowhere";
        else if (damage == "no cfg")
            QFile::remove(cfgPath);
        else if (damage == "no weights")
            QFile::remove(folder + "/train.weights");
        else if (damage == "no names")
            QFile::remove(folder + "/names.list");
        else if (damage == "cfg: line")
            testutil::writeBytes(cfgPath, QString(cfg).replace("stride=1\npad=1", "stride 1\npad=1").toUtf8());
        else if (damage == "cfg: section")
            testutil::writeBytes(cfgPath, (cfg + "\n[lstm]\noutput=3\n").toUtf8());
        else if (damage == "cfg: no net")
            testutil::writeBytes(cfgPath, cfg.mid(cfg.indexOf("[convolutional]")).toUtf8());
        else if (damage == "cfg: filters")
            testutil::writeBytes(cfgPath, QString(cfg).replace("filters=8", "filters=-8").toUtf8());
        else if (damage == "cfg: word")
            testutil::writeBytes(cfgPath, QString(cfg).replace("size=3", "size=three").toUtf8());
        else if (damage == "cfg: route")
            testutil::writeBytes(cfgPath, QString(cfg).replace("[avgpool]", "[route]\nlayers=-40\n[avgpool]").toUtf8());
        else if (damage == "cfg: binary")
            testutil::writeBytes(cfgPath, weights);
        else if (damage == "weights: empty")
            testutil::writeBytes(folder + "/train.weights", QByteArray());
        else if (damage == "weights: truncated")
            testutil::writeBytes(folder + "/train.weights", weights.left(weights.size() - 4));
        else if (damage == "weights: oversized")
            testutil::writeBytes(folder + "/train.weights", weights + QByteArray(4, '\0'));
        else if (damage == "names: fewer")
            testutil::writeBytes(folder + "/names.list", classNames(4).join('\n').toUtf8());
        else if (damage == "names: more")
            testutil::writeBytes(folder + "/names.list", classNames(6).join('\n').toUtf8());

        DialogListConfigs list;
        bool ok = true;
        {
            MessageCatcher catcher;
            MessageCatcher::messages().clear();
            ok = list.addConfigPath("test", folder, "CPU");
        }
        QVERIFY(!ok);
        QVERIFY(!DialogListConfigs::map_classif_cfgs.contains("test"));
        const QStringList messages = MessageCatcher::messages();
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.front().contains(hint), qPrintable(messages.front()));
        QVERIFY(list.lastError().contains(hint));
    }

    // The classifier words the shared parser's findings its own way, first bad line first.
    void cfgTextErrorsNameTheFirstBadLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("unclosed header") << QByteArray("[net]\nwidth=8\n [conv \n") << "unsupported section [conv at line 3";
        QTest::newRow("option first") << QByteArray("width=8\n[net]\n") << "line 1 comes before the first section";
        QTest::newRow("section, then bad line") << QByteArray("[net]\n[lstm]\nsize 3\n") << "unsupported section [lstm] at line 2";
        QTest::newRow("bad line, then section") << QByteArray("[net]\nsize 3\n[lstm]\n") << "line 2 is not key=value: size 3";
    }

    void cfgTextErrorsNameTheFirstBadLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        DarknetCfg cfg;
        QString error;
        QVERIFY(!cfg.parse(text, &error));
        QCOMPARE(error, message);
    }

    // A failed reload leaves the configuration that was there as it was.
    void failedReloadKeepsTheLoadedModel()
    {
        DialogListConfigs list;
        const QString good = voderoVodModel("reload_good");
        QVERIFY(list.addConfigPath("test", good, "CPU"));
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("test");
        const QString bad = voderoVodModel("reload_bad");
        QFile::remove(bad + "/names.list");
        QVERIFY(!list.addConfigPath("test", bad, "CUDA"));
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("test"), config);
        QVERIFY(config->loaded);
        QCOMPARE(config->config_path, good);
        QCOMPARE(config->backend_name, QString("CPU"));
        cv::Mat picture = blurredNoise(40, 40, 1);
        QCOMPARE(int(config->infer(picture).size()), 1);

        // A successful reload replaces the network in place, in the new backend's holder.
        QVERIFY(list.addConfigPath("test", voderoVodModel("reload_other", 3), "CUDA"));
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("test"), config);
        QCOMPARE(config->class_names.size(), 3);
        QVERIFY(config->gpu_classifier && config->gpu_classifier->has_network());
        QVERIFY(!config->cpu_classifier);
    }
};

QTEST_MAIN(TestClassifConfig)
#include "test_classif_config.moc"
