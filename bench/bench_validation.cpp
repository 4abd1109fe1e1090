// What held-out validation costs a training run: images per second of darknet_cpu_ on the same
// data without and with a validation set of 1000 images (VoderoVod_32, 3 classes, batch 32),
// and the time of one evaluation of those 1000 images, first (pictures read and prepared) and
// later (prepared inputs kept in memory). Anchor: the run without validation.
//
//   bench_validation [iterations]
#include "darknet_training_folder.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kValidationImages = 1000;

struct Run
{
    bool ok = false;
    double imagesPerSecond = 0;
    QList<double> evaluationSeconds;
};

Run train(const QString& folder, int iterations, int batch)
{
    QDir(folder + "/data_gen/backup").removeRecursively();
    QDir().mkpath(folder + "/data_gen/backup");
    QProcess process;
    process.setWorkingDirectory(folder);
    QElapsedTimer clock;
    clock.start();
    process.start(testutil::binaryDir() + "/ros/vela_lib_yolo/darknet_cpu_",
                  {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg", "-dont_show"});
    Run run;
    if (!process.waitForStarted(10000) || !process.waitForFinished(-1))
        return run;
    const double wall = clock.nsecsElapsed() / 1e9;
    const QRegularExpression valid("^valid\\[\\d+\\] .*, (\\d+) images, ([0-9.]+) seconds$");
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split("\n")) {
        const QRegularExpressionMatch m = valid.match(line);
        if (m.hasMatch() && m.captured(1).toInt() == kValidationImages)
            run.evaluationSeconds << m.captured(2).toDouble();
    }
    run.ok = process.exitCode() == 0;
    run.imagesPerSecond = double(iterations) * batch / wall;
    if (!run.ok)
        std::fprintf(stderr, "trainer failed: %s\n", process.readAllStandardError().right(2000).constData());
    return run;
}

void writeValidationSet(const QString& folder, const QStringList& classes, const QStringList& labels)
{
    QStringList entries;
    for (int i = 0; i < kValidationImages; ++i) {
        const int c = i % classes.size();
        const QString entry = QString("data_gen/test/%1_%2.jpg").arg(i).arg(labels.at(c));
        cv::imwrite((folder + "/" + entry).toStdString(), SyntheticProject::shapeImage(classes.at(c), 64, 90000u + unsigned(i)));
        entries << entry;
    }
    testutil::writeBytes(folder + "/data_gen/test.list", entries.join("\n").toUtf8());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(50, atoi(argv[1])) : 1500;
    const int batch = 32;
    QTemporaryDir dir;
    const QStringList classes{"circle", "square", "triangle"};
    const QStringList labels = DarknetTrainingFolder::write(dir.path(), classes, 100, 32, 64);
    QString cfg = DarknetTrainingFolder::instantiate("VoderoVod_32", batch, 2, classes.size());
    cfg = DarknetTrainingFolder::withNetValue(cfg, "max_batches", QString::number(iterations));
    DarknetTrainingFolder::writeTrainCfg(dir.path(), cfg);

    const Run without = train(dir.path(), iterations, batch);
    writeValidationSet(dir.path(), classes, labels);
    const Run with = train(dir.path(), iterations, batch);
    if (!without.ok || !with.ok || with.evaluationSeconds.isEmpty())
        return 1;
    double later = 0;
    for (int i = 1; i < with.evaluationSeconds.size(); ++i)
        later += with.evaluationSeconds.at(i) / (with.evaluationSeconds.size() - 1);

    std::printf("training, %d iterations of %d images (VoderoVod_32)\n", iterations, batch);
    std::printf("  without validation      %8.1f img/s   (anchor)\n", without.imagesPerSecond);
    std::printf("  with %d held out      %8.1f img/s   ratio %.3f (goal >= 0.90)\n", kValidationImages,
                with.imagesPerSecond, with.imagesPerSecond / without.imagesPerSecond);
    std::printf("evaluation of %d images: %d evaluations\n", kValidationImages, int(with.evaluationSeconds.size()));
    std::printf("  first (read and prepare) %6.3f s (goal < 2 s)\n", with.evaluationSeconds.first());
    if (with.evaluationSeconds.size() > 1)
        std::printf("  later (inputs in memory) %6.3f s, %.3f of the first\n", later, later / with.evaluationSeconds.first());
    return 0;
}
