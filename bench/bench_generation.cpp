// Throughput of training-data generation: a project of 200 photo-like 1280 x 960 JPEG images in
// 4 classes (made deterministically), generated with the default settings (size 608, JPEG, the
// default augmentation of 20 variants per image, class balancing), once limited to one worker
// thread and once with one worker per core. Prints images written per second, the ratio, and the
// peak resident memory of each run. Each run is a child process of its own, so that its peak
// memory is its own; the best of a few alternating rounds counts.
//
// Run: build/bench/bench_generation [images per class, default 50] [rounds, default 3]
// On a machine shared with other sessions the kernel splits the cores between sessions
// (autogroups), so extra threads cannot show; run it in a session of its own with a raised share:
//   setsid bash -c 'echo -15 > /proc/self/autogroup; build/bench/bench_generation' < /dev/null

#include "dialog_ruzerizozize.h"
#include "interface_paths.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <cstdio>

namespace {

const QStringList kClasses{"apple", "bicycle", "cloud", "dune"};

// A deterministic stand-in for a photograph: gradients, shaded shapes and sensor grain, so that
// neither the decoder nor the encoder meets trivially compressible pixels.
cv::Mat photoLikeImage(unsigned seed)
{
    const int width = 1280, height = 960;
    cv::Mat img(height, width, CV_8UC3);
    cv::RNG rng(seed);
    const double tint = rng.uniform(0.0, 60.0);
    for (int y = 0; y < height; ++y) {
        auto* row = img.ptr<cv::Vec3b>(y);
        const double t = double(y) / height;
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            if (t < 0.55)
                row[x] = cv::Vec3b(uchar(200 - 90 * t + tint / 2), uchar(190 - 60 * t + 20 * u), uchar(140 - 40 * t));
            else
                row[x] = cv::Vec3b(uchar(40 + 30 * u), uchar(90 + 50 * (1 - t) + tint), uchar(60 + 40 * t));
        }
    }
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const cv::Size axes(rng.uniform(20, 180), rng.uniform(20, 140));
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        cv::ellipse(img, centre, axes, rng.uniform(0, 180), 0, 360, colour, cv::FILLED, cv::LINE_AA);
    }
    cv::Mat grain(img.size(), CV_8UC3);
    rng.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
    img += grain;
    cv::GaussianBlur(img, img, cv::Size(3, 3), 0);
    return img;
}

void makeProject(const QString& root, int perClass)
{
    unsigned seed = 1;
    for (const QString& cls : kClasses) {
        QDir().mkpath(root + "/" + cls);
        for (int i = 0; i < perClass; ++i)
            cv::imwrite((root + "/" + cls + "/" + QString::number(i) + ".jpg").toStdString(), photoLikeImage(seed++),
                        {cv::IMWRITE_JPEG_QUALITY, 90});
    }
}

// Child: one generation run. Prints "images seconds peak_rss_kib".
int runOnce(const QString& project, const QString& gen, int workers)
{
    DialogRuzerizOzize dialog;
    QJsonObject state = dialog.saveState(); // the defaults
    state["prj_path"] = project;
    state["gen_path"] = gen;
    dialog.restoreState(state);
    dialog.generationThreads = workers;

    QElapsedTimer clock;
    clock.start();
    dialog.on_pushButton_gen_clicked();
    const double seconds = clock.nsecsElapsed() / 1e9;

    const int images = QDir(gen + "/data_gen/train").entryList(QDir::Files).size();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("RESULT %d %.3f %ld %.3f\n", images, seconds, usage.ru_maxrss, cpu);
    return images > 0 ? 0 : 1;
}

struct Figures
{
    int images = 0;
    double seconds = 0;
    long peakKiB = 0;
    double cpuSeconds = 0; // of the whole child, start-up included
};

bool runChild(const QString& project, const QString& gen, int workers, const QString& interfaceDir, Figures& out)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(InterfacePaths::kEnvironmentVariable, interfaceDir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--run", project, gen, QString::number(workers)});
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return false;
    for (const QByteArray& line : child.readAllStandardOutput().split('\n'))
        if (line.startsWith("RESULT ")) {
            const QList<QByteArray> f = line.split(' ');
            out.images = f.value(1).toInt();
            out.seconds = f.value(2).toDouble();
            out.peakKiB = f.value(3).toLong();
            out.cpuSeconds = f.value(4).toDouble();
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--run")
        return runOnce(args[2], args[3], args[4].toInt());
    if (args.size() == 4 && args[1] == "--make") { // a project to profile by hand
        makeProject(args[2], args[3].toInt());
        return 0;
    }

    const int perClass = args.size() > 1 ? std::max(1, args[1].toInt()) : 50;
    const int repeats = args.size() > 2 ? std::max(1, args[2].toInt()) : 3;
    QTemporaryDir work;
    const QString project = work.path() + "/project";
    std::printf("making %d photo-like 1280x960 JPEG images in %d classes...\n", perClass * int(kClasses.size()),
                int(kClasses.size()));
    std::fflush(stdout);
    makeProject(project, perClass);

    const int cores = std::max(QThread::idealThreadCount(), 1);
    const int workerCounts[] = {1, cores};
    Figures best[2];
    // On a shared machine other processes take cores now and then: the two set-ups alternate and
    // each keeps its best round.
    for (int round = 0; round < repeats; ++round)
        for (int k = 0; k < 2; ++k) {
            const int workers = workerCounts[k];
            const QString gen = work.path() + "/gen_" + QString::number(workers);
            const QString interfaceDir = work.path() + "/interface_" + QString::number(workers);
            QDir().mkpath(gen);
            QDir().mkpath(interfaceDir);
            Figures figures;
            if (!runChild(project, gen, workers, interfaceDir, figures)) {
                std::fprintf(stderr, "generation run with %d workers failed\n", workers);
                return 1;
            }
            std::printf("round %d, %d worker(s): %d images in %.2f s = %.1f images/s, %.2f cores busy, "
                        "peak RSS %.0f MiB\n",
                        round + 1, workers, figures.images, figures.seconds, figures.images / figures.seconds,
                        figures.cpuSeconds / figures.seconds, figures.peakKiB / 1024.0);
            std::fflush(stdout);
            QDir(gen).removeRecursively();
            if (best[k].seconds == 0 || figures.seconds < best[k].seconds)
                best[k] = figures;
        }

    const double single = best[0].images / best[0].seconds;
    const double all = best[1].images / best[1].seconds;
    std::printf("best of %d: one worker thread %.1f images/s (peak RSS %.0f MiB), %d workers %.1f images/s "
                "(peak RSS %.0f MiB)\n",
                repeats, single, best[0].peakKiB / 1024.0, cores, all, best[1].peakKiB / 1024.0);
    std::printf("speed-up with %d cores: %.2fx (goal: 1.6x on 2 cores)\n", cores, all / single);
    return 0;
}
