// Model update and test inside the server's dialog, with real model folders loaded through the
// classifier library and real picture files.
#include "classif_config.h"
#include "darknet_models.h"
#include "dialog_derarodizir_v2.h"
#include "dialog_list_configs.h"
#include "blank_png.h"
#include "picture_file.h"
#include "test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSpinBox>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

namespace {

void clearSharedConfigs()
{
    for (ClassifConfig* config : DialogListConfigs::map_classif_cfgs)
        delete config;
    DialogListConfigs::map_classif_cfgs.clear();
}

// The server log must hold exactly one line: the latest record.
QJsonObject onlyRecord(const QString& path)
{
    const QByteArray content = testutil::readBytes(path);
    if (!content.endsWith('\n') || content.count('\n') != 1)
        return QJsonObject{{"broken log", QString::fromUtf8(content)}};
    return QJsonDocument::fromJson(content).object();
}

void writePicture(const QString& path, int width, int height)
{
    cv::Mat picture(height, width, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    QVERIFY(cv::imwrite(path.toStdString(), picture));
}

} // namespace

class TestModelUpdateTest : public QObject
{
    Q_OBJECT

    ScopedInterfaceDir interfaceDir;
    QTemporaryDir work;
    QString randomModel;
    QString uniformModel;

    QString log() const { return interfaceDir.file("derarodizir.log"); }
    QString resultPicture() const { return interfaceDir.file("derarodizir_result.png"); }

    static void setThreshold(DialogDeraRodizir_v2& dialog, int percent)
    {
        dialog.findChild<QSpinBox*>("spinBox_threshold")->setValue(percent);
    }

private slots:
    void initTestCase()
    {
        randomModel = work.filePath("random");
        QVERIFY(darknetmodels::writeRandomModel(randomModel, darknetmodels::voderoVod32Cfg(3, 1),
                                                {"circle", "square", "triangle"}));
        // All-zero last layer: every class scores exactly 1/4.
        uniformModel = work.filePath("uniform");
        QVERIFY(darknetmodels::writeUniformModel(uniformModel, {"a", "b", "c", "d"}));
    }

    void init() { clearSharedConfigs(); }
    void cleanupTestCase() { clearSharedConfigs(); }

    void updateWithoutWeightsReportsTheMissingFile()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(randomModel);
        ClassifConfig* loaded = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(loaded && loaded->loaded);

        const QString empty = work.filePath("empty/");
        QDir().mkpath(empty);
        dialog.update_model(empty);
        const QJsonObject record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("update_error"));
        // The folder as given: its trailing slash doubles.
        QCOMPARE(record["msg"].toString(), "not found : " + empty + "/train.weights");
        QCOMPARE(record.keys(), (QStringList{"datatime", "msg", "state"}));
        // As after any failed update, the previous model no longer answers for the one asked for.
        ClassifConfig* after = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(!after || !after->loaded);
        dialog.test_model(randomModel + "/train.weights");
        QCOMPARE(onlyRecord(log())["msg"].toString(), QString("no model loaded"));
    }

    void reloadUnloadsTheFirstNetworkFirst()
    {
        DialogDeraRodizir_v2 dialog;
        DialogListConfigs* list = vela_lib_darknet_widget::dlg_classif_lst_config;
        int removals = 0;
        bool heldWhileRemoved = false;
        ClassifConfig* config = nullptr;
        QMetaObject::Connection watch = connect(list, &DialogListConfigs::config_removed, this, [&](QString name) {
            ++removals;
            QCOMPARE(name, QString("test"));
            // The configuration's mutex is held while the network goes.
            heldWhileRemoved = config && !config->mutex.tryLock();
            if (config && !heldWhileRemoved)
                config->mutex.unlock();
        });

        dialog.update_model(randomModel);
        QCOMPARE(removals, 0);
        config = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(config && config->loaded);
        QJsonObject record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("update_end"));
        QCOMPARE(record["load_model"], QJsonValue(true));

        dialog.update_model(randomModel);
        QCOMPARE(removals, 1);
        QVERIFY(heldWhileRemoved);
        QCOMPARE(DialogListConfigs::map_classif_cfgs.value("test"), config);
        QVERIFY(config->loaded);

        // A reload that fails leaves no network behind, not the old one.
        const QString broken = work.filePath("broken");
        QDir().mkpath(broken);
        for (const QString& name : {"names.list", "test.cfg"})
            QFile::copy(randomModel + "/" + name, broken + "/" + name);
        const QByteArray weights = testutil::readBytes(randomModel + "/train.weights");
        testutil::writeBytes(broken + "/train.weights", weights.left(weights.size() / 3));
        dialog.update_model(broken);
        QCOMPARE(removals, 2);
        record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("update_end"));
        QCOMPARE(record["load_model"], QJsonValue(false));
        ClassifConfig* after = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(!after || !after->loaded);
        if (after) {
            QVERIFY(!after->cpu_classifier || !after->cpu_classifier->has_network());
            QVERIFY(!after->gpu_classifier || !after->gpu_classifier->has_network());
        }
        disconnect(watch);
    }

    void testBeforeAnyUpdateWritesNoPicture()
    {
        DialogDeraRodizir_v2 dialog;
        const QString picture = work.filePath("before.png");
        writePicture(picture, 100, 80);
        testutil::writeBytes(resultPicture(), "earlier picture");
        dialog.test_model(picture);
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));
        QCOMPARE(testutil::readBytes(resultPicture()), QByteArray("earlier picture"));
    }

    void missingOrUndecodablePicturesAreTestErrors()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(randomModel);
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(config && config->loaded);
        setThreshold(dialog, 73);
        QFile::remove(resultPicture());

        dialog.test_model(work.filePath("missing.png"));
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));
        QVERIFY(config->threshold != 0.73); // not yet pushed: nothing there

        const QString text = work.filePath("notes.png");
        testutil::writeBytes(text, "these are words, not pixels\n");
        dialog.test_model(text);
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));
        QCOMPARE(config->threshold, 0.73); // pushed before the picture was read

        const QString real = work.filePath("real.jpg");
        writePicture(real, 300, 200);
        const QByteArray bytes = testutil::readBytes(real);
        const QString truncated = work.filePath("truncated.jpg");
        testutil::writeBytes(truncated, bytes.left(20));
        dialog.test_model(truncated);
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));

        dialog.test_model(work.path()); // a folder
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));

        // So elongated that the shorter side would scale to nothing.
        const QString sliver = work.filePath("sliver.png");
        writePicture(sliver, 2000, 1);
        dialog.test_model(sliver);
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_error"));
        QVERIFY(!QFileInfo::exists(resultPicture()));
    }

    void failuresSayWhy()
    {
        DialogDeraRodizir_v2 dialog;
        // A names list one class short of the network's outputs.
        const QString mismatched = work.filePath("mismatched");
        QDir().mkpath(mismatched);
        for (const QString& name : {"test.cfg", "train.weights"})
            QVERIFY(QFile::copy(randomModel + "/" + name, mismatched + "/" + name));
        testutil::writeBytes(mismatched + "/names.list", "circle\nsquare");
        dialog.update_model(mismatched);
        QJsonObject record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("update_end"));
        QCOMPARE(record["load_model"], QJsonValue(false));
        QVERIFY2(record["msg"].toString().contains("lists 2 classes but the network has 3 outputs"),
                 qPrintable(record["msg"].toString()));

        const QString picture = work.filePath("fails.png");
        writePicture(picture, 64, 64);
        dialog.test_model(picture);
        QCOMPARE(onlyRecord(log())["msg"].toString(), QString("no model loaded"));

        // A configuration that claims to be loaded while its network is gone: inference gives
        // nothing, and that is no success.
        dialog.update_model(randomModel);
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(config && config->loaded && config->cpu_classifier);
        config->cpu_classifier->delete_classifier();
        QFile::remove(resultPicture());
        dialog.test_model(picture);
        record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("test_error"));
        QCOMPARE(record["msg"].toString(), QString("classification gave no result: no network loaded"));
        QVERIFY(!record.contains("results"));
        QVERIFY(!QFileInfo::exists(resultPicture()));

        dialog.test_model(work.filePath("missing.png"));
        QCOMPARE(onlyRecord(log())["msg"].toString(), "not found : " + work.filePath("missing.png"));
    }

    void picturesAreScaledToALongerSideOf608()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(randomModel);
        const QString wide = work.filePath("wide.png");
        writePicture(wide, 1280, 720);
        dialog.test_model(wide);
        QCOMPARE(onlyRecord(log())["state"].toString(), QString("test_end"));
        QCOMPARE(dialog.test_image.cols, 608);
        QCOMPARE(dialog.test_image.rows, 342);
        const cv::Mat written = cv::imread(resultPicture().toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(written.cols, 608);
        QCOMPARE(written.rows, 342);
        QCOMPARE(written.type(), CV_8UC3);

        const QString square = work.filePath("square.jpg");
        writePicture(square, 100, 100);
        dialog.test_model(square);
        QCOMPARE(dialog.test_image.size(), cv::Size(608, 608));

        const QString tall = work.filePath("tall.png");
        writePicture(tall, 30, 1000);
        dialog.test_model(tall);
        QCOMPARE(dialog.test_image.size(), cv::Size(18, 608));
    }

    void scoreEqualToTheThresholdPasses()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(uniformModel);
        const QString picture = work.filePath("any.png");
        writePicture(picture, 64, 64);

        setThreshold(dialog, 25);
        dialog.test_model(picture);
        QCOMPARE(dialog.results.size(), size_t(1));
        QCOMPARE(dialog.results[0].second, 0.25f);
        QCOMPARE(dialog.passed, QList<int>{0});

        const QJsonObject record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("test_end"));
        const QJsonArray results = record["results"].toArray();
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].toObject()["prob"].toDouble(), 25.0);
        QVERIFY(QStringList({"a", "b", "c", "d"}).contains(results[0].toObject()["name"].toString()));

        setThreshold(dialog, 26);
        dialog.test_model(picture);
        QVERIFY(dialog.passed.isEmpty());
    }

    void everyResultIsReportedInReturnedOrder()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(randomModel);
        dialog.findChild<QDoubleSpinBox*>("doubleSpinBox_top")->setValue(3);
        const QString picture = work.filePath("three.png");
        writePicture(picture, 200, 100);
        dialog.test_model(picture);

        QCOMPARE(dialog.results.size(), size_t(3));
        const QJsonArray results = onlyRecord(log())["results"].toArray();
        QCOMPARE(results.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject entry = results[i].toObject();
            QCOMPARE(entry.keys(), (QStringList{"name", "prob"}));
            QCOMPARE(entry["name"].toString(), dialog.class_names.at(dialog.results[size_t(i)].first));
            const double percent = double(dialog.results[size_t(i)].second * 100.0f);
            QCOMPARE(entry["prob"].toDouble(), double(static_cast<long long>(percent * 100.0)) / 100.0);
        }
        QCOMPARE(dialog.config_name, QString("test"));
        QCOMPARE(dialog.current_config, DialogListConfigs::map_classif_cfgs.value("test"));
    }

    // Whatever "top" keeps, the record carries every class's probability in the names' order.
    void everyClassProbabilityIsReportedInNameOrder()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(randomModel);
        const QString picture = work.filePath("every.png");
        writePicture(picture, 90, 120);
        dialog.test_model(picture);

        const QJsonObject record = onlyRecord(log());
        const QJsonArray probs = record["class_probs"].toArray();
        QCOMPARE(record["results"].toArray().size(), 1);
        QCOMPARE(probs.size(), dialog.class_names.size());
        double sum = 0;
        for (int i = 0; i < probs.size(); ++i) {
            QCOMPARE(probs[i].toObject()["name"].toString(), dialog.class_names.at(i));
            sum += probs[i].toObject()["prob"].toDouble();
        }
        QVERIFY(qAbs(sum - 100.0) <= 0.01 * probs.size());
        const QJsonObject top = record["results"].toArray()[0].toObject();
        QCOMPARE(probs[dialog.results[0].first].toObject(), top);
    }

    void classesWithoutNameOrColourAreLeftOut()
    {
        DialogDeraRodizir_v2 dialog;
        dialog.update_model(uniformModel);
        dialog.findChild<QDoubleSpinBox*>("doubleSpinBox_top")->setValue(4);
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("test");
        QVERIFY(config && config->loaded);
        // A configuration that names and colours fewer classes than its network has: only
        // classes 0 and 1 have both.
        config->class_names = QStringList{"a", "b", "c"};
        config->class_colors.resize(2);
        const QString picture = work.filePath("short.png");
        writePicture(picture, 120, 90);
        dialog.test_model(picture);

        // Every class scores 25 %, above the 1 % threshold.
        QCOMPARE(dialog.results.size(), size_t(4));
        QList<int> expectedPassed;
        QStringList expectedNames;
        for (size_t i = 0; i < dialog.results.size(); ++i) {
            if (dialog.results[i].first > 1)
                continue;
            expectedPassed << int(i);
            expectedNames << dialog.class_names.at(dialog.results[i].first);
        }
        QCOMPARE(expectedPassed.size(), 2);
        QCOMPARE(dialog.passed, expectedPassed);
        const QJsonObject record = onlyRecord(log());
        QCOMPARE(record["state"].toString(), QString("test_end"));
        QStringList reported;
        for (const QJsonValue& entry : record["results"].toArray())
            reported << entry.toObject()["name"].toString();
        QCOMPARE(reported, expectedNames);
    }

    void oversizedPicturesAreRefusedBeforeDecoding()
    {
        QVERIFY(PictureFile::pixelBudget() <= PictureFile::kMaxPixels);
        QCOMPARE(PictureFile::scaledToLongSide({1280, 720}, 608), cv::Size(608, 342));
        QCOMPARE(PictureFile::scaledToLongSide({20000, 15}, 608), cv::Size());
        QCOMPARE(PictureFile::scaledToLongSide({0, 0}, 608), cv::Size());

        const QString huge = work.filePath("huge.png");
        testutil::writeBytes(huge, testutil::blankPng(20000, 20000));
        QVERIFY(PictureFile::readColour(huge).empty());

        // The same kind of file at a sensible size decodes.
        const QString small = work.filePath("small_blank.png");
        testutil::writeBytes(small, testutil::blankPng(300, 200));
        const cv::Mat decoded = PictureFile::readColour(small);
        QCOMPARE(decoded.size(), cv::Size(300, 200));
        QCOMPARE(decoded.type(), CV_8UC3);
    }
};

QTEST_MAIN(TestModelUpdateTest)
#include "test_model_update_test.moc"
