// Per-picture latency of ClassifConfig::infer against libdarknet's own prediction, on the same
// darknet19 network (256x256 input), the same weights and the same picture, in one run.
#include "classif_config.h"
#include "classifier_fixtures.h"
#include "darknet_reference.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

QString loadAverage()
{
    QFile file("/proc/loadavg");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2) : QString("?");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const int perRound = 4;

    QTemporaryDir dir;
    const QString folder = dir.filePath("darknet19");
    const QString cfg = classifierfix::instantiate(classifierfix::templateNamed("darknet19"), 5);
    classifierfix::writeModelFolder(folder, cfg, 5);
    std::srand(1);
    {
        darknetref::ReferenceNetwork writer(folder + "/test.cfg");
        writer.randomise(1, 0.05f);
        writer.save(folder + "/train.weights");
    }
    darknetref::ReferenceNetwork darknet(folder + "/test.cfg", folder + "/train.weights");
    ClassifConfig config;
    QString error;
    if (!darknet.valid() || !config.load(folder, "CPU", &error)) {
        std::fprintf(stderr, "cannot load darknet19: %s\n", qPrintable(error));
        return 1;
    }

    cv::Mat picture(256, 256, CV_8UC3);
    cv::randu(picture, 0, 256);
    cv::GaussianBlur(picture, picture, cv::Size(5, 5), 1.5);

    // First runs set up buffers on both sides.
    darknet.predict(picture);
    config.infer(picture);

    const auto timeOurs = [&](std::vector<double>& into) {
        for (int i = 0; i < perRound; ++i) {
            QElapsedTimer t;
            t.start();
            config.infer(picture);
            into.push_back(t.nsecsElapsed() / 1e6);
        }
    };
    std::vector<double> reference, ours, oursOneThread;
    const int threads = cv::getNumThreads();
    // Interleaved, so that both see the same load on a shared machine.
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        darknet.predict(picture);
        reference.push_back(t.nsecsElapsed() / 1e6);
        timeOurs(ours);
        cv::setNumThreads(1);
        timeOurs(oursOneThread);
        cv::setNumThreads(threads);
    }

    const double darknetMs = median(reference);
    const double oursMs = median(ours);
    const double oneThreadMs = median(oursOneThread);
    std::printf("darknet19 256x256, %d rounds, load average %s, %d cores\n", rounds, qPrintable(loadAverage()),
                cv::getNumberOfCPUs());
    std::printf("libdarknet network_predict (1 thread):  %8.1f ms per picture (median of %zu)\n", darknetMs,
                reference.size());
    std::printf("ClassifConfig::infer, %d threads:        %8.1f ms per picture (median of %zu)\n", threads, oursMs,
                ours.size());
    std::printf("ClassifConfig::infer, 1 thread:          %8.1f ms per picture (median of %zu)\n", oneThreadMs,
                oursOneThread.size());
    std::printf("speed-up of the medians: %.1fx (%d threads), %.1fx (1 thread); goal >= 7x\n", darknetMs / oursMs,
                threads, darknetMs / oneThreadMs);
    // On a machine shared with other work the fastest runs show what each side can do.
    std::printf("speed-up of the best runs: %.1fx (%.1f ms vs %.1f ms, %d threads), %.1fx (1 thread)\n",
                best(reference) / best(ours), best(reference), best(ours), threads,
                best(reference) / best(oursOneThread));
    return 0;
}
