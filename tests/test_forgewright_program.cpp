// The forgewright program as the notebook runs it: start-up files and the batch words.
#include "test_support.h"

#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <algorithm>

namespace {

struct Run
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs forgewright in its own interface folder. A run that is still going after waitMs
// (an interactive run) is terminated and reported as not finished.
Run runForgewright(const QString& interfaceDir, const QStringList& args, int waitMs = 20000)
{
    QProcess process;
    process.setProcessEnvironment(testutil::programEnvironment(interfaceDir));
    process.start(testutil::binaryDir() + "/trainer/forgewright", args);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    run.finished = process.waitForFinished(waitMs);
    if (!run.finished) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// How long an interactive run is given to show that it does not end by itself.
constexpr int kInteractiveWaitMs = 4000;

} // namespace

class TestForgewrightProgram : public QObject
{
    Q_OBJECT

private slots:
    void genWithoutStateFileWritesTheDefaults()
    {
        QTemporaryDir dir;
        testutil::writeBytes(dir.path() + "/ruzerizozize.log", "{\"old\":1}\n");
        const Run run = runForgewright(dir.path(), {"gen"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);

        const QByteArray bytes = testutil::readBytes(dir.path() + "/ruzerizozize.json");
        const QJsonObject state = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(state["prj_path"].toString(), QString("/home/vela/Desktop/RuzerizOzize/dataset"));
        QCOMPARE(state["gen_path"].toString(), dir.path() + "/ruzerizozize_gen");
        QCOMPARE(state["model"].toString(), QString("darknet19"));
        QCOMPARE(state["gen_size"].toInt(), 608);
        // The defaults gained one key since validation came: valid_percent, off.
        QCOMPARE(state.size(), 19);
        QCOMPARE(state["valid_percent"], QJsonValue(0));
        // Byte for byte: the indented JSON and one more line end.
        QCOMPARE(bytes, QJsonDocument(state).toJson(QJsonDocument::Indented) + "\n");

        QVERIFY(QFileInfo(dir.path() + "/ruzerizozize_gen").isDir());
        QVERIFY(QFileInfo::exists(dir.path() + "/ruzerizozize.stop"));
        QVERIFY(!QFileInfo::exists(dir.path() + "/ruzerizozize.log"));
    }

    void stateFilePathsKeepShellCharacters()
    {
        QTemporaryDir dir;
        const QString gen = dir.path() + "/gen $HOME `x` \"q\"";
        QVERIFY(QDir().mkpath(gen));
        QJsonObject state{{"gen_path", gen}, {"prj_path", ""}, {"model", "darknet19"}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());
        const Run run = runForgewright(dir.path(), {"gen"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
    }

    void onlyGenerationRunsForGenThenTrain()
    {
        QTemporaryDir dir;
        const Run run = runForgewright(dir.path(), {"gen", "train"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        // "train" was never looked at: the counted marker would have been created.
        QVERIFY(!QFileInfo::exists(dir.path() + "/colab_counted"));
    }

    void wordsDifferingInCaseOrDashesGiveAnInteractiveRun_data()
    {
        QTest::addColumn<QString>("word");
        QTest::newRow("upper case") << "GEN";
        QTest::newRow("dashes") << "--gen";
    }

    void wordsDifferingInCaseOrDashesGiveAnInteractiveRun()
    {
        QFETCH(QString, word);
        QTemporaryDir dir;
        const Run run = runForgewright(dir.path(), {word}, kInteractiveWaitMs);
        QVERIFY(!run.finished);
        QVERIFY(QFileInfo::exists(dir.path() + "/ruzerizozize.json"));
    }

    void stateFileThatIsNoObjectStillObeysTheArguments()
    {
        QTemporaryDir dir;
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", "[]");
        const Run run = runForgewright(dir.path(), {"gen"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.contains("read json error"), run.err.constData());
        QCOMPARE(testutil::readBytes(dir.path() + "/ruzerizozize.json"), QByteArray("[]"));
    }

    void brokenStateFileIgnoresTheArguments()
    {
        QTemporaryDir dir;
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", "{");
        const Run run = runForgewright(dir.path(), {"gen"}, kInteractiveWaitMs);
        QVERIFY(!run.finished);
        QVERIFY2(run.err.contains("fromJson failed: "), run.err.constData());
    }

    // The notebook's generation step: state file in, training folder out, progress on the way.
    void genDrivenByTheStateFileWritesTheTrainingFolder()
    {
        QTemporaryDir dir;
        const QString project = dir.path() + "/my project";
        const QString gen = dir.path() + "/gen folder";
        QVERIFY(QDir().mkpath(gen));
        SyntheticProject::write(project, {"circle", "square", "triangle"}, 4, 48);
        const QJsonObject augmentation{{"is_rotate", true}, {"rotate_min", 0},     {"rotate_max", 90},
                                       {"rotate_step", 90}, {"is_contrast", false}, {"is_noise", false},
                                       {"is_blur", false}};
        const QJsonObject state{{"prj_path", project},      {"gen_path", gen},
                                {"model", "VoderoVod_32"},  {"augmen", augmentation},
                                {"use_augmen", true},       {"use_class_balancing", true},
                                {"unknown_classes", 1},     {"use_random_class", false},
                                {"batch", 8},               {"subdivisions", 2},
                                {"gen_jpg", false},         {"gen_png", true},
                                {"gen_size", 64}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());

        const Run run = runForgewright(dir.path(), {"gen"}, 120000);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);

        // One record per sample (12 images and the noise image), in sample order.
        QList<int> progress;
        for (const QByteArray& line : run.out.split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (record.contains("gen_progress"))
                progress << record["gen_progress"].toInt();
        }
        QCOMPARE(progress.size(), 13);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        QCOMPARE(progress.last(), 100);
        const QJsonObject last = QJsonDocument::fromJson(testutil::readBytes(dir.path() + "/ruzerizozize.log")).object();
        QCOMPARE(last["gen_progress"].toInt(), 100);
        QVERIFY(run.out.contains("[ class balancing size ]\n"));

        const QString root = gen + "/data_gen";
        QCOMPARE(testutil::readAll(root + "/names.list"), QString("UNKNOWN\ncircle\nsquare\ntriangle"));
        QVERIFY(testutil::readAll(root + "/data.data").startsWith("classes=4\n"));
        QCOMPARE(testutil::readAll(root + "/version"), QString("0:VoderoVod_32"));
        QVERIFY(testutil::readAll(root + "/train.cfg").contains("batch=8"));
        QVERIFY(testutil::readAll(root + "/test.cfg").contains("batch=1"));
        // Each image and its one rotated copy, balanced: 4 classes of 8 entries.
        const QStringList entries = testutil::readAll(root + "/train.list").split('\n');
        QCOMPARE(entries.size(), 32);
        QCOMPARE(testutil::readAll(root + "/test.list"), testutil::readAll(root + "/train.list"));
        QCOMPARE(QDir(root + "/train").entryList(QDir::Files).size(), 1 + 3 * 4 * 2);
        for (const QString& entry : entries)
            QVERIFY2(entry.endsWith(".png") && QFileInfo::exists(gen + "/" + entry), qPrintable(entry));
        QVERIFY(QFileInfo::exists(dir.path() + "/vela_rand_img.png"));
    }

    void stateFileProjectWithoutClassesDoesNotBlockABatchRun()
    {
        QTemporaryDir dir;
        QTemporaryDir project; // exists, but holds no class folder
        QJsonObject state{{"prj_path", project.path()}, {"gen_path", dir.path()}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());
        const Run run = runForgewright(dir.path(), {"gen"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.contains("Can not open this project folder"));
    }
};

QTEST_GUILESS_MAIN(TestForgewrightProgram)
#include "test_forgewright_program.moc"
