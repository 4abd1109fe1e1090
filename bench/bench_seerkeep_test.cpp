// The server's "test" turnaround: from writing a "test" command file to the rewritten heartbeat,
// with a darknet19 model (random weights from libdarknet), beside the bare ClassifConfig::infer
// time and the PNG encoding of the result, on the same picture.
//   build/bench/bench_seerkeep_test [runs]
// The loop should add no more than the poll interval (500 ms) and the PNG encode to inference.
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
#include <QSaveFile>
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

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
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

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    QTemporaryDir dir;
    const QString model = dir.filePath("darknet19");
    const QStringList classes = {"a", "b", "c", "d", "e"};
    if (!darknetmodels::writeRandomModel(model, darknetmodels::darknet19Cfg(classes.size()), classes)) {
        std::fprintf(stderr, "cannot write the darknet19 model\n");
        return 1;
    }
    // A camera-sized picture; the server scales it to 608 x 342 before classifying.
    const QString picturePath = dir.filePath("picture.jpg");
    cv::Mat picture(720, 1280, CV_8UC3);
    cv::randu(picture, 0, 256);
    cv::GaussianBlur(picture, picture, cv::Size(9, 9), 3);
    cv::imwrite(picturePath.toStdString(), picture);
    cv::Mat scaled;
    cv::resize(picture, scaled, cv::Size(608, 342), 0, 0, cv::INTER_LINEAR);

    // Bare inference and encoding, in this process.
    std::vector<double> infer, encode;
    {
        DialogListConfigs list;
        if (!list.addConfigPath("bench", model, "CPU")) {
            std::fprintf(stderr, "cannot load the darknet19 model\n");
            return 1;
        }
        ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value("bench");
        config->infer(scaled); // first run sets up buffers
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer t;
            t.start();
            config->infer(scaled);
            infer.push_back(t.nsecsElapsed() / 1e6);

            cv::Mat result = scaled.clone();
            std::vector<uchar> png;
            t.restart();
            cv::imencode(".png", result, png);
            encode.push_back(t.nsecsElapsed() / 1e6);
        }
    }

    // The server, driven through its command file.
    QTemporaryDir interfaceDir;
    QProcess server;
    server.setProcessEnvironment(testutil::programEnvironment(interfaceDir.path()));
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    writeWhole(interfaceDir.filePath("derarodizir_test.cmd"), "leftover");
    server.start(testutil::binaryDir() + "/server/seerkeep", QStringList());
    if (!server.waitForStarted(30000))
        return 1;
    while (QFileInfo::exists(interfaceDir.filePath("derarodizir_test.cmd")))
        QThread::msleep(5);
    if (turnaround(interfaceDir.path(), ("update," + model).toUtf8()) < 0)
        return 1;
    const QByteArray test = ("test," + picturePath).toUtf8();
    turnaround(interfaceDir.path(), test); // first run sets up buffers
    // A driver writes its commands at any moment of the poll cycle, not just after a heartbeat.
    QRandomGenerator rng(5);
    std::vector<double> commands;
    for (int i = 0; i < runs; ++i) {
        QThread::msleep(rng.bounded(500));
        const double ms = turnaround(interfaceDir.path(), test);
        if (ms < 0)
            return 1;
        commands.push_back(ms);
    }
    turnaround(interfaceDir.path(), "exit");
    server.waitForFinished(30000);

    const Figures inferF = summary(infer), encodeF = summary(encode), commandF = summary(commands);
    std::printf("darknet19, 5 classes, CPU, picture 1280x720 (classified at 608x342), %d runs, load %s\n", runs,
                qPrintable(loadAverage()));
    print("ClassifConfig::infer", inferF);
    print("PNG encode of the result", encodeF);
    print("\"test\" command file -> heartbeat", commandF);
    const double overhead = commandF.median - inferF.median - encodeF.median;
    std::printf("loop overhead (median turnaround - infer - encode): %.1f ms (poll interval 500 ms); "
                "turnaround / infer = %.2f\n",
                overhead, commandF.median / inferF.median);
    return 0;
}
