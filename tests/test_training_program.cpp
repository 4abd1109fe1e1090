// forgewright as the notebook runs it for training: "gen", then "train" through the launcher,
// followed through the progress log and stopped through the stop file.
#include "classif_config.h"
#include "digits_project.h"
#include "test_support.h"

#include <cmath>

#include <QJsonArray>
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

// 4 pictures per subdivision at 224 x 224 through 64 filters: slow on purpose.
const char* const kSlowCfg = "[net]\nbatch=48\nsubdivisions=12\nheight=224\nwidth=224\nchannels=3\n"
                             "momentum=0.9\ndecay=0.0005\nlearning_rate=0.01\npolicy=poly\npower=4\n"
                             "max_batches=1000\n\n"
                             "[convolutional]\nbatch_normalize=1\nfilters=32\nsize=3\nstride=1\npad=1\n"
                             "activation=leaky\n\n"
                             "[convolutional]\nbatch_normalize=1\nfilters=64\nsize=3\nstride=1\npad=1\n"
                             "activation=leaky\n\n"
                             "[convolutional]\nfilters=3\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
                             "[avgpool]\n\n[softmax]\ngroups=1\n";

// A network whose learning rate is 0 and that has no batch normalisation: its answers never
// change, so no evaluation can beat the first.
const char* const kFrozenCfg = "[net]\nbatch=8\nsubdivisions=1\nheight=32\nwidth=32\nchannels=3\n"
                               "momentum=0.9\ndecay=0.0005\nlearning_rate=0\nmax_batches=100000\n\n"
                               "[convolutional]\nfilters=8\nsize=3\nstride=1\npad=1\nactivation=leaky\n\n"
                               "[convolutional]\nfilters=3\nsize=1\nstride=1\npad=1\nactivation=linear\n\n"
                               "[avgpool]\n\n[softmax]\ngroups=1\n";

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

    // The record under key once the log holds one (empty after the timeout).
    QJsonObject waitForRecord(QProcess& process, const QString& key, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            const QJsonObject record = readRecord(dir.path())[key].toObject();
            if (!record.isEmpty())
                return record;
            if (!process.waitForFinished(200))
                QTest::qWait(200);
        }
        return QJsonObject();
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

        // Past the template's burn-in the loss must have fallen clearly below chance: ln 3, the
        // loss of a network that gives the three classes alike.
        const Progress progress = follow(
            train, [](const QJsonObject& state) { return state["intr"].toDouble() >= 1500; }, 240000);
        QVERIFY2(progress.iterations.size() >= 3, qPrintable(QString::number(progress.iterations.size())));
        QVERIFY(std::is_sorted(progress.iterations.begin(), progress.iterations.end()));
        QVERIFY(progress.iterations.last() > progress.iterations.first());
        const double chance = std::log(3.0);
        QVERIFY2(progress.averages.last() < 0.7 * chance,
                 qPrintable(QString("%1 -> %2").arg(progress.averages.first()).arg(progress.averages.last())));
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

    void aTrainerThatEndsByItselfLeavesARecordAndStillStops()
    {
        // Continuing from the backup with a cfg that ends a few iterations later.
        QString cfg = testutil::readAll(gen() + "/data_gen/train.cfg");
        cfg.replace(QRegularExpression("max_batches=\\d+"), "max_batches=1");
        testutil::writeBytes(gen() + "/data_gen/train.cfg", cfg.toUtf8());

        QProcess train;
        train.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        train.start(launcher(), {"train"});
        QVERIFY(train.waitForStarted(10000));
        // The trainer ends at once (it is past max_batches); one last record says so.
        const QJsonObject end = waitForRecord(train, "train_end", 30000);
        QCOMPARE(end["code"].toInt(), 0);
        QCOMPARE(end["reason"].toString(), QString("finished"));
        QCOMPARE(end.keys(), (QStringList{"acc", "avg", "code", "intr", "reason", "time_sec"}));
        QCOMPARE(train.state(), QProcess::Running);
        // The notebook's stop file still ends the batch run, with 0.
        testutil::writeBytes(dir.path() + "/ruzerizozize.stop", "");
        QVERIFY(train.waitForFinished(10000));
        QCOMPARE(train.exitStatus(), QProcess::NormalExit);
        QCOMPARE(train.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(dir.path() + "/ruzerizozize.stop"));
    }

    void aStopDuringASlowIterationEndsWithinOneSubdivision()
    {
        // Twelve subdivisions of a network wide enough that each takes a good part of a second.
        QDir(gen() + "/data_gen/backup").removeRecursively();
        QVERIFY(QDir().mkpath(gen() + "/data_gen/backup"));
        testutil::writeBytes(gen() + "/data_gen/train.cfg", kSlowCfg);

        QProcess train;
        train.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        train.start(launcher(), {"train"});
        QVERIFY(train.waitForStarted(10000));
        // An iteration's length as the records show it (to within their second), between the
        // first and the second: the first one's own includes start-up and the first decoding of
        // its pictures, and taken for the length of the next it let the stop land an iteration
        // late. Both scale with the load on the machine; so does the rest.
        follow(train, [](const QJsonObject& state) { return state["intr"].toDouble() >= 1; }, 300000);
        QElapsedTimer sinceFirst;
        sinceFirst.start();
        const Progress progress =
            follow(train, [](const QJsonObject& state) { return state["intr"].toDouble() >= 2; }, 300000);
        QVERIFY(!progress.iterations.isEmpty() && progress.iterations.last() >= 2);
        const double iterationMs = double(sinceFirst.elapsed());
        if (iterationMs < 4000)
            QSKIP("an iteration here is too quick for a stop to land inside the next one");

        // A sixth into the next iteration, then stop. The stop file is looked for once a second
        // and the record may be a second old, so the trainer is told to stop well inside the
        // iteration that follows the last one recorded; it drops that partial batch rather than
        // finish it.
        const qint64 recorded = qint64(readRecord(dir.path())["train_state"].toObject()["intr"].toDouble());
        QTest::qWait(int(iterationMs / 6));
        testutil::writeBytes(dir.path() + "/ruzerizozize.stop", "");
        QVERIFY(train.waitForFinished(int(3 * iterationMs) + 30000));
        QCOMPARE(train.exitCode(), 0);

        // forgewright waited for its trainer: nothing runs on in the generation folder.
        QStringList leftBehind;
        for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
            if (QFileInfo("/proc/" + pid + "/cwd").canonicalFilePath() == QFileInfo(gen()).canonicalFilePath())
                leftBehind << pid;
        }
        QVERIFY2(leftBehind.isEmpty(), qPrintable(leftBehind.join(' ')));

        // The backup holds whole updates only: darknet loads it with a count of images seen that
        // is a multiple of the batch.
        const QByteArray cfg = QFile::encodeName(gen() + "/data_gen/train.cfg");
        const QByteArray weights = QFile::encodeName(gen() + "/data_gen/backup/train.backup");
        network* net = load_network(const_cast<char*>(cfg.constData()), const_cast<char*>(weights.constData()), 0);
        QVERIFY(net);
        const size_t seen = *net->seen;
        free_network(net);
        QVERIFY2(seen == size_t(48 * recorded), qPrintable(QString("%1 images, %2 iterations").arg(seen).arg(recorded)));
    }
    // Patience 2 with a run that cannot improve: it ends after its third evaluation, says why
    // in its end record, and forgewright exits by itself. Continued (the default), the run
    // keeps that best: its evaluations do not beat it, train.best stays byte for byte, the
    // report goes on, and patience ends it after two more.
    void patienceEndsARunThatCannotImproveAndItsContinuationKeepsTheBest()
    {
        const QString project = dir.path() + "/frozen project";
        const QString frozenGen = dir.path() + "/frozen gen";
        SyntheticProject::write(project, {"circle", "square", "triangle"}, 20, 40);
        QVERIFY(QDir().mkpath(frozenGen));
        const QJsonObject state{{"prj_path", project}, {"gen_path", frozenGen}, {"model", "VoderoVod_32"},
                                {"gen_size", 64},      {"gen_jpg", true},       {"use_augmen", false},
                                {"batch", 8},          {"subdivisions", 1},     {"valid_percent", 20},
                                {"patience", 2},       {"continue_train", true}, {"continue_defalut", true}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());
        QProcess genRun;
        genRun.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        genRun.start(launcher(), {"gen"});
        QVERIFY(genRun.waitForFinished(120000));
        QCOMPARE(genRun.exitCode(), 0);
        const QString backup = frozenGen + "/data_gen/backup";
        testutil::writeBytes(frozenGen + "/data_gen/train.cfg", kFrozenCfg);

        QProcessEnvironment env = testutil::programEnvironment(dir.path());
        env.insert("VELA_TRAINER_EVALUATE_EVERY", "5");
        QByteArray best;
        for (const int iterations : {15, 25}) {
            QProcess train;
            train.setProcessEnvironment(env);
            train.start(launcher(), {"train"});
            QVERIFY(train.waitForFinished(120000));
            QCOMPARE(train.exitCode(), 0);
            const QJsonObject end = readRecord(dir.path())["train_end"].toObject();
            QCOMPARE(end["code"].toInt(), 0);
            QCOMPARE(end["reason"].toString(), QString("no improvement in 2 evaluations"));
            const QJsonObject report = QJsonDocument::fromJson(testutil::readBytes(backup + "/report.json")).object();
            QCOMPARE(report["iterations"].toInt(), iterations);
            QCOMPARE(report["validation"].toObject()["evaluations"].toArray().size(), iterations / 5);
            QCOMPARE(report["validation"].toObject()["best_iteration"].toInt(), 5);
            if (best.isEmpty())
                best = testutil::readBytes(backup + "/train.best");
            QCOMPARE(testutil::readBytes(backup + "/train.best"), best);
        }
    }

    // The notebook's whole job on the digits project: a budget of 20 epochs with a tenth held
    // out. The run ends by itself, and so does forgewright; the best weights, served as seerkeep
    // serves them, read digits that nobody trained on.
    void anEpochBudgetEndsTheRunAndTheBestReadsNewDigits()
    {
        const QString project = dir.path() + "/digits";
        const QString digitsGen = dir.path() + "/digits gen";
        DigitsProject::write(project, 400, 1);
        QVERIFY(QDir().mkpath(digitsGen));
        const QJsonObject state{{"prj_path", project},   {"gen_path", digitsGen},  {"model", "VoderoVod_32"},
                                {"gen_size", 64},        {"gen_png", true},        {"gen_jpg", false},
                                {"use_augmen", false},   {"batch", 8},             {"subdivisions", 1},
                                {"valid_percent", 10},   {"epochs", 20},           {"use_class_balancing", true},
                                {"continue_train", true}, {"continue_defalut", true}};
        testutil::writeBytes(dir.path() + "/ruzerizozize.json", QJsonDocument(state).toJson());
        QProcess genRun;
        genRun.setProcessEnvironment(testutil::programEnvironment(dir.path()));
        genRun.start(launcher(), {"gen"});
        QVERIFY(genRun.waitForFinished(300000));
        QCOMPARE(genRun.exitCode(), 0);
        const QString dataGen = digitsGen + "/data_gen";
        const int listed = testutil::readAll(dataGen + "/train.list").split('\n').size();
        QVERIFY(testutil::readAll(dataGen + "/train.cfg").contains(QString("\nmax_batches=%1\n").arg((20 * listed + 7) / 8)));

        QProcess train;
        QProcessEnvironment env = testutil::programEnvironment(dir.path());
        // A run this short would evaluate only at its end; the best is what is asked for here.
        env.insert("VELA_TRAINER_EVALUATE_EVERY", "250");
        train.setProcessEnvironment(env);
        train.start(launcher(), {"train"});
        QVERIFY(train.waitForFinished(600000));
        QCOMPARE(train.exitCode(), 0);
        const QJsonObject end = readRecord(dir.path())["train_end"].toObject();
        QCOMPARE(end["code"].toInt(), 0);
        QCOMPARE(end["reason"].toString(), QString("finished"));

        const QString model = dir.path() + "/digits model";
        QVERIFY(QDir().mkpath(model));
        QVERIFY(QFile::copy(dataGen + "/backup/train.best", model + "/train.weights"));
        QVERIFY(QFile::copy(dataGen + "/names.list", model + "/names.list"));
        QVERIFY(QFile::copy(dataGen + "/test.cfg", model + "/test.cfg"));
        ClassifConfig config;
        QString error;
        QVERIFY2(config.load(model, "CPU", &error), qPrintable(error));
        int right = 0;
        for (int digit = 0; digit < DigitsProject::kClasses; ++digit)
            for (int n = 0; n < 10; ++n) {
                cv::Mat picture = DigitsProject::digitImage(digit, 40, 7000u + unsigned(n));
                const auto results = config.infer(picture);
                right += !results.empty() && config.class_names.value(results.front().first) == QString::number(digit);
            }
        const QJsonObject report = QJsonDocument::fromJson(testutil::readBytes(dataGen + "/backup/report.json")).object();
        qInfo() << "held-out digits read right:" << right << "of 100; best validation"
                << report["validation"].toObject()["best_top1"].toDouble() << "of"
                << report["validation"].toObject()["images"].toInt();
        QVERIFY2(right >= 90, qPrintable(QString::number(right)));
    }
};

QTEST_GUILESS_MAIN(TestTrainingProgram)
#include "test_training_program.moc"
