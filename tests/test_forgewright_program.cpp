// The forgewright program as the notebook runs it: start-up files and the batch words.
#include "test_support.h"

#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

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
        QCOMPARE(state.size(), 18);
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
