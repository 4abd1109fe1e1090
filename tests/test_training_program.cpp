// forgewright as the notebook runs it for training: "gen", then "train" through the launcher,
// followed through the progress log and stopped through the stop file.
#include "test_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

extern "C" {
#include <darknet.h>
}

namespace {

QJsonObject readRecord(const QString& interfaceDir)
{
    return QJsonDocument::fromJson(testutil::readBytes(interfaceDir + "/ruzerizozize.log")).object();
}

struct Progress
{
    QList<qint64> iterations;
    QList<double> averages;
};

} // namespace

class TestTrainingProgram : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString gen() const { return dir.path() + "/gen with blank"; }
    QString launcher() const { return testutil::binaryDir() + "/run-forgewright"; }

    void writeState(const QString& project)
    {
        QDir().mkpath(gen()); // a generation folder that does not exist is not taken
        QJsonObject state{{"prj_path", project}, {"gen_path", gen()},       {"model", "VoderoVod_32"},
                          {"gen_size", 32},      {"gen_jpg", true},         {"use_augmen", false},
                          {"batch", 16},         {"subdivisions", 1},       {"use_class_balancing", true},
                          {"continue_train", true}, {"continue_defalut", true}, {"keep_aspect_ratio", true}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());
    }

    // Followed once a second through the log, as a notebook does, until the condition holds.
    template <typename Done>
    Progress follow(QProcess& process, Done done, int timeoutMs)
    {
        Progress progress;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && process.state() == QProcess::Running) {
            const QJsonObject state = readRecord(dir.path())["train_state"].toObject();
            if (!state.isEmpty() && (progress.iterations.isEmpty() ||
                                     qint64(state["intr"].toDouble()) != progress.iterations.last())) {
                progress.iterations << qint64(state["intr"].toDouble());
                progress.averages << state["avg"].toDouble();
                if (done(state))
                    break;
            }
            process.waitForFinished(250);
        }
        return progress;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        const QString project = dir.path() + "/project";
        SyntheticProject::write(project, {"circle", "square", "triangle"}, 30, 40);
        writeState(project);
        QProcess genRun;
        genRun.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        genRun.start(launcher(), {"gen"});
        QVERIFY(genRun.waitForFinished(120000));
        QCOMPARE(genRun.exitCode(), 0);
        QVERIFY(QFileInfo::exists(gen() + "/data_gen/train.cfg"));
    }

    void trainsUntilTheStopFileAndKeepsItsBackup()
    {
        QProcess train;
        train.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        train.start(launcher(), {"train"});
        QVERIFY(train.waitForStarted(10000));

        // Past the template's burn-in the loss must have fallen clearly.
        const Progress progress = follow(
            train, [](const QJsonObject& state) { return state["intr"].toDouble() >= 1500; }, 240000);
        QVERIFY2(progress.iterations.size() >= 3, qPrintable(QString::number(progress.iterations.size())));
        QVERIFY(std::is_sorted(progress.iterations.begin(), progress.iterations.end()));
        QVERIFY(progress.iterations.last() > progress.iterations.first());
        QVERIFY2(progress.averages.last() < 0.7 * progress.averages.at(1),
                 qPrintable(QString("%1 -> %2").arg(progress.averages.at(1)).arg(progress.averages.last())));
        const QJsonObject last = readRecord(dir.path())["train_state"].toObject();
        QCOMPARE(last["backend"].toString(), QString("CPU"));
        QVERIFY(last["time_sec"].toDouble() >= 1);

        testutil::writeBytes(dir.path() + "/ruzerizozize.stop", "");
        QVERIFY(train.waitForFinished(30000));
        QCOMPARE(train.exitStatus(), QProcess::NormalExit);
        QCOMPARE(train.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(dir.path() + "/ruzerizozize.stop"));

        // The backup is whole by the time forgewright has exited: darknet loads it.
        const QByteArray cfg = QFile::encodeName(gen() + "/data_gen/test.cfg");
        const QByteArray weights = QFile::encodeName(gen() + "/data_gen/backup/train.backup");
        QVERIFY(QFileInfo::exists(QString::fromLocal8Bit(weights)));
        network* net = load_network(const_cast<char*>(cfg.constData()), const_cast<char*>(weights.constData()), 0);
        QVERIFY(net);
        QCOMPARE(net->outputs, 3);
        QVERIFY(*net->seen > 0);
        free_network(net);
    }

    void aTrainerThatEndsByItselfLeavesTheProgramIdle()
    {
        // Continuing from the backup with a cfg that ends a few iterations later.
        QString cfg = testutil::readAll(gen() + "/data_gen/train.cfg");
        cfg.replace(QRegularExpression("max_batches=\\d+"), "max_batches=1");
        testutil::writeBytes(gen() + "/data_gen/train.cfg", cfg.toUtf8());

        QProcess train;
        train.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        train.start(launcher(), {"train"});
        QVERIFY(train.waitForStarted(10000));
        // The trainer ends at once (it is past max_batches); forgewright stays, idle.
        QTest::qWait(5000);
        QCOMPARE(train.state(), QProcess::Running);
        testutil::writeBytes(dir.path() + "/ruzerizozize.stop", "");
        QVERIFY(!train.waitForFinished(3000));
        QVERIFY(QFileInfo::exists(dir.path() + "/ruzerizozize.stop"));
        train.terminate();
        QVERIFY(train.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestTrainingProgram)
#include "test_training_program.moc"
