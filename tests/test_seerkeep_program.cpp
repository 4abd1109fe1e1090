// The seerkeep program as a driver uses it: command files in its own interface folder, records
// on standard output and in the log, the heartbeat, the result picture and the exit code.
#include "blank_png.h"
#include "darknet_models.h"
#include "fuzz_inputs.h"
#include "test_support.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

namespace {

// Generous limits that only stop a broken run; no case measures speed.
constexpr int kStartMs = 30000;
constexpr int kCommandMs = 60000;

// One running seerkeep in its own interface folder.
class Server
{
public:
    // Starts the program and waits until it polls. A driver cannot tell when a fresh server
    // begins to poll, and a command written before then is dropped as a leftover; so a
    // leftover is put in place first, and its removal shows that the poll runs.
    explicit Server(const QString& interfaceDir) : dir(interfaceDir)
    {
        if (!QFileInfo::exists(commandFile()))
            testutil::writeBytes(commandFile(), "leftover\n");
        process.setProcessEnvironment(testutil::programEnvironment(dir));
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(testutil::binaryDir() + "/server/seerkeep", QStringList());
        started = process.waitForStarted(kStartMs) &&
                  waitFor([this] { return !QFileInfo::exists(commandFile()); }, kStartMs);
    }

    ~Server()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(2000);
        }
    }

    QString file(const QString& name) const { return dir + "/" + name; }
    QString commandFile() const { return file("derarodizir_test.cmd"); }
    QString heartbeat() const { return file("derarodizir.run"); }
    bool running() const { return process.state() == QProcess::Running; }

    // Waits until cond holds, reading the program's output meanwhile; false when the program
    // ended or the limit passed first.
    template <typename Condition>
    bool waitFor(Condition cond, int limitMs = kCommandMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!cond()) {
            if (!running() || clock.elapsed() > limitMs)
                return cond();
            process.waitForReadyRead(20);
            output += process.readAllStandardOutput();
        }
        output += process.readAllStandardOutput();
        return true;
    }

    // Writes the command file whole, as a careful driver does, and waits until the server has
    // consumed it: the file is gone and the heartbeat written anew.
    bool send(const QByteArray& content)
    {
        QFile::remove(heartbeat());
        QSaveFile command(commandFile());
        if (!command.open(QIODevice::WriteOnly) || command.write(content) != content.size() || !command.commit())
            return false;
        return waitFor([this] { return QFileInfo::exists(heartbeat()) && !QFileInfo::exists(commandFile()); });
    }

    // The records printed since the last call.
    QList<QJsonObject> records()
    {
        output += process.readAllStandardOutput();
        QList<QJsonObject> list;
        for (const QByteArray& line : output.split('\n')) {
            if (!line.isEmpty())
                list.append(QJsonDocument::fromJson(line).object());
        }
        output.clear();
        return list;
    }

    // The states of the records printed since the last call.
    QStringList states()
    {
        QStringList names;
        for (const QJsonObject& record : records())
            names << record["state"].toString();
        return names;
    }

    // Waits for the program to end; its exit code, or -1 when it is still running or crashed.
    int exitCode(int limitMs = kCommandMs)
    {
        // waitForFinished() is false for a program that has already ended.
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(limitMs))
            return -1;
        output += process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QString dir;
    QProcess process;
    QByteArray output;
    bool started = false;
};

QJsonObject logRecord(const Server& server)
{
    const QByteArray content = testutil::readBytes(server.file("derarodizir.log"));
    if (!content.endsWith('\n') || content.count('\n') != 1)
        return QJsonObject();
    return QJsonDocument::fromJson(content).object();
}

bool looksLikeDateOutput(const QByteArray& heartbeat)
{
    static const QRegularExpression form("^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9][0-9] "
                                         "[0-9]{2}:[0-9]{2}:[0-9]{2} \\S+ [0-9]{4}\\n$");
    return form.match(QString::fromLatin1(heartbeat)).hasMatch();
}

QByteArray randomBytes(QRandomGenerator& rng, int size)
{
    QByteArray bytes(size, '\0');
    for (char& b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

} // namespace

class TestSeerkeepProgram : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString randomModel;

private slots:
    void initTestCase()
    {
        randomModel = work.filePath("random model");
        QVERIFY(darknetmodels::writeRandomModel(randomModel, darknetmodels::voderoVod32Cfg(3, 1),
                                                {"circle", "square", "triangle"}));
    }

    void startUpDropsALeftoverCommandAndMakesTheModelFolder()
    {
        QTemporaryDir dir;
        testutil::writeBytes(dir.filePath("derarodizir_test.cmd"), "exit\n");
        Server server(dir.path());
        QVERIFY(server.started); // the leftover is gone
        QVERIFY(QFileInfo(dir.filePath("derarodizir_model_test")).isDir());
        QVERIFY(!QFileInfo::exists(server.heartbeat()));

        // Still there: the leftover "exit" was never carried out.
        QVERIFY(server.send("test\n"));
        QVERIFY(server.running());
        QCOMPARE(server.states(), (QStringList{"test_start", "test_error"}));

        QVERIFY(server.send("exit\n"));
        QCOMPARE(server.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(server.commandFile()));
        QVERIFY2(looksLikeDateOutput(testutil::readBytes(server.heartbeat())),
                 testutil::readBytes(server.heartbeat()).constData());
    }

    void commandFileGrammar()
    {
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);

        QVERIFY(server.send("update\n"));
        QList<QJsonObject> records = server.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0]["state"].toString(), QString("update_start"));
        QCOMPARE(records[1]["state"].toString(), QString("update_error"));
        QCOMPARE(records[1]["msg"].toString(),
                 "not found : " + dir.filePath("derarodizir_model_test") + "/train.weights");
        QCOMPARE(logRecord(server), records[1]);

        QVERIFY(server.send("update,"));
        records = server.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1]["msg"].toString(), QString("not found : /train.weights"));

        // Blanks are part of the argument; line ends anywhere are dropped.
        QVERIFY(server.send("upd\r\nate, /no where\r\n"));
        records = server.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1]["msg"].toString(), QString("not found :  /no where/train.weights"));

        QVERIFY(server.send("test\n"));
        QCOMPARE(server.states(), (QStringList{"test_start", "test_error"}));

        // Not commands: consumed and acknowledged, nothing done.
        for (const QByteArray& ignored : {QByteArray(" update\n"), QByteArray("Update\n"), QByteArray("exit,now\n"),
                                          QByteArray("exit \n"), QByteArray("test,/a,b.png\n"), QByteArray(""),
                                          QByteArray("update\nupdate\n"), QByteArray("stop\n")}) {
            QVERIFY2(server.send(ignored), ignored.constData());
            QVERIFY2(server.states().isEmpty(), ignored.constData());
            QVERIFY(server.running());
        }

        QVERIFY(server.send("exit\r\n"));
        QCOMPARE(server.exitCode(), 0);
    }

    void aCommandWrittenInPlaceIsReadWhole()
    {
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);
        // A driver that writes without a rename, in pieces a moment apart: the server must wait
        // for the whole word, and a half "te" would be consumed with no record at all.
        for (int round = 0; round < 5; ++round) {
            QFile::remove(server.heartbeat());
            QFile command(server.commandFile());
            QVERIFY(command.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            QCOMPARE(command.write("te"), qint64(2));
            QThread::usleep(1000);
            QCOMPARE(command.write("st\n"), qint64(3));
            command.close();
            QVERIFY(server.waitFor(
                [&] { return QFileInfo::exists(server.heartbeat()) && !QFileInfo::exists(server.commandFile()); }));
            QCOMPARE(server.states(), (QStringList{"test_start", "test_error"}));
        }
        QVERIFY(server.send("exit\n"));
        QCOMPARE(server.exitCode(), 0);
    }

    void updateAndTestRecords()
    {
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);

        // A test before any update.
        const QString picture = dir.filePath("picture.png");
        cv::Mat pixels(720, 1280, CV_8UC3, cv::Scalar(30, 90, 200));
        QVERIFY(cv::imwrite(picture.toStdString(), pixels));
        QVERIFY(server.send(("test," + picture).toUtf8()));
        QCOMPARE(server.states(), (QStringList{"test_start", "test_error"}));
        QVERIFY(!QFileInfo::exists(dir.filePath("derarodizir_result.png")));

        // Each successful update reports its end twice.
        for (int round = 0; round < 2; ++round) {
            QVERIFY(server.send(("update," + randomModel).toUtf8()));
            const QList<QJsonObject> records = server.records();
            QCOMPARE(records.size(), 3);
            QCOMPARE(records[0]["state"].toString(), QString("update_start"));
            for (int i : {1, 2}) {
                QCOMPARE(records[i]["state"].toString(), QString("update_end"));
                QCOMPARE(records[i]["load_model"], QJsonValue(true));
                QCOMPARE(records[i].keys(), (QStringList{"datatime", "load_model", "state"}));
            }
            QCOMPARE(logRecord(server), records[2]);
        }

        QVERIFY(server.send(("test," + picture).toUtf8()));
        const QList<QJsonObject> records = server.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1]["state"].toString(), QString("test_end"));
        QCOMPARE(records[1]["results"].toArray().size(), 1);
        QCOMPARE(logRecord(server), records[1]);
        const cv::Mat result = cv::imread(dir.filePath("derarodizir_result.png").toStdString());
        QCOMPARE(result.size(), cv::Size(608, 342));

        QVERIFY(server.send("exit"));
        QCOMPARE(server.exitCode(), 0);
    }

    void trainedModelFindsTheRightClass()
    {
        const QString model = darknetmodels::trainedShapesModel();
        QVERIFY2(!model.isEmpty(), "the shapes model could not be trained");
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);

        // The default model folder (made at start-up) and picture of the window's fields.
        for (const QString& name : {"train.weights", "names.list", "test.cfg"})
            QVERIFY(QFile::copy(model + "/" + name, dir.filePath("derarodizir_model_test/" + name)));
        QVERIFY(server.send("update\n"));
        QCOMPARE(server.records().last()["load_model"], QJsonValue(true));

        const cv::Mat square = SyntheticProject::shapeImage("square", 64, darknetmodels::kHeldOutSeed);
        QVERIFY(cv::imwrite(dir.filePath("derarodizir_img_test.png").toStdString(), square));
        QVERIFY(server.send("test\n"));
        QList<QJsonObject> records = server.records();
        QCOMPARE(records.last()["state"].toString(), QString("test_end"));
        QCOMPARE(records.last()["results"].toArray()[0].toObject()["name"].toString(), QString("square"));

        // Named pictures never trained on, in a folder whose name holds a blank and a non-ASCII
        // letter; wide ones too, as a camera takes them.
        const QString odd = dir.filePath(QString::fromUtf8("held out \xc3\xa4"));
        QDir().mkpath(odd);
        for (const QString& shape : darknetmodels::shapeClasses()) {
            for (unsigned seed = darknetmodels::kHeldOutSeed + 1; seed <= darknetmodels::kHeldOutSeed + 3; ++seed) {
                cv::Mat picture = SyntheticProject::shapeImage(shape, 64, seed);
                const bool wide = seed % 2 == 0;
                if (wide)
                    cv::resize(picture, picture, cv::Size(160, 90));
                const QString path = odd + QString("/%1_%2.%3").arg(shape).arg(seed).arg(wide ? "jpg" : "png");
                QVERIFY(cv::imwrite(QFile::encodeName(path).toStdString(), picture));
                QVERIFY(server.send(("test," + path).toUtf8()));
                records = server.records();
                QCOMPARE(records.size(), 2);
                QCOMPARE(records[1]["state"].toString(), QString("test_end"));
                const QJsonObject best = records[1]["results"].toArray()[0].toObject();
                QVERIFY2(best["name"].toString() == shape, qPrintable(path + " taken for " + best["name"].toString()));
                QVERIFY(best["prob"].toDouble() > 0 && best["prob"].toDouble() <= 100);

                const cv::Mat result = cv::imread(dir.filePath("derarodizir_result.png").toStdString());
                QCOMPARE(result.size(), wide ? cv::Size(608, 342) : cv::Size(608, 608));
            }
        }

        QVERIFY(server.send("exit\n"));
        QCOMPARE(server.exitCode(), 0);
    }

    void badInputNeitherStopsNorHangsTheServer()
    {
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);
        QVERIFY(server.send(("update," + randomModel).toUtf8()));
        server.records();

        QRandomGenerator rng(11);
        QVERIFY(server.send(randomBytes(rng, 4096)));
        QVERIFY(server.send(QByteArray(10 * 1024 * 1024, 'x')));
        QVERIFY(server.states().isEmpty());
        // Ten megabytes of line ends after the word: still the one command.
        QVERIFY(server.send("test" + QByteArray(10 * 1024 * 1024, '\n')));
        QCOMPARE(server.states(), (QStringList{"test_start", "test_error"}));

        auto testGivesError = [&](const QString& path) {
            if (!server.send(("test," + path).toUtf8()))
                return false;
            return server.states() == QStringList{"test_start", "test_error"};
        };
        QVERIFY(testGivesError(dir.filePath("missing.png")));
        QVERIFY(testGivesError(dir.path()));
        const QString words = dir.filePath("words.jpg");
        testutil::writeBytes(words, "no picture here");
        QVERIFY(testGivesError(words));
        const QString good = dir.filePath("good.png");
        QVERIFY(cv::imwrite(good.toStdString(), cv::Mat(300, 400, CV_8UC3, cv::Scalar(1, 2, 3))));
        const QString truncated = dir.filePath("truncated.png");
        testutil::writeBytes(truncated, testutil::readBytes(good).left(60));
        QVERIFY(testGivesError(truncated));
        const QString huge = dir.filePath("huge.png");
        testutil::writeBytes(huge, testutil::blankPng(20000, 20000));
        QVERIFY(testGivesError(huge));

        // A FIFO or a dangling link where the command file belongs is no command: nothing
        // blocks, and a real command afterwards is served.
        QVERIFY(::mkfifo(QFile::encodeName(server.commandFile()).constData(), 0600) == 0);
        QTest::qWait(1200);
        QVERIFY(server.running());
        QFile::remove(server.commandFile());
        QVERIFY(QFile::link(dir.filePath("gone"), server.commandFile()));
        QTest::qWait(1200);
        QVERIFY(server.running());
        QFile::remove(server.commandFile());

        // Truncated weights: the load fails and says so.
        const QString broken = dir.filePath("broken");
        QDir().mkpath(broken);
        for (const QString& name : {"names.list", "test.cfg"})
            QVERIFY(QFile::copy(randomModel + "/" + name, broken + "/" + name));
        const QByteArray weights = testutil::readBytes(randomModel + "/train.weights");
        testutil::writeBytes(broken + "/train.weights", weights.left(weights.size() / 2));
        QVERIFY(server.send(("update," + broken).toUtf8()));
        const QList<QJsonObject> records = server.records();
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[2]["state"].toString(), QString("update_end"));
        QCOMPARE(records[2]["load_model"], QJsonValue(false));

        QVERIFY(server.send(("update," + randomModel).toUtf8()));
        server.records();
        QVERIFY(server.send(("test," + good).toUtf8()));
        QCOMPARE(server.states(), (QStringList{"test_start", "test_end"}));
        QVERIFY(server.send("exit\n"));
        QCOMPARE(server.exitCode(), 0);
    }

    void randomInputNeitherStopsNorHangsTheProgram()
    {
        QTemporaryDir dir;
        Server server(dir.path());
        QVERIFY(server.started);
        QVERIFY(server.send(("update," + randomModel).toUtf8()));

        FuzzInputs inputs(7);
        const QString picture = dir.filePath("fuzz.png");
        for (int round = 0; round < 15; ++round) {
            testutil::writeBytes(picture, inputs.picture());
            testutil::writeBytes(dir.filePath("derarodizir_img_test.png"), inputs.picture());
            QVERIFY2(server.send(inputs.command(picture)), qPrintable(QString("round %1").arg(round)));
        }
        server.records();

        // A failed update leaves no model loaded: the last one is loaded again first.
        const QString good = dir.filePath("good.png");
        QVERIFY(cv::imwrite(good.toStdString(), SyntheticProject::shapeImage("square", 64, 3)));
        QVERIFY(server.send(("update," + randomModel).toUtf8()));
        server.records();
        QVERIFY(server.send(("test," + good).toUtf8()));
        QCOMPARE(server.states(), (QStringList{"test_start", "test_end"}));
        QVERIFY(server.send("exit\n"));
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSeerkeepProgram)
#include "test_seerkeep_program.moc"
