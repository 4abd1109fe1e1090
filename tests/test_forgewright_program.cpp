// The forgewright program as the notebook runs it: start-up files and the batch words.
#include "test_support.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>

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

QJsonObject lastRecord(const QString& interfaceDir)
{
    const QByteArray log = testutil::readBytes(interfaceDir + "/ruzerizozize.log").trimmed();
    return QJsonDocument::fromJson(log.mid(log.lastIndexOf('\n') + 1)).object();
}

void writeState(const QString& interfaceDir, const QJsonObject& state)
{
    testutil::writeBytes(interfaceDir + "/ruzerizozize.json", QJsonDocument(state).toJson());
}

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
        // The default project does not exist here: nothing to generate is a refusal.
        QCOMPARE(run.exitCode, 1);

        const QByteArray bytes = testutil::readBytes(dir.path() + "/ruzerizozize.json");
        const QJsonObject state = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(state["prj_path"].toString(), QString("/home/vela/Desktop/RuzerizOzize/dataset"));
        QCOMPARE(state["gen_path"].toString(), dir.path() + "/ruzerizozize_gen");
        QCOMPARE(state["model"].toString(), QString("darknet19"));
        QCOMPARE(state["gen_size"].toInt(), 608);
        // The defaults gained keys since: valid_percent, epochs and patience, all off.
        QCOMPARE(state.size(), 21);
        QCOMPARE(state["valid_percent"], QJsonValue(0));
        QCOMPARE(state["epochs"], QJsonValue(0));
        QCOMPARE(state["patience"], QJsonValue(0));
        // Byte for byte: the indented JSON and one more line end.
        QCOMPARE(bytes, QJsonDocument(state).toJson(QJsonDocument::Indented) + "\n");

        QVERIFY(QFileInfo(dir.path() + "/ruzerizozize_gen").isDir());
        QVERIFY(QFileInfo::exists(dir.path() + "/ruzerizozize.stop"));
        // The old log went at start-up; what is there now is this run's refusal.
        QVERIFY(lastRecord(dir.path())["gen_error"].toString().contains("does not exist"));
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
        // No project: refused, after the folder was taken as written.
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(lastRecord(dir.path())["gen_error"].toString(), QString("nothing to generate: no project folder is chosen"));
    }

    void onlyGenerationRunsForGenThenTrain()
    {
        QTemporaryDir dir;
        const Run run = runForgewright(dir.path(), {"gen", "train"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1); // the default project does not exist here
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
        QVERIFY(lastRecord(dir.path()).contains("gen_error")); // obeyed: nothing to generate
        QVERIFY2(run.err.contains("read json error"), run.err.constData());
        QCOMPARE(testutil::readBytes(dir.path() + "/ruzerizozize.json"), QByteArray("[]"));
    }

    // Nobody would see the window that a broken state file used to leave a batch run at.
    void brokenStateFileEndsABatchRun()
    {
        QTemporaryDir dir;
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", "{");
        const Run run = runForgewright(dir.path(), {"gen"}, kInteractiveWaitMs);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
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
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains("Can not open this project folder"));
        QVERIFY(lastRecord(dir.path())["gen_error"].toString().contains("holds no class folder"));
    }

    // Folders that nest: generation would delete its own sources, or scan its own output.
    void foldersThatNestAreRefusedBeforeAnythingIsDeleted()
    {
        QTemporaryDir dir;
        const QString gen = dir.path() + "/gen";
        SyntheticProject::write(gen + "/data_gen", {"circle", "square"}, 3);
        writeState(dir.path(), {{"prj_path", gen + "/data_gen"}, {"gen_path", gen}});
        Run run = runForgewright(dir.path(), {"gen"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(lastRecord(dir.path())["gen_error"].toString().contains("lies inside, the training folder"));
        QCOMPARE(QDir(gen + "/data_gen/circle").entryList(QDir::Files).size(), 3);
        QCOMPARE(QDir(gen + "/data_gen/square").entryList(QDir::Files).size(), 3);

        writeState(dir.path(), {{"prj_path", gen + "/data_gen"}, {"gen_path", gen + "/data_gen/circle"}});
        run = runForgewright(dir.path(), {"gen"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY(lastRecord(dir.path())["gen_error"].toString().contains("lies inside, the project folder"));
        QVERIFY(!QFileInfo::exists(gen + "/data_gen/circle/data_gen"));
    }

    // Names that would break names.list or merge are named; numbers written as strings count.
    void classNamesAndStateValuesThatWouldMisleadAreNamed()
    {
        QTemporaryDir dir;
        const QString project = dir.path() + "/project";
        SyntheticProject::write(project, {"a b", "ab", "two\nlines", "c"}, 2);
        QDir().mkpath(project + "/nested/c");
        QFile::copy(project + "/c/0.png", project + "/nested/c/0.png");
        writeState(dir.path(), {{"prj_path", project}, {"gen_path", dir.path()}, {"gen_size", "64"},
                                {"batch", "many"}, {"model", "darknet20"}, {"use_augmen", false}, {"gen_jpg", true},
                                {"epochs", -5}});
        const Run run = runForgewright(dir.path(), {"gen"});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject first = QJsonDocument::fromJson(run.out.left(run.out.indexOf('\n'))).object();
        const QString warnings = QJsonDocument(first["gen_warnings"].toArray()).toJson();
        for (const char* named : {"class ab: folder", "two\\\\nlines", "class c: folder", "batch: \\\"many\\\"",
                                  "model: \\\"darknet20\\\"", "epochs: -5 is outside 0 to 9999"})
            QVERIFY2(warnings.contains(named), qPrintable(named + (" in " + warnings)));
        QVERIFY(!warnings.contains("gen_size"));
        const QStringList names = testutil::readAll(dir.path() + "/data_gen/names.list").split('\n');
        QCOMPARE(names, (QStringList{"ab", "c", "twolines"}));
        const QString picture = QDir(dir.path() + "/data_gen/train").entryInfoList(QDir::Files).value(0).filePath();
        QCOMPARE(QImage(picture).size(), QSize(64, 64));
    }

    // A batch run that cannot read its state ends at once, with a record, rather than waiting at
    // a window nobody sees.
    void batchRunsEndOnAStateFileTheyCannotRead_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("word");
        const QList<QPair<const char*, QByteArray> > files = {{"empty", ""},
                                                              {"truncated", "{\"prj_path\": \"/data"},
                                                              {"not UTF-8", "{\"prj_path\": \"\xff\xfe\"}"},
                                                              {"NaN", "{\"batch\": NaN}"}};
        for (const auto& file : files) {
            for (const char* word : {"gen", "train"})
                QTest::newRow(qPrintable(QString("%1 %2").arg(file.first, word))) << file.second << QString(word);
        }
    }
    void batchRunsEndOnAStateFileTheyCannotRead()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, word);
        QTemporaryDir dir;
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", content);
        const Run run = runForgewright(dir.path(), {word}, kInteractiveWaitMs);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains("forgewright: the state file"));
        const QJsonObject record = lastRecord(dir.path());
        if (word == "gen")
            QVERIFY(record["gen_error"].toString().contains("state file"));
        else
            QCOMPARE(record["train_end"].toObject()["code"].toInt(), 1);
    }

    void aCustomWeightThatIsNoFileEndsTheBatchRun_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said");
        QTest::newRow("missing") << "missing" << "does not exist";
        QTest::newRow("folder") << "folder" << "is a folder";
        QTest::newRow("FIFO") << "fifo" << "is no regular file";
    }
    void aCustomWeightThatIsNoFileEndsTheBatchRun()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString weights = dir.path() + "/weights";
        if (kind == "folder")
            QDir().mkpath(weights);
        if (kind == "fifo")
            QVERIFY(mkfifo(QFile::encodeName(weights).constData(), 0644) == 0);
        writeState(dir.path(), {{"gen_path", dir.path()}, {"continue_train", true}, {"continue_defalut", false},
                                {"continue_custom", true}, {"custom_wg", weights}});
        const Run run = runForgewright(dir.path(), {"train"}, kInteractiveWaitMs);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        const QJsonObject end = lastRecord(dir.path())["train_end"].toObject();
        QCOMPARE(end["code"].toInt(), 1);
        QVERIFY2(end["reason"].toString().contains(weights + " " + said), qPrintable(end["reason"].toString()));
    }

    // A trainer killed while it writes says nothing about why: its last line is no reason.
    void aKilledTrainerIsReportedAsKilled()
    {
        QTemporaryDir dir;
        const QString package = dir.path() + "/ros/vela_lib_yolo";
        QDir().mkpath(package);
        QFile::copy(testutil::binaryDir() + "/ros/vela_lib_yolo/package.xml", package + "/package.xml");
        for (const char* name : {"darknet_", "darknet_cpu_"}) {
            testutil::writeBytes(package + "/" + name,
                                 "#!/bin/sh\necho 'Saving weights to data_gen/backup/train.backup.tmp' >&2\n"
                                 "sleep 0.3\nkill -9 $$\n");
            QFile::setPermissions(package + "/" + name, QFile::permissions(package + "/" + name) | QFile::ExeOwner);
        }
        writeState(dir.path(), {{"gen_path", dir.path()}, {"continue_train", false}});
        QProcess forgewright;
        QProcessEnvironment environment = testutil::programEnvironment(dir.path());
        environment.insert("ROS_PACKAGE_PATH", dir.path() + "/ros");
        forgewright.setProcessEnvironment(environment);
        forgewright.start(testutil::binaryDir() + "/trainer/forgewright", {"train"});
        QTRY_VERIFY_WITH_TIMEOUT(lastRecord(dir.path()).contains("train_end"), 20000);
        const QJsonObject end = lastRecord(dir.path())["train_end"].toObject();
        QCOMPARE(end["code"].toInt(), 137);
        QCOMPARE(end["reason"].toString(), QString("the trainer was ended by signal 9"));
        testutil::writeBytes(dir.path() + "/ruzerizozize.stop", "");
        QVERIFY(forgewright.waitForFinished(10000));
        QCOMPARE(forgewright.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestForgewrightProgram)
#include "test_forgewright_program.moc"
