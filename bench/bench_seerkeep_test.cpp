// The server's "test" turnaround: from writing a "test" command file to the rewritten heartbeat,
// with a VoderoVod_32 and a darknet19 model (random weights from libdarknet), beside the bare
// ClassifConfig::infer time and the PNG encoding of the server's result picture; once with
// the server reacting to the file as it appears, once polling only (SEERKEEP_POLL_ONLY). Two
// pictures: a held-out digit (28 x 28 PNG, enlarged to 608 x 608) and a camera picture
// (1280 x 720 JPEG, whose decoding alone takes several milliseconds).
//   build/bench/bench_seerkeep_test [runs]
// With the watcher the loop should add no more than about 15 ms to inference (encoding and
// drawing included); polling alone adds up to the poll interval (500 ms).
#include "atomic_file.h"
#include "png_encoder.h"
#include "classif_config.h"
#include "darknet_models.h"
#include "dialog_list_configs.h"
#include "test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Figures
{
    double median = 0, min = 0, max = 0;
};

Figures summary(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

void print(const char* what, const Figures& f)
{
    std::printf("%-38s median %8.1f ms   min %8.1f   max %8.1f\n", what, f.median, f.min, f.max);
}

QString loadAverage()
{
    QFile file("/proc/loadavg");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2) : QString("?");
}

// As the notebook driver writes a command: a temporary file renamed into place, not synced
// (QSaveFile's fsync would be the driver's cost, not the server's).
bool writeWhole(const QString& path, const QByteArray& bytes)
{
    return AtomicFile::write(path, bytes, AtomicFile::Durability::Unsynced);
}

// Writes the command and waits for the heartbeat; milliseconds, or -1.
double turnaround(const QString& dir, const QByteArray& command)
{
    const QString heartbeat = dir + "/derarodizir.run";
    QFile::remove(heartbeat);
    QElapsedTimer clock;
    clock.start();
    if (!writeWhole(dir + "/derarodizir_test.cmd", command))
        return -1;
    while (!QFileInfo::exists(heartbeat)) {
        if (clock.elapsed() > 120000)
            return -1;
        QThread::usleep(500);
    }
    return clock.nsecsElapsed() / 1e6;
}

struct Bare
{
    Figures infer, pausedInfer, pairedDifference, encode, opencvEncode;
};

// A driver writes its commands at any moment of the poll cycle, not just after a heartbeat:
// the same pauses before each command, in every measurement.
class Pauses
{
public:
    void next() { QThread::msleep(rng.bounded(500)); }

private:
    QRandomGenerator rng{5};
};

// Inference in this process, on the model loaded as the server loads it.
class BareInfer
{
public:
    bool load(const QString& model, const cv::Mat& picture)
    {
        scaled = picture;
        if (!list.addConfigPath(model, model, "CPU"))
            return false;
        config = DialogListConfigs::map_classif_cfgs.value(model);
        config->infer(scaled); // first run sets up buffers
        return true;
    }

    double once()
    {
        QElapsedTimer t;
        t.start();
        config->infer(scaled);
        return t.nsecsElapsed() / 1e6;
    }

    Figures backToBack(int runs)
    {
        std::vector<double> infer;
        for (int i = 0; i < runs; ++i)
            infer.push_back(once());
        return summary(infer);
    }

private:
    DialogListConfigs list;
    ClassifConfig* config = nullptr;
    cv::Mat scaled;
};

// Encoding of the server's own result picture (the class map over the picture), by our
// encoder and by OpenCV's.
bool measureEncode(const QString& resultPath, int runs, Bare* bare)
{
    const cv::Mat result = cv::imread(resultPath.toStdString(), cv::IMREAD_COLOR);
    if (result.empty())
        return false;
    std::vector<double> encode, opencvEncode;
    std::vector<uchar> png;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        PngEncoder::encode(result, png);
        encode.push_back(t.nsecsElapsed() / 1e6);
        t.restart();
        cv::imencode(".png", result, png);
        opencvEncode.push_back(t.nsecsElapsed() / 1e6);
    }
    bare->encode = summary(encode);
    bare->opencvEncode = summary(opencvEncode);
    return true;
}

// The server, driven through its command file: the turnarounds of runs "test" commands; its
// last result picture is kept at keptResult when one is named.
// With paired, the bare inference also runs between the commands (after a pause of its own,
// while the server waits), and pairedDifference is each turnaround less the inference next to
// it: the loop's own cost, under the same load as the inference.
bool measureServer(const QString& model, const QString& picturePath, int runs, bool pollOnly, Figures* figures,
                   const QString& keptResult = QString(), BareInfer* paired = nullptr, Bare* bare = nullptr)
{
    QTemporaryDir interfaceDir;
    QProcess server;
    QProcessEnvironment env = testutil::programEnvironment(interfaceDir.path());
    if (pollOnly)
        env.insert("SEERKEEP_POLL_ONLY", "1");
    server.setProcessEnvironment(env);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    writeWhole(interfaceDir.filePath("derarodizir_test.cmd"), "leftover");
    server.start(testutil::binaryDir() + "/server/seerkeep", QStringList());
    if (!server.waitForStarted(30000))
        return false;
    while (QFileInfo::exists(interfaceDir.filePath("derarodizir_test.cmd")))
        QThread::msleep(5);
    if (turnaround(interfaceDir.path(), ("update," + model).toUtf8()) < 0)
        return false;
    const QByteArray test = ("test," + picturePath).toUtf8();
    turnaround(interfaceDir.path(), test); // first run sets up buffers
    Pauses pauses, inferPauses;
    std::vector<double> commands, pausedInfer, differences;
    for (int i = 0; i < runs; ++i) {
        pauses.next();
        const double ms = turnaround(interfaceDir.path(), test);
        if (ms < 0)
            return false;
        commands.push_back(ms);
        if (paired) {
            inferPauses.next();
            pausedInfer.push_back(paired->once());
            differences.push_back(ms - pausedInfer.back());
        }
    }
    if (paired) {
        bare->pausedInfer = summary(pausedInfer);
        bare->pairedDifference = summary(differences);
    }
    turnaround(interfaceDir.path(), "exit");
    server.waitForFinished(30000);
    if (!keptResult.isEmpty()) {
        QFile::remove(keptResult);
        if (!QFile::copy(interfaceDir.filePath("derarodizir_result.png"), keptResult))
            return false;
    }
    *figures = summary(commands);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    QTemporaryDir dir;
    const QStringList classes = {"a", "b", "c", "d", "e"};
    const QString voderoVod = dir.filePath("VoderoVod_32");
    const QString darknet19 = dir.filePath("darknet19");
    if (!darknetmodels::writeRandomModel(voderoVod, darknetmodels::voderoVod32Cfg(classes.size(), 1), classes) ||
        !darknetmodels::writeRandomModel(darknet19, darknetmodels::darknet19Cfg(classes.size()), classes)) {
        std::fprintf(stderr, "cannot write the models\n");
        return 1;
    }
    struct Picture
    {
        const char* what;
        QString path;
        cv::Mat scaled; // as the server classifies it
    };
    // A held-out digit, as the notebook's example classifies them.
    cv::Mat digit(28, 28, CV_8UC3, cv::Scalar::all(0));
    cv::putText(digit, "7", cv::Point(6, 23), cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar::all(255), 2);
    // A camera-sized picture; the server scales it to 608 x 342 before classifying.
    cv::Mat camera(720, 1280, CV_8UC3);
    cv::randu(camera, 0, 256);
    cv::GaussianBlur(camera, camera, cv::Size(9, 9), 3);
    std::vector<Picture> pictures = {{"digit 28x28 PNG", dir.filePath("digit.png"), cv::Mat()},
                                     {"camera 1280x720 JPEG", dir.filePath("camera.jpg"), cv::Mat()}};
    cv::imwrite(pictures[0].path.toStdString(), digit);
    cv::imwrite(pictures[1].path.toStdString(), camera);
    cv::resize(digit, pictures[0].scaled, cv::Size(608, 608), 0, 0, cv::INTER_LINEAR);
    cv::resize(camera, pictures[1].scaled, cv::Size(608, 342), 0, 0, cv::INTER_LINEAR);

    std::printf("5 classes, CPU, %d runs, load %s\n", runs, qPrintable(loadAverage()));
    for (const QString& model : {voderoVod, darknet19}) {
        for (const Picture& picture : pictures) {
            const QByteArray name = QFileInfo(model).fileName().toUtf8();
            Bare bare;
            Figures watched, polled;
            const QString result = dir.filePath("result.png");
            BareInfer bareInfer;
            const bool loaded = bareInfer.load(model, picture.scaled);
            if (loaded)
                bare.infer = bareInfer.backToBack(runs);
            if (!loaded || !measureServer(model, picture.path, runs, false, &watched, result, &bareInfer, &bare) ||
                !measureEncode(result, runs, &bare) ||
                !measureServer(model, picture.path, runs, true, &polled)) {
                std::fprintf(stderr, "%s: the measurement failed\n", name.constData());
                return 1;
            }
            std::printf("\n%s, %s\n", name.constData(), picture.what);
            print("ClassifConfig::infer", bare.infer);
            print("  the same between the commands, paused", bare.pausedInfer);
            print("PNG encode of the server's result", bare.encode);
            print("  the same by OpenCV's encoder", bare.opencvEncode);
            print("\"test\" -> heartbeat, watcher", watched);
            print("\"test\" -> heartbeat, poll only", polled);
            const double bareMs = bare.infer.median + bare.encode.median;
            std::printf("loop overhead (median turnaround - infer - encode): watcher %.1f ms, poll only %.1f ms; "
                        "poll only / watcher = %.1fx\n",
                        watched.median - bareMs, polled.median - bareMs, polled.median / watched.median);
            print("turnaround - the infer next to it", bare.pairedDifference);
        }
    }
    std::printf("load %s\n", qPrintable(loadAverage()));
    return 0;
}
