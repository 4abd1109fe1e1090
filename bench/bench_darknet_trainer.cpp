// Training speed of the package's darknet_cpu_ against the stock "darknet classifier train" of
// Debian's darknet package, same data and configuration, with each trainer's peak memory:
//   default:      darknet19, 4 classes, 128 images of 256 x 256, batch 16, subdivisions 1,
//                 10 iterations each;
//   --voderovod:  VoderoVod_32, 4 classes, 128 JPEGs of 608 x 608 (the size generation writes),
//                 batch 16, subdivisions 8, 400 iterations each;
//   --model NAME: any template, 128 images of 256 x 256 (608 x 608 for VoderoVod), batch 16.
// With --engine torch, darknet_cpu_ on its LibTorch engine is measured against the same
// executable on its darknet engine, in the same run, instead of the stock trainer.
//
//   bench_darknet_trainer [--voderovod | --model NAME] [--engine torch] [--iterations N]
//                         [--only-ours] [--ours PATH]
// (--ours runs another build's darknet_cpu_ as ours, for before and after figures)
#include "darknet_training_folder.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <QFile>

#include <cstdio>

namespace {

struct Timing
{
    bool ok = false;
    double wallSeconds = 0;
    double peakMiB = 0; // the largest resident size seen
    QList<double> iterationSeconds; // as each trainer prints them
};

// Both trainers print "..., S seconds, N images" per iteration.
Timing runTrainer(const QString& program, const QStringList& args, const QString& folder, int iterations,
                  const QString& engine = "darknet")
{
    QDir(folder + "/data_gen/backup").removeRecursively();
    QDir().mkpath(folder + "/data_gen/backup");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELA_TRAINER_ENGINE", engine);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    Timing timing;
    if (!process.waitForStarted(10000))
        return timing;
    // The kernel keeps the high-water mark; the last look before the end is the peak.
    const QString status = QString("/proc/%1/status").arg(process.processId());
    while (!process.waitForFinished(20)) {
        if (process.state() == QProcess::NotRunning)
            break;
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QRegularExpressionMatch m = QRegularExpression("VmHWM:\\s+([0-9]+) kB").match(QString::fromLatin1(file.readAll()));
        if (m.hasMatch())
            timing.peakMiB = std::max(timing.peakMiB, m.captured(1).toDouble() / 1024);
    }
    timing.wallSeconds = clock.nsecsElapsed() / 1e9;
    const QRegularExpression seconds(", ([0-9.]+) seconds, [0-9]+ images");
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split("\n")) {
        const QRegularExpressionMatch m = seconds.match(line);
        if (m.hasMatch())
            timing.iterationSeconds << m.captured(1).toDouble();
    }
    timing.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
                timing.iterationSeconds.size() == iterations;
    if (!timing.ok)
        std::fprintf(stderr, "%s failed (exit %d, %d iterations):\n%s\n", qPrintable(program), process.exitCode(),
                     int(timing.iterationSeconds.size()), process.readAllStandardError().right(2000).constData());
    return timing;
}

double steadySeconds(const Timing& t)
{
    double sum = 0;
    for (int i = 1; i < t.iterationSeconds.size(); ++i)
        sum += t.iterationSeconds.at(i);
    return sum;
}

void report(const char* name, const Timing& t, int imagesPerIteration)
{
    const int iterations = t.iterationSeconds.size();
    std::printf("%-26s %8.1f s wall  %7.2f images/s wall  %7.2f images/s after the first iteration  "
                "peak %.0f MiB\n",
                name, t.wallSeconds, iterations * imagesPerIteration / t.wallSeconds,
                (iterations - 1) * imagesPerIteration / steadySeconds(t), t.peakMiB);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int modelAt = args.indexOf("--model");
    const QString named = modelAt > 0 ? args.value(modelAt + 1) : QString();
    const bool voderoVod = args.contains("--voderovod") || named.startsWith("VoderoVod");
    const bool againstTorch = args.value(args.indexOf("--engine") + 1) == "torch" && args.contains("--engine");
    int iterations = args.contains("--voderovod") ? 400 : 10;
    const int at = args.indexOf("--iterations");
    if (at > 0 && at + 1 < args.size())
        iterations = args.at(at + 1).toInt();
    const bool onlyOurs = args.contains("--only-ours");
    const int batch = 16;
    const QString model = !named.isEmpty() ? named : voderoVod ? "VoderoVod_32" : "darknet19";
    const int side = voderoVod ? 608 : 256;
    const int subdivisions = voderoVod ? 8 : 1;

    QTemporaryDir folder;
    DarknetTrainingFolder::write(folder.path(), {"circle", "cross", "square", "triangle"}, 32, side, side);
    QString cfg = DarknetTrainingFolder::instantiate(model, batch, subdivisions, 4);
    cfg = DarknetTrainingFolder::withNetValue(cfg, "max_batches", QString::number(iterations));
    DarknetTrainingFolder::writeTrainCfg(folder.path(), cfg);
    std::printf("%s, 4 classes, 128 images of %d x %d, batch %d, subdivisions %d, %d iterations\n",
                qPrintable(model), side, side, batch, subdivisions, iterations);
    std::fflush(stdout);

    const int oursAt = args.indexOf("--ours");
    const QString ours = oursAt > 0 && oursAt + 1 < args.size() ? args.at(oursAt + 1)
                                                                : testutil::binaryDir() + "/ros/vela_lib_yolo/darknet_cpu_";
    const QStringList trainArgs{"classifier", "train", "data_gen/data.data", "data_gen/train.cfg", "-dont_show"};
    const Timing mine = runTrainer(ours, trainArgs, folder.path(), iterations);
    if (!mine.ok)
        return 1;
    report(againstTorch ? "darknet_cpu_ (darknet)" : "darknet_cpu_", mine, batch);
    std::fflush(stdout);
    if (againstTorch) {
        const Timing torch = runTrainer(ours, trainArgs, folder.path(), iterations, "torch");
        if (!torch.ok)
            return 1;
        report("darknet_cpu_ (torch)", torch, batch);
        std::printf("torch engine against the darknet engine: %.2fx wall, %.2fx after the first iteration, "
                    "peak memory %.2fx\n",
                    mine.wallSeconds / torch.wallSeconds, steadySeconds(mine) / steadySeconds(torch),
                    torch.peakMiB / mine.peakMiB);
        return 0;
    }
    if (onlyOurs)
        return 0;

    // The stock trainer takes a fifth argument as its weights file, so it gets no -dont_show.
    const Timing stock = runTrainer("/usr/bin/darknet", {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg"},
                                    folder.path(), iterations);
    if (!stock.ok)
        return 1;
    report("darknet classifier train", stock, batch);
    std::printf("speed-up: %.2fx wall, %.2fx after the first iteration\n", stock.wallSeconds / mine.wallSeconds,
                steadySeconds(stock) / steadySeconds(mine));
    return 0;
}
