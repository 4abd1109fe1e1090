// The trainer executables of the vela_lib_yolo ROS package, run as the trainer window runs
// them: in a generation folder, on real image files, with the real libdarknet.
#include "darknet_training_folder.h"
#include "test_support.h"

#include "cfg_document.h"
#include "cuda_driver.h"
#include "darknet_engine.h"
#include "image_augmenter.h"
#include "network_cfg_check.h"
#include "picture_decoder.h"
#include "progress_line.h"
#include "validation_evaluator.h"

#include <darknet.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <signal.h>

#include <dlfcn.h>

extern "C" {
void gemm_cpu(int TA, int TB, int M, int N, int K, float ALPHA, float* A, int lda, float* B, int ldb, float BETA,
              float* C, int ldc);
void im2col_cpu(float* data_im, int channels, int height, int width, int ksize, int stride, int pad, float* data_col);
void col2im_cpu(float* data_col, int channels, int height, int width, int ksize, int stride, int pad, float* data_im);
void mean_cpu(float* x, int batch, int filters, int spatial, float* mean);
void variance_cpu(float* x, float* mean, int batch, int filters, int spatial, float* variance);
void normalize_cpu(float* x, float* mean, float* variance, int batch, int filters, int spatial);
void mean_delta_cpu(float* delta, float* variance, int batch, int filters, int spatial, float* mean_delta);
void variance_delta_cpu(float* x, float* delta, float* mean, float* variance, int batch, int filters, int spatial,
                        float* variance_delta);
void normalize_delta_cpu(float* x, float* mean, float* variance, float* mean_delta, float* variance_delta, int batch,
                         int filters, int spatial, float* delta);
void activate_array(float* x, const int n, const ACTIVATION a);
void gradient_array(const float* x, const int n, const ACTIVATION a, float* delta);
}

// Changes made to a good training folder to break it in one way.
using Breakage = std::function<void(const QString& gen)>;
Q_DECLARE_METATYPE(Breakage)

namespace {

const QStringList kShapes{"circle", "square", "triangle"};

// The engines the trainer executables of this build have: the LibTorch one where the build found
// LibTorch.
const QStringList kEngines = VELA_HAVE_TORCH_ENGINE ? QStringList{"darknet", "torch"} : QStringList{"darknet"};
#define SKIP_WITHOUT_TORCH_ENGINE()                                                                                    \
    if (!kEngines.contains("torch"))                                                                                   \
    QSKIP("this build has no LibTorch engine")

QString packageParent() { return testutil::binaryDir() + "/ros"; }
QString packageDir() { return packageParent() + "/vela_lib_yolo"; }

// What the trainer window reads from a chunk of the trainer's standard output: the iteration
// between the first "[" and "]", and from the last line holding " avg," the average loss (last
// comma piece before " avg,") and the accuracy in percent (last comma piece before " acc,").
struct WindowReading
{
    bool hasIteration = false;
    qint64 iteration = 0;
    bool hasAverage = false;
    double averageLoss = 0;
    double accuracyPercent = 0;
};

WindowReading readLikeTrainerWindow(const QString& text)
{
    WindowReading r;
    const QStringList closing = text.split("]", Qt::SkipEmptyParts);
    if (!closing.isEmpty()) {
        const QStringList opening = closing.first().split("[", Qt::SkipEmptyParts);
        if (opening.size() >= 2) {
            r.hasIteration = true;
            r.iteration = opening.at(1).toLongLong();
        }
    }
    const QStringList lines = text.split("\n");
    for (int i = lines.size() - 1; i >= 0; --i) {
        const QString& line = lines.at(i);
        if (!line.contains(" avg,"))
            continue;
        QString avg = line.left(line.indexOf(" avg,"));
        avg.remove(' ');
        r.averageLoss = QString::number(avg.split(",").last().toDouble(), 'f', 6).toDouble();
        QString acc = line.left(line.indexOf(" acc,"));
        acc.remove(' ');
        r.accuracyPercent = QString::number(acc.split(",").last().toDouble() * 100.0, 'f', 2).toDouble();
        r.hasAverage = true;
        break;
    }
    return r;
}

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QStringList out;
    QStringList err;
};

QStringList linesOf(const QByteArray& bytes)
{
    QStringList lines = QString::fromUtf8(bytes).split("\n");
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList progressLines(const QStringList& out)
{
    QStringList lines;
    for (const QString& line : out)
        if (line.startsWith("iteration["))
            lines << line;
    return lines;
}

QStringList linesStartingWith(const QStringList& lines, const QString& prefix)
{
    QStringList found;
    for (const QString& line : lines)
        if (line.startsWith(prefix))
            found << line;
    return found;
}

QStringList trainArgs(const QString& weights = QString())
{
    QStringList args{"classifier", "train", "data_gen/data.data", "data_gen/train.cfg"};
    if (!weights.isEmpty())
        args << weights;
    return args << "-dont_show";
}

// A small model that learns within its first few hundred iterations: the template's burn-in
// of 1000 iterations with power 4 would keep the learning rate below a thousandth of its value
// for the first few hundred, so the tests shorten it.
QString quickCfg(int classes, int maxBatches)
{
    QString cfg = DarknetTrainingFolder::instantiate("VoderoVod_32", 32, 2, classes);
    cfg = DarknetTrainingFolder::withNetValue(cfg, "burn_in", "20");
    return DarknetTrainingFolder::withNetValue(cfg, "max_batches", QString::number(maxBatches));
}

// Images seen, as stored in a weights file loaded by libdarknet.
qint64 iterationStoredIn(const QString& cfg, const QString& weights)
{
    QByteArray cfgPath = cfg.toUtf8();
    QByteArray weightsPath = weights.toUtf8();
    network* net = parse_network_cfg(cfgPath.data());
    load_weights(net, weightsPath.data());
    const qint64 iteration = qint64(get_current_batch(net));
    free_network(net);
    return iteration;
}

void saveWeightsOf(const QString& cfgText, const QString& weightsPath)
{
    QTemporaryDir dir;
    const QString cfg = dir.filePath("net.cfg");
    testutil::writeBytes(cfg, cfgText.toUtf8());
    QByteArray cfgPath = cfg.toUtf8();
    QByteArray out = weightsPath.toUtf8();
    network* net = parse_network_cfg(cfgPath.data());
    save_weights(net, out.data());
    free_network(net);
}

void replaceInFile(const QString& path, const QString& from, const QString& to)
{
    QString text = testutil::readAll(path);
    QVERIFY2(text.contains(from), qPrintable(from));
    text.replace(text.indexOf(from), from.size(), to);
    testutil::writeBytes(path, text.toUtf8());
}

const char* kForklineLikeCfg = R"([net]
batch=32
subdivisions=2
width=32
height=32
channels=3

[convolutional]
batch_normalize=1
filters=16
size=3
stride=1
pad=1
activation=swish

[convolutional]
batch_normalize=1
filters=16
groups=16
size=3
stride=1
pad=1
activation=swish

[avgpool]

[convolutional]
filters=16
size=1
stride=1
activation=logistic

[scale_channels]
from=-3

[dropout]
probability=.2

[convolutional]
filters=3
size=1
stride=1
activation=linear

[avgpool]

[softmax]
)";

// Small, but with every layer kind the trainer takes: crop, grouped convolutions, shortcuts
// (one across a change of size), routes, batch norm, connected layers, dropout and cost.
const char* kEveryLayerKindCfg = R"([net]
batch=4
subdivisions=2
width=64
height=64
channels=3

[crop]
crop_width=56
crop_height=56
flip=1

[convolutional]
batch_normalize=1
filters=8
size=3
stride=2
pad=1
activation=leaky

[convolutional]
filters=8
groups=4
size=3
stride=1
pad=1
activation=relu

[shortcut]
from=-2
activation=linear

[route]
layers=-1,-3

[batchnorm]

[maxpool]
size=2
stride=2

[convolutional]
filters=16
size=1
stride=1
activation=leaky

[shortcut]
from=-3

[connected]
output=32
batch_normalize=1
activation=leaky

[dropout]
probability=.5

[connected]
output=5
activation=linear

[softmax]

[cost]
type=sse
)";

class DarknetTrainerTest : public QObject
{
    Q_OBJECT

private:
    ScopedInterfaceDir interfaceDir;
    QMap<QString, QString> extraEnvironment; // for the test under way

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = testutil::programEnvironment(interfaceDir.path());
        env.insert("HOME", interfaceDir.path());
        env.insert("ROS_HOME", interfaceDir.file("ros"));
        for (auto it = extraEnvironment.begin(); it != extraEnvironment.end(); ++it)
            env.insert(it.key(), it.value());
        return env;
    }

    bool startTrainer(QProcess* process, const QString& genPath, const QStringList& args,
                      const QString& executable = "darknet_cpu_")
    {
        process->setWorkingDirectory(genPath);
        process->setProcessEnvironment(environment());
        process->start(packageDir() + "/" + executable, args);
        return process->waitForStarted(10000);
    }

    Run finish(QProcess* process)
    {
        Run run;
        if (!process->waitForFinished(120000))
            process->kill();
        process->waitForFinished();
        run.exitCode = process->exitCode();
        run.status = process->exitStatus();
        run.out = linesOf(process->readAllStandardOutput());
        run.err = linesOf(process->readAllStandardError());
        return run;
    }

    Run runTrainer(const QString& genPath, const QStringList& args, const QString& executable = "darknet_cpu_")
    {
        QProcess process;
        if (!startTrainer(&process, genPath, args, executable))
            return Run();
        return finish(&process);
    }

private slots:
    void init() { extraEnvironment.clear(); }
    void progressLineReadsAsTheTrainerWindowReadsIt();
    void matrixProductKeepsDarknetsContract();
    void patchUnrollingMatchesLibdarknet_data();
    void patchUnrollingMatchesLibdarknet();
    void layerKernelsMatchLibdarknet();
    void augmentationFeedsDarknetsPlanarRgb();
    void reducedDecodeKeepsTheCropsRegion();
    void reducedDecodeLearnsAsTheWholePicture();
    void cfgCheckAgreesWithLibdarknet_data();
    void cfgCheckAgreesWithLibdarknet();
    void learnsShapesStopsOnSigtermAndResumes();
    void interruptStopsLikeTerminate();
    void skipsUnusableImagesAndFinishesAtMaxBatches();
    void validatesHeldOutImagesAndKeepsTheBest();
    void bothEnginesLearnAlikeAndStartFromOtherWeights();
    void refusesBadInput_data();
    void refusesBadInput();
    void cudaEntryWithoutAUsableDeviceTrainsOnTheCpu_data();
    void cudaEntryWithoutAUsableDeviceTrainsOnTheCpu();
    void deviceAndEngineVariablesNameWhatExists();
    void aBatchThatDoesNotFitSaysWhatToLower();
    void rosrunFindsThePackageOfTheBuild();
};

void DarknetTrainerTest::progressLineReadsAsTheTrainerWindowReadsIt()
{
    IterationReport report;
    report.iteration = 1234;
    report.epoch = 12.5;
    report.loss = 0.75;
    report.averageLoss = 0.5;
    report.accuracy = 0.96875;
    report.rate = 0.001;
    report.seconds = 0.25;
    report.images = 39488;
    const QString line = QString::fromStdString(ProgressLine::format(report));
    QCOMPARE(line, QString("iteration[1234] 1234, 12.500: 0.750000, 0.500000 avg, 0.968750 acc, 0.001000 rate, "
                           "0.250000 seconds, 39488 images"));
    const WindowReading reading = readLikeTrainerWindow(line + "\n");
    QVERIFY(reading.hasIteration);
    QCOMPARE(reading.iteration, qint64(1234));
    QVERIFY(reading.hasAverage);
    QCOMPARE(reading.averageLoss, 0.5);
    QCOMPARE(reading.accuracyPercent, 96.88);
}

// The OpenBLAS product that replaces darknet's must compute the same thing for every
// transposition darknet asks for, with BETA scaling what C held.
void DarknetTrainerTest::matrixProductKeepsDarknetsContract()
{
    const int M = 7, N = 5, K = 9, pad = 3;
    QRandomGenerator random(42);
    auto fill = [&](std::vector<float>& v) {
        for (float& x : v)
            x = float(random.generateDouble() * 2 - 1);
    };
    for (int TA = 0; TA < 2; ++TA) {
        for (int TB = 0; TB < 2; ++TB) {
            for (float beta : {0.0f, 1.0f, 0.5f}) {
                const int lda = (TA ? M : K) + pad, ldb = (TB ? K : N) + pad, ldc = N + pad;
                std::vector<float> A(size_t((TA ? K : M) * lda)), B(size_t((TB ? N : K) * ldb)), C(size_t(M * ldc));
                fill(A);
                fill(B);
                fill(C);
                std::vector<float> expected = C;
                const float alpha = 0.75f;
                for (int i = 0; i < M; ++i) {
                    for (int j = 0; j < N; ++j) {
                        double sum = 0;
                        for (int k = 0; k < K; ++k)
                            sum += double(TA ? A[size_t(k * lda + i)] : A[size_t(i * lda + k)]) *
                                   double(TB ? B[size_t(j * ldb + k)] : B[size_t(k * ldb + j)]);
                        expected[size_t(i * ldc + j)] = float(alpha * sum + beta * C[size_t(i * ldc + j)]);
                    }
                }
                gemm_cpu(TA, TB, M, N, K, alpha, A.data(), lda, B.data(), ldb, beta, C.data(), ldc);
                for (size_t i = 0; i < C.size(); ++i)
                    QVERIFY2(std::abs(C[i] - expected[i]) < 1e-4f,
                             qPrintable(QString("TA %1 TB %2 beta %3 at %4").arg(TA).arg(TB).arg(beta).arg(i)));
            }
        }
    }
}

void DarknetTrainerTest::patchUnrollingMatchesLibdarknet_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("ksize");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("pad");
    QTest::newRow("3x3 padded") << 3 << 7 << 9 << 3 << 1 << 1;
    QTest::newRow("3x3 stride 2") << 4 << 8 << 8 << 3 << 2 << 1;
    QTest::newRow("1x1") << 2 << 5 << 6 << 1 << 1 << 0;
    QTest::newRow("5x5 stride 3") << 3 << 10 << 7 << 5 << 3 << 2;
    QTest::newRow("kernel wider than image") << 1 << 4 << 4 << 7 << 1 << 3;
    QTest::newRow("2x2 stride 2 unpadded") << 2 << 9 << 9 << 2 << 2 << 0;
    QTest::newRow("3x3 unpadded") << 3 << 6 << 5 << 3 << 1 << 0;
    QTest::newRow("padded 5x5 over a single pixel") << 1 << 1 << 1 << 5 << 1 << 2;
    QTest::newRow("padded 3x3 over a single row") << 2 << 1 << 4 << 3 << 1 << 1;
}

// The executable's patch unrolling replaces libdarknet's: both directions must give the very
// same floats as the library's own functions.
void DarknetTrainerTest::patchUnrollingMatchesLibdarknet()
{
    QFETCH(int, channels);
    QFETCH(int, height);
    QFETCH(int, width);
    QFETCH(int, ksize);
    QFETCH(int, stride);
    QFETCH(int, pad);
    void* library = dlopen("libdarknet.so", RTLD_NOW | RTLD_NOLOAD);
    QVERIFY(library);
    using Unroll = void (*)(float*, int, int, int, int, int, int, float*);
    auto libraryIm2col = reinterpret_cast<Unroll>(dlsym(library, "im2col_cpu"));
    auto libraryCol2im = reinterpret_cast<Unroll>(dlsym(library, "col2im_cpu"));
    QVERIFY(libraryIm2col && libraryCol2im);
    QVERIFY(libraryIm2col != &im2col_cpu && libraryCol2im != &col2im_cpu);

    const int heightCol = (height + 2 * pad - ksize) / stride + 1;
    const int widthCol = (width + 2 * pad - ksize) / stride + 1;
    const size_t imageSize = size_t(channels * height * width);
    const size_t colSize = size_t(channels * ksize * ksize * heightCol * widthCol);
    QRandomGenerator random(7);
    std::vector<float> image(imageSize), cols(colSize);
    for (float& x : image)
        x = float(random.generateDouble());
    for (float& x : cols)
        x = float(random.generateDouble());

    // A guard past the end: nothing may be written beyond the unrolled matrix.
    constexpr size_t kGuard = 64;
    std::vector<float> ours(colSize + kGuard, -1.0f), theirs(colSize, -2.0f);
    im2col_cpu(image.data(), channels, height, width, ksize, stride, pad, ours.data());
    libraryIm2col(image.data(), channels, height, width, ksize, stride, pad, theirs.data());
    QVERIFY(std::all_of(ours.begin() + std::ptrdiff_t(colSize), ours.end(), [](float x) { return x == -1.0f; }));
    ours.resize(colSize);
    QVERIFY(ours == theirs);

    std::vector<float> summed(imageSize, 0.5f), librarySummed(imageSize, 0.5f);
    col2im_cpu(cols.data(), channels, height, width, ksize, stride, pad, summed.data());
    libraryCol2im(cols.data(), channels, height, width, ksize, stride, pad, librarySummed.data());
    QVERIFY(summed == librarySummed);
    dlclose(library);
}

// The batch-normalisation and activation kernels that replace libdarknet's give its results:
// the same floats where the arithmetic is the same, and sums equal up to rounding.
void DarknetTrainerTest::layerKernelsMatchLibdarknet()
{
    void* library = dlopen("libdarknet.so", RTLD_NOW | RTLD_NOLOAD);
    QVERIFY(library);
    auto original = [library](const char* name) {
        void* fn = dlsym(library, name);
        if (!fn || fn == dlsym(RTLD_DEFAULT, name))
            qFatal("no library version of %s", name);
        return fn;
    };
    const int batch = 3, filters = 5, spatial = 37;
    const int n = batch * filters * spatial;
    QRandomGenerator random(11);
    auto randomVector = [&](int size, double low, double high) {
        std::vector<float> v(static_cast<size_t>(size));
        for (float& x : v)
            x = float(low + random.generateDouble() * (high - low));
        return v;
    };
    auto close = [](const std::vector<float>& a, const std::vector<float>& b) {
        for (size_t i = 0; i < a.size(); ++i)
            if (std::abs(a[i] - b[i]) > 1e-4f * std::max(1.0f, std::abs(b[i])))
                return false;
        return a.size() == b.size();
    };
    std::vector<float> x = randomVector(n, -2, 3), delta = randomVector(n, -1, 1);

    using Mean = void (*)(float*, int, int, int, float*);
    using Variance = void (*)(float*, float*, int, int, int, float*);
    std::vector<float> mean(filters), libraryMean(filters), variance(filters), libraryVariance(filters);
    mean_cpu(x.data(), batch, filters, spatial, mean.data());
    reinterpret_cast<Mean>(original("mean_cpu"))(x.data(), batch, filters, spatial, libraryMean.data());
    QVERIFY(close(mean, libraryMean));
    variance_cpu(x.data(), libraryMean.data(), batch, filters, spatial, variance.data());
    reinterpret_cast<Variance>(original("variance_cpu"))(x.data(), libraryMean.data(), batch, filters, spatial,
                                                           libraryVariance.data());
    QVERIFY(close(variance, libraryVariance));

    using Normalize = void (*)(float*, float*, float*, int, int, int);
    std::vector<float> normalized = x, libraryNormalized = x;
    normalize_cpu(normalized.data(), libraryMean.data(), libraryVariance.data(), batch, filters, spatial);
    reinterpret_cast<Normalize>(original("normalize_cpu"))(libraryNormalized.data(), libraryMean.data(),
                                                           libraryVariance.data(), batch, filters, spatial);
    QVERIFY(close(normalized, libraryNormalized));

    using MeanDelta = void (*)(float*, float*, int, int, int, float*);
    using VarianceDelta = void (*)(float*, float*, float*, float*, int, int, int, float*);
    using NormalizeDelta = void (*)(float*, float*, float*, float*, float*, int, int, int, float*);
    std::vector<float> meanDelta(filters), libraryMeanDelta(filters), varianceDelta(filters),
        libraryVarianceDelta(filters);
    mean_delta_cpu(delta.data(), libraryVariance.data(), batch, filters, spatial, meanDelta.data());
    reinterpret_cast<MeanDelta>(original("mean_delta_cpu"))(delta.data(), libraryVariance.data(), batch, filters,
                                                            spatial, libraryMeanDelta.data());
    QVERIFY(close(meanDelta, libraryMeanDelta));
    variance_delta_cpu(x.data(), delta.data(), libraryMean.data(), libraryVariance.data(), batch, filters, spatial,
                       varianceDelta.data());
    reinterpret_cast<VarianceDelta>(original("variance_delta_cpu"))(x.data(), delta.data(), libraryMean.data(),
                                                                    libraryVariance.data(), batch, filters, spatial,
                                                                    libraryVarianceDelta.data());
    QVERIFY(close(varianceDelta, libraryVarianceDelta));
    std::vector<float> normalizedDelta = delta, libraryNormalizedDelta = delta;
    normalize_delta_cpu(x.data(), libraryMean.data(), libraryVariance.data(), libraryMeanDelta.data(),
                        libraryVarianceDelta.data(), batch, filters, spatial, normalizedDelta.data());
    reinterpret_cast<NormalizeDelta>(original("normalize_delta_cpu"))(
        x.data(), libraryMean.data(), libraryVariance.data(), libraryMeanDelta.data(), libraryVarianceDelta.data(),
        batch, filters, spatial, libraryNormalizedDelta.data());
    QVERIFY(close(normalizedDelta, libraryNormalizedDelta));

    using Activate = void (*)(float*, int, ACTIVATION);
    using Gradient = void (*)(const float*, int, ACTIVATION, float*);
    for (ACTIVATION a : {LINEAR, LEAKY, RELU, LOGISTIC, TANH}) {
        std::vector<float> out = x, libraryOut = x;
        activate_array(out.data(), n, a);
        reinterpret_cast<Activate>(original("activate_array"))(libraryOut.data(), n, a);
        QVERIFY2(out == libraryOut, qPrintable(QString("activation %1").arg(int(a))));
        std::vector<float> grad = delta, libraryGrad = delta;
        gradient_array(libraryOut.data(), n, a, grad.data());
        reinterpret_cast<Gradient>(original("gradient_array"))(libraryOut.data(), n, a, libraryGrad.data());
        QVERIFY2(grad == libraryGrad, qPrintable(QString("gradient %1").arg(int(a))));
    }

    using Copy = void (*)(int, float*, int, float*, int);
    using Fill = void (*)(int, float, float*, int);
    for (int step : {1, 3}) {
        std::vector<float> copied(size_t(n), 0.0f), libraryCopied(size_t(n), 0.0f);
        copy_cpu(n / step, x.data(), step, copied.data(), step);
        reinterpret_cast<Copy>(original("copy_cpu"))(n / step, x.data(), step, libraryCopied.data(), step);
        QVERIFY(copied == libraryCopied);
        fill_cpu(n / step, 0.25f, copied.data(), step);
        reinterpret_cast<Fill>(original("fill_cpu"))(n / step, 0.25f, libraryCopied.data(), step);
        QVERIFY(copied == libraryCopied);
    }
    dlclose(library);
}

// Without jitter an image of the input size reaches the network as it is, or mirrored: planar
// red, green, blue in [0, 1], as darknet's own loader gives it.
void DarknetTrainerTest::augmentationFeedsDarknetsPlanarRgb()
{
    const int side = 16;
    Augmentation none;
    none.width = none.height = side;
    none.minSide = none.maxSide = side;
    ImageAugmenter augmenter(none);
    cv::Mat image(side, side, CV_8UC3, cv::Scalar(0, 0, 0));           // BGR
    image(cv::Rect(0, 0, side / 2, side)).setTo(cv::Scalar(255, 0, 0)); // blue left half
    image(cv::Rect(side / 2, 0, side / 2, side)).setTo(cv::Scalar(0, 0, 255)); // red right half
    std::mt19937 rng(3);
    bool sawMirrored = false, sawPlain = false;
    for (int round = 0; round < 20; ++round) {
        std::vector<float> out(size_t(3 * side * side), -1.0f);
        augmenter.augment(image, rng, out.data());
        const auto plane = [&](int channel, int x, int y) { return out[size_t((channel * side + y) * side + x)]; };
        const bool mirrored = plane(0, 0, side / 2) > 0.5f;
        (mirrored ? sawMirrored : sawPlain) = true;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const bool red = (x >= side / 2) != mirrored;
                QVERIFY(std::abs(plane(0, x, y) - (red ? 1.0f : 0.0f)) < 1e-4f);
                QVERIFY(std::abs(plane(1, x, y)) < 1e-4f);
                QVERIFY(std::abs(plane(2, x, y) - (red ? 0.0f : 1.0f)) < 1e-4f);
            }
        }
    }
    QVERIFY(sawMirrored && sawPlain);

    // With jitter every value stays a colour intensity.
    Augmentation jitter = none;
    jitter.maxSide = 2 * side;
    jitter.angle = 7;
    jitter.aspect = 0.75f;
    jitter.hue = 0.1f;
    jitter.saturation = 0.75f;
    jitter.exposure = 0.75f;
    std::vector<float> out(size_t(3 * side * side), -1.0f);
    ImageAugmenter(jitter).augment(image, rng, out.data());
    for (float v : out)
        QVERIFY(v >= 0.0f && v <= 1.0f);
}

// A picture decoded at 1/2, 1/4 or 1/8 of its size gets the crop of the same region as the
// whole picture: with the same draws, soft blobs land at the same place of the network input.
void DarknetTrainerTest::reducedDecodeKeepsTheCropsRegion()
{
    QTemporaryDir dir;
    const cv::Size size(610, 450); // sides no power of two divides
    cv::Mat blobs(size, CV_32F, cv::Scalar(0));
    for (int gy = 0; gy < 3; ++gy) {
        for (int gx = 0; gx < 4; ++gx)
            cv::circle(blobs, cv::Point(80 + gx * 150 + gy * 20, 75 + gy * 150), 25, cv::Scalar(1), cv::FILLED);
    }
    cv::GaussianBlur(blobs, blobs, cv::Size(0, 0), 20);
    cv::Mat picture;
    cv::normalize(blobs, blobs, 0, 200, cv::NORM_MINMAX);
    blobs.convertTo(picture, CV_8U);
    cv::cvtColor(picture, picture, cv::COLOR_GRAY2BGR);
    const std::string path = dir.filePath("blobs.jpg").toStdString();
    QVERIFY(cv::imwrite(path, picture, {cv::IMWRITE_JPEG_QUALITY, 95}));
    cv::Size declared;
    QVERIFY(PictureDecoder::jpegSize(path, &declared));
    QCOMPARE(declared.width, size.width);
    QCOMPARE(declared.height, size.height);

    Augmentation geometry; // VoderoVod_32's, colour left alone
    geometry.width = geometry.height = 32;
    geometry.minSide = 32;
    geometry.maxSide = 64;
    geometry.angle = 7;
    geometry.aspect = 0.75f;
    const ImageAugmenter augmenter(geometry);
    // The reduction for a shorter side of at least 450, 225, 113 and 57 pixels.
    std::vector<DecodedPicture> decoded;
    for (int needed : {450, 225, 113, 57}) {
        decoded.push_back(PictureDecoder(needed).read(path));
        QCOMPARE(decoded.back().reduction, 1 << (decoded.size() - 1));
        QCOMPARE(decoded.back().original.width, size.width);
    }
    QCOMPARE(PictureDecoder(64).read(path).reduction, 4);

    struct Placement
    {
        double mass = 0, x = 0, y = 0;
    };
    auto place = [&](const DecodedPicture& p, unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<float> out(32 * 32 * 3);
        augmenter.augment(p, rng, out.data());
        Placement at;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const double v = out[size_t(y * 32 + x)];
                at.mass += v;
                at.x += v * x;
                at.y += v * y;
            }
        }
        at.x /= at.mass;
        at.y /= at.mass;
        return at;
    };
    for (unsigned seed = 1; seed <= 30; ++seed) {
        const Placement whole = place(decoded[0], seed);
        for (size_t k = 1; k < decoded.size(); ++k) {
            const Placement reduced = place(decoded[k], seed);
            const QString what = QString("seed %1, 1/%2: (%3, %4) against (%5, %6), mass %7 against %8")
                                     .arg(seed).arg(decoded[k].reduction).arg(reduced.x).arg(reduced.y).arg(whole.x)
                                     .arg(whole.y).arg(reduced.mass).arg(whole.mass);
            QVERIFY2(std::abs(reduced.x - whole.x) < 0.1 && std::abs(reduced.y - whole.y) < 0.1, qPrintable(what));
            QVERIFY2(std::abs(reduced.mass - whole.mass) < 0.03 * whole.mass, qPrintable(what));
        }
    }
}

// Training on 608 x 608 JPEGs decoded at 1/8 learns as training on the whole pictures: the same
// draws (one seed) give the same loss curve within a few per cent.
void DarknetTrainerTest::reducedDecodeLearnsAsTheWholePicture()
{
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 12, 608, 608);
    const int iterations = 120;
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, iterations));
    QList<double> finalAverage;
    for (const char* decode : {"full", "reduced"}) {
        QProcess trainer;
        QProcessEnvironment env = environment();
        env.insert("VELA_TRAINER_SEED", "7");
        env.insert("VELA_TRAINER_DECODE", decode);
        trainer.setProcessEnvironment(env);
        trainer.setWorkingDirectory(gen.path());
        trainer.start(packageDir() + "/darknet_cpu_", trainArgs());
        QVERIFY(trainer.waitForStarted(10000));
        const Run run = finish(&trainer);
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = progressLines(run.out);
        QCOMPARE(lines.size(), iterations);
        const WindowReading first = readLikeTrainerWindow(lines.first());
        const WindowReading last = readLikeTrainerWindow(lines.last());
        qInfo() << decode << "decode: average loss" << first.averageLoss << "->" << last.averageLoss;
        QVERIFY2(last.averageLoss < first.averageLoss / 2, qPrintable(lines.join("\n")));
        finalAverage << last.averageLoss;
    }
    QVERIFY2(std::abs(finalAverage[1] - finalAverage[0]) <= 0.1 * finalAverage[0],
             qPrintable(QString("%1 against %2").arg(finalAverage[1]).arg(finalAverage[0])));
}

void DarknetTrainerTest::cfgCheckAgreesWithLibdarknet_data()
{
    QTest::addColumn<QString>("cfgText");
    QTest::newRow("VoderoVod_32") << DarknetTrainingFolder::instantiate("VoderoVod_32", 16, 8, 5);
    QTest::newRow("darknet19") << DarknetTrainingFolder::instantiate("darknet19", 16, 8, 4);
    QTest::newRow("resnet18") << testutil::readAll("/usr/share/darknet/cfg/resnet18.cfg");
    QTest::newRow("every layer kind") << QString(kEveryLayerKindCfg);
}

// The check mirrors the library's parser: what it accepts, libdarknet builds with the same
// layers and the same output width.
void DarknetTrainerTest::cfgCheckAgreesWithLibdarknet()
{
    QFETCH(QString, cfgText);
    QVERIFY(!cfgText.isEmpty());
    CfgDocument document;
    std::string error;
    QVERIFY2(CfgDocument::parse(cfgText.toStdString(), &document, &error), error.c_str());
    NetworkSummary summary;
    QVERIFY2(NetworkCfgCheck::check(document, &summary, &error), error.c_str());

    QTemporaryDir dir;
    const QString path = dir.filePath("net.cfg");
    testutil::writeBytes(path, cfgText.toUtf8());
    QByteArray cfgPath = path.toUtf8();
    network* net = parse_network_cfg(cfgPath.data());
    QCOMPARE(summary.layers, net->n);
    for (int i = 0; i < net->n; ++i)
        QCOMPARE(summary.layerOutputs.at(size_t(i)), (long long)net->layers[i].outputs);
    QCOMPARE(summary.outputs, net->outputs);
    QCOMPARE(summary.width, net->w);
    QCOMPARE(summary.batch, net->batch * net->subdivisions);
    free_network(net);
}

void DarknetTrainerTest::learnsShapesStopsOnSigtermAndResumes()
{
    extraEnvironment["VELA_TRAINER_SEED"] = "11";
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 40, 32, 64);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 100000));

    QProcess trainer;
    QVERIFY(startTrainer(&trainer, gen.path(), trainArgs()));
    double firstAverage = -1;
    double lastAverage = -1;
    QList<double> accuracies;
    qint64 lastIteration = 0;
    auto learnt = [&] {
        if (accuracies.size() < 10 || lastAverage > firstAverage / 3)
            return false;
        double recent = 0;
        for (int i = accuracies.size() - 10; i < accuracies.size(); ++i)
            recent += accuracies.at(i) / 10;
        return recent >= 90.0;
    };
    while (trainer.state() == QProcess::Running && lastIteration < 600 && !learnt()) {
        if (!trainer.canReadLine() && !trainer.waitForReadyRead(30000))
            break;
        while (trainer.canReadLine()) {
            const QString line = QString::fromUtf8(trainer.readLine()).trimmed();
            if (!line.startsWith("iteration["))
                continue;
            const WindowReading reading = readLikeTrainerWindow(line);
            QVERIFY2(reading.hasIteration && reading.hasAverage, qPrintable(line));
            QCOMPARE(reading.iteration, lastIteration + 1);
            lastIteration = reading.iteration;
            if (firstAverage < 0)
                firstAverage = reading.averageLoss;
            lastAverage = reading.averageLoss;
            accuracies << reading.accuracyPercent;
        }
    }
    qInfo() << "iterations" << lastIteration << "average loss" << firstAverage << "->" << lastAverage;
    QVERIFY2(learnt(), qPrintable(trainer.readAllStandardError()));

    // A stop finishes the iteration under way, keeps it in the backup and ends with 0.
    ::kill(pid_t(trainer.processId()), SIGTERM);
    QVERIFY(trainer.waitForFinished(15000));
    QCOMPARE(trainer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(trainer.exitCode(), 0);
    const QStringList rest = progressLines(linesOf(trainer.readAllStandardOutput()));
    const qint64 stoppedAt = rest.isEmpty() ? lastIteration : readLikeTrainerWindow(rest.last()).iteration;
    const QString backup = gen.path() + "/data_gen/backup/train.backup";
    QVERIFY(QFileInfo::exists(backup));
    QCOMPARE(iterationStoredIn(gen.path() + "/data_gen/train.cfg", backup), stoppedAt);
    QVERIFY(QDir(gen.path() + "/data_gen/backup").entryList({"*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());

    // Continuing from it starts at the next iteration, with what was learnt.
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, int(stoppedAt) + 5));
    const Run resumed = runTrainer(gen.path(), trainArgs("data_gen/backup/train.backup"));
    QCOMPARE(resumed.status, QProcess::NormalExit);
    QCOMPARE(resumed.exitCode, 0);
    const QStringList lines = progressLines(resumed.out);
    QCOMPARE(lines.size(), 5);
    double accuracy = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const WindowReading reading = readLikeTrainerWindow(lines.at(i));
        QCOMPARE(reading.iteration, stoppedAt + 1 + i);
        accuracy += reading.accuracyPercent / lines.size();
    }
    QVERIFY2(accuracy >= 70.0, qPrintable(lines.join("\n")));
    QVERIFY(QFileInfo::exists(gen.path() + "/data_gen/backup/train.weights"));
}

// Ctrl+C in a terminal stops the run the same way: the iterations done are in the backup.
void DarknetTrainerTest::interruptStopsLikeTerminate()
{
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 4, 32, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 100000));
    QProcess trainer;
    QVERIFY(startTrainer(&trainer, gen.path(), trainArgs()));
    int seen = 0;
    while (seen < 3 && (trainer.canReadLine() || trainer.waitForReadyRead(30000)))
        if (QString::fromUtf8(trainer.readLine()).startsWith("iteration["))
            ++seen;
    QCOMPARE(seen, 3);
    ::kill(pid_t(trainer.processId()), SIGINT);
    const Run run = finish(&trainer);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    const QStringList rest = progressLines(run.out);
    const qint64 stoppedAt = rest.isEmpty() ? 3 : readLikeTrainerWindow(rest.last()).iteration;
    QCOMPARE(iterationStoredIn(gen.path() + "/data_gen/train.cfg", gen.path() + "/data_gen/backup/train.backup"),
             stoppedAt);
    QVERIFY(!QFileInfo::exists(gen.path() + "/data_gen/backup/train.weights"));
}

void DarknetTrainerTest::skipsUnusableImagesAndFinishesAtMaxBatches()
{
    QTemporaryDir gen;
    const QStringList labels = DarknetTrainingFolder::write(gen.path(), kShapes, 4, 32, 48);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 4));
    const QString broken = "data_gen/train/broken_" + labels.at(1) + ".jpg";
    testutil::writeBytes(gen.path() + "/" + broken, "not an image at all");
    const QString unlabelled = "data_gen/train/unlabelled.jpg";
    QFile::copy(gen.path() + "/" + testutil::readAll(gen.path() + "/data_gen/train.list").split("\n").first(),
                gen.path() + "/" + unlabelled);
    const QString list = gen.path() + "/data_gen/train.list";
    testutil::writeBytes(list, (testutil::readAll(list) + "\n" + broken + "\n" + unlabelled + "\n").toUtf8());

    const Run run = runTrainer(gen.path(), trainArgs());
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    const QStringList warnings = linesStartingWith(run.err, "warning:");
    QVERIFY2(warnings.contains("warning: image " + broken + " cannot be read; skipped"), qPrintable(run.err.join("\n")));
    QVERIFY2(warnings.filter(unlabelled + " contains no label").size() == 1, qPrintable(warnings.join("\n")));
    const QStringList lines = progressLines(run.out);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.last().endsWith(", 128 images"));
    for (const QString& name : {"train.backup", "train.weights"})
        QCOMPARE(iterationStoredIn(gen.path() + "/data_gen/train.cfg", gen.path() + "/data_gen/backup/" + name), qint64(4));
}

// Held-out images of the training folder's classes in data_gen/test, listed in test.list, with
// one unreadable file among them; returns how many can be read.
int writeValidationImages(const QString& genPath, const QStringList& classes, const QStringList& labels, int perClass)
{
    QStringList entries;
    for (int c = 0; c < classes.size(); ++c) {
        for (int i = 0; i < perClass; ++i) {
            const QString entry = QString("data_gen/test/held%1_%2.jpg").arg(i).arg(labels.at(c));
            cv::imwrite((genPath + "/" + entry).toStdString(), SyntheticProject::shapeImage(classes.at(c), 48, 7000u + unsigned(i)));
            entries << entry;
        }
    }
    const QString broken = "data_gen/test/broken_" + labels.at(0) + ".jpg";
    testutil::writeBytes(genPath + "/" + broken, "no picture");
    testutil::writeBytes(genPath + "/data_gen/test.list", (entries.join("\n") + "\n" + broken).toUtf8());
    return entries.size();
}

void DarknetTrainerTest::validatesHeldOutImagesAndKeepsTheBest()
{
    QTemporaryDir gen;
    const QStringList labels = DarknetTrainingFolder::write(gen.path(), kShapes, 20, 32, 64);
    const int held = writeValidationImages(gen.path(), kShapes, labels, 6);
    // Evaluations at 100, 200 and 300 whatever the time they take (the share of the time they may
    // take is the loop's own test).
    extraEnvironment["VELA_TRAINER_EVALUATE_EVERY"] = "100";
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 300));
    const Run run = runTrainer(gen.path(), trainArgs());
    QCOMPARE(run.exitCode, 0);

    const QRegularExpression validLine("^valid\\[(\\d+)\\] top1 ([0-9.]+), top5 ([0-9.]+), (\\d+) images, [0-9.]+ seconds$");
    QList<double> top1s;
    qint64 lastAt = 0;
    for (const QString& line : linesStartingWith(run.out, "valid[")) {
        const QRegularExpressionMatch m = validLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(4).toInt(), held);
        QCOMPARE(m.captured(3), m.captured(2)); // below five classes top-5 is top-1
        top1s << m.captured(2).toDouble();
        lastAt = m.captured(1).toLongLong();
    }
    QVERIFY2(top1s.size() == 3, qPrintable(run.out.join("\n")));
    QCOMPARE(lastAt, qint64(300)); // once more at max_batches
    const double best = *std::max_element(top1s.begin(), top1s.end());

    // train.best holds the weights of the best evaluation: evaluated again they score the same.
    const QString backup = gen.path() + "/data_gen/backup";
    QByteArray cfgPath = (gen.path() + "/data_gen/train.cfg").toUtf8();
    QByteArray bestPath = (backup + "/train.best").toUtf8();
    NetworkSummary summary;
    std::string error;
    QVERIFY(NetworkCfgCheck::checkFile(cfgPath.toStdString(), &summary, &error));
    DarknetEngine engine(summary);
    QVERIFY(engine.build(cfgPath.toStdString(), &error));
    network* net = engine.net();
    load_weights(net, bestPath.data());
    // The lists name their images relative to the generation folder, as the trainer sees them.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(gen.path());
    DataFile data;
    QVERIFY(DataFile::read("data_gen/data.data", &data, &error));
    TrainSet set;
    std::vector<std::string> warnings;
    QVERIFY(TrainSet::load(data, &set, &error, &warnings));
    ValidationEvaluator evaluator(ValidationSet::load(data, set, &warnings), 3, net->w, net->h, net->batch, 2);
    ValidationResult again;
    QVERIFY(evaluator.evaluate(engine, 0, [] { return false; }, &again));
    QDir::setCurrent(previous);
    QCOMPARE(QString::number(again.top1, 'f', 6), QString::number(best, 'f', 6));
    QCOMPARE(again.skipped, 1);

    // The report: every evaluation, and the best one's confusion over all readable images.
    const QJsonObject report = QJsonDocument::fromJson(testutil::readBytes(backup + "/report.json")).object();
    QCOMPARE(report["classes"].toArray().toVariantList(), QVariantList({"circle", "square", "triangle"}));
    QCOMPARE(report["iterations"].toInt(), 300);
    QVERIFY(!report["series"].toArray().isEmpty());
    const QJsonObject validation = report["validation"].toObject();
    QCOMPARE(validation["evaluations"].toArray().size(), top1s.size());
    QCOMPARE(QString::number(validation["best_top1"].toDouble(), 'f', 6), QString::number(best, 'f', 6));
    QCOMPARE(validation["unreadable"].toInt(), 1);
    int cells = 0;
    for (const QJsonValue& row : validation["confusion"].toArray())
        for (const QJsonValue& n : row.toArray())
            cells += n.toInt();
    QCOMPARE(cells, held);
    const cv::Mat picture = cv::imread((backup + "/report.png").toStdString());
    QCOMPARE(picture.size(), cv::Size(1200, 800));
    QVERIFY(QDir(backup).entryList({"*.tmp"}, QDir::Files | QDir::Hidden).isEmpty());
}

// The same iterations from the same seed on each engine: the held-out accuracy of the one is
// within 3 points of the other's. Then each starts from the other's weights of another class
// count, loading every layer but the classifier.
void DarknetTrainerTest::bothEnginesLearnAlikeAndStartFromOtherWeights()
{
    SKIP_WITHOUT_TORCH_ENGINE();
    QTemporaryDir gen;
    const QStringList labels = DarknetTrainingFolder::write(gen.path(), kShapes, 40, 32, 64);
    const int held = writeValidationImages(gen.path(), kShapes, labels, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 200));
    extraEnvironment["VELA_TRAINER_SEED"] = "5";
    QMap<QString, double> top1;
    for (const QString engine : {"darknet", "torch"}) {
        extraEnvironment["VELA_TRAINER_ENGINE"] = engine;
        const Run run = runTrainer(gen.path(), trainArgs());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err.join("\n")));
        QVERIFY(run.out.contains("engine: " + engine) || run.out.filter("engine: torch ").size() == 1);
        const QString last = linesStartingWith(run.out, "valid[200]").value(0);
        QVERIFY2(last.contains(QString(", %1 images,").arg(held)), qPrintable(last));
        top1[engine] = last.section("top1 ", 1).section(',', 0, 0).toDouble();
        QFile::rename(gen.path() + "/data_gen/backup/train.weights", gen.path() + "/data_gen/" + engine + ".weights");
    }
    qInfo() << "held-out top-1 after 200 iterations:" << top1;
    QVERIFY2(std::fabs(top1["darknet"] - top1["torch"]) <= 0.03, qPrintable(QString::number(top1["torch"])));
    QVERIFY(top1["torch"] >= 0.8);

    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(4, 2));
    testutil::writeBytes(gen.path() + "/data_gen/labels.txt", (labels.join("\n") + "\nextra").toUtf8());
    replaceInFile(gen.path() + "/data_gen/data.data", "classes=3", "classes=4");
    for (const QString engine : {"darknet", "torch"}) {
        extraEnvironment["VELA_TRAINER_ENGINE"] = engine;
        const QString other = engine == "torch" ? "darknet" : "torch";
        const Run run = runTrainer(gen.path(), trainArgs("data_gen/" + other + ".weights"));
        QVERIFY2(run.exitCode == 0, qPrintable(run.err.join("\n")));
        QVERIFY2(run.out.contains("transfer from data_gen/" + other + ".weights: loaded the first 7 of 10 layers, "
                                  "initialised layer 7 (convolutional); images seen start again from 0"),
                 qPrintable(run.out.join("\n")));
        QCOMPARE(progressLines(run.out).size(), 2);
    }
}

void DarknetTrainerTest::refusesBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Breakage>("breakage");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("message");

    const QString cfg = "/data_gen/train.cfg";
    const QString data = "/data_gen/data.data";
    auto nothing = [](const QString&) {};
    auto writeCfg = [cfg](const QString& text) {
        return Breakage([cfg, text](const QString& gen) { testutil::writeBytes(gen + cfg, text.toUtf8()); });
    };

    QTest::newRow("no data file") << QStringList{"classifier", "train", "data_gen/none.data", "data_gen/train.cfg"}
                                  << Breakage(nothing) << 1 << QStringList{"data file data_gen/none.data cannot be read"};
    QTest::newRow("data line without =")
        << trainArgs() << Breakage([data](const QString& gen) { replaceInFile(gen + data, "train   =", "train "); })
        << 1 << QStringList{"data file data_gen/data.data", "line 2", "is not a key = value line"};
    QTest::newRow("data file without classes")
        << trainArgs() << Breakage([data](const QString& gen) { replaceInFile(gen + data, "classes=3\n", ""); }) << 1
        << QStringList{"\"classes\" is missing"};
    QTest::newRow("classes not a number")
        << trainArgs() << Breakage([data](const QString& gen) { replaceInFile(gen + data, "classes=3", "classes=three"); })
        << 1 << QStringList{"classes=three is not a positive number"};
    QTest::newRow("label list shorter than classes")
        << trainArgs() << Breakage([](const QString& gen) {
               const QString labels = gen + "/data_gen/labels.txt";
               testutil::writeBytes(labels, testutil::readAll(labels).section("\n", 0, 1).toUtf8());
           })
        << 1 << QStringList{"label list data_gen/labels.txt has 2 labels, but the data file says classes=3"};
    QTest::newRow("empty train list")
        << trainArgs() << Breakage([](const QString& gen) { testutil::writeBytes(gen + "/data_gen/train.list", ""); })
        << 1 << QStringList{"train list data_gen/train.list is empty"};
    QTest::newRow("no listed image carries a label")
        << trainArgs() << Breakage([](const QString& gen) {
               testutil::writeBytes(gen + "/data_gen/train.list", "data_gen/train/a.jpg\ndata_gen/train/b.jpg");
           })
        << 1 << QStringList{"no image of train list data_gen/train.list contains exactly one label"};
    QTest::newRow("no listed image can be read")
        << trainArgs() << Breakage([](const QString& gen) {
               const QString labels = testutil::readAll(gen + "/data_gen/labels.txt");
               testutil::writeBytes(gen + "/data_gen/train.list",
                                    ("data_gen/train/gone_" + labels.section("\n", 0, 0) + ".jpg").toUtf8());
           })
        << 1 << QStringList{"no image of the train list can be read"};
    QTest::newRow("backup folder cannot be made")
        << trainArgs() << Breakage([data](const QString& gen) {
               replaceInFile(gen + data, "backup  = data_gen/backup", "backup  = data_gen/data.data/backup");
           })
        << 1 << QStringList{"backup folder data_gen/data.data/backup cannot be created or written"};
    QTest::newRow("no cfg") << trainArgs() << Breakage([cfg](const QString& gen) { QFile::remove(gen + cfg); }) << 1
                            << QStringList{"network configuration data_gen/train.cfg cannot be read"};
    QTest::newRow("cfg not starting with [net]")
        << trainArgs() << Breakage([cfg](const QString& gen) { replaceInFile(gen + cfg, "[net]", "[convolutional]"); })
        << 1 << QStringList{"the first section is [convolutional] at line 1, not [net]"};
    QTest::newRow("cfg with its placeholders")
        << trainArgs()
        << writeCfg(testutil::readAll(testutil::sourceDir() + "/resources/ai_models/mainline/VoderoVod_32.cfg")) << 1
        << QStringList{"[net] at line 1: batch=$batch$ is not an integer"};
    QTest::newRow("cfg line without =")
        << trainArgs() << Breakage([cfg](const QString& gen) { replaceInFile(gen + cfg, "filters=8", "filters 8"); })
        << 1 << QStringList{"\"filters8\" is not a key=value option"};
    // Messages name the line of the section at fault: the template's first convolution.
    const QString firstConvLine =
        QString::number(quickCfg(3, 10).left(quickCfg(3, 10).indexOf("[convolutional]")).count('\n') + 1);
    QTest::newRow("filter larger than its input")
        << trainArgs() << Breakage([cfg](const QString& gen) {
               replaceInFile(gen + cfg, "size=3\nstride=1\npad=1", "size=40\nstride=1\npad=0");
           })
        << 1 << QStringList{"[convolutional] at line " + firstConvLine, "a 40 x 40 filter does not fit its 32 x 32 input"};
    QTest::newRow("route to a later layer")
        << trainArgs() << Breakage([cfg](const QString& gen) {
               replaceInFile(gen + cfg, "[convolutional]", "[route]\nlayers=2\n\n[convolutional]");
           })
        << 1 << QStringList{"[route] at line " + firstConvLine + ": layers: layer 2 is not an earlier layer"};
    QTest::newRow("outputs differ from classes") << trainArgs() << writeCfg(quickCfg(4, 10)) << 1
                                                 << QStringList{"ends in 4 outputs, but the data file says classes=3"};
    // swish and [scale_channels] are trained; other pieces of darknet's fork are not.
    QTest::newRow("forkline model")
        << trainArgs()
        << writeCfg(QString(kForklineLikeCfg).replace("activation=swish", "activation=mish").replace("[scale_channels]", "[sam]"))
        << 1
        << QStringList{"forkline model family (efficientnet_b0, efficientnet-lite3, mobilenet-v2)", "cannot train",
                       "activation=mish", "[sam]"};
    QTest::newRow("detection layer") << trainArgs() << writeCfg(quickCfg(3, 10) + "\n[yolo]\nclasses=3\n") << 1
                                     << QStringList{"layer kinds that this classifier trainer does not train: [yolo]"};
    QTest::newRow("no weights file") << trainArgs("data_gen/none.weights") << Breakage(nothing) << 1
                                     << QStringList{"weights file data_gen/none.weights cannot be read"};
    // Weights of another class count are a transfer; another first layer fits nothing.
    QTest::newRow("weights of another network")
        << trainArgs("data_gen/other.weights") << Breakage([](const QString& gen) {
               QString other = quickCfg(3, 10);
               saveWeightsOf(other.replace(other.indexOf("filters=4"), 9, "filters=5"), gen + "/data_gen/other.weights");
           })
        << 1
        << QStringList{"weights file data_gen/other.weights does not fit the network: it holds 3190 parameters, "
                       "the network has 3087"};
    QTest::newRow("mistyped option, weights of the meant network")
        << trainArgs("data_gen/meant.weights") << Breakage([cfg](const QString& gen) {
               saveWeightsOf(quickCfg(3, 10), gen + "/data_gen/meant.weights");
               replaceInFile(gen + cfg, "filters=4", "filtres=4");
           })
        << 1 << QStringList{"does not fit the network", "options the darknet library does not read: [convolutional] at line"};
    QTest::newRow("truncated weights")
        << trainArgs("data_gen/short.weights") << Breakage([](const QString& gen) {
               saveWeightsOf(quickCfg(3, 10), gen + "/data_gen/short.weights");
               QFile file(gen + "/data_gen/short.weights");
               QVERIFY(file.resize(1000));
           })
        << 1 << QStringList{"does not fit the network: it holds 245 parameters, the network has 3087"};
    QTest::newRow("not the classifier command") << QStringList{"detector", "train", "data_gen/data.data", "x.cfg"}
                                                << Breakage(nothing) << 2 << QStringList{"expected: classifier train"};
    QTest::newRow("unknown option") << (trainArgs() << "-gpus") << Breakage(nothing) << 2
                                    << QStringList{"unknown option -gpus"};
}

// Every refusal is one "error:" line on standard error and a non-zero exit, never a crash,
// and no training starts.
void DarknetTrainerTest::refusesBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(Breakage, breakage);
    QFETCH(int, exitCode);
    QFETCH(QStringList, message);

    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 3, 32, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 10));
    breakage(gen.path());
    if (QTest::currentTestFailed())
        return;

    // Both engines refuse alike: the checks run before either is built.
    QStringList errorLines;
    for (const QString& engine : kEngines) {
        extraEnvironment["VELA_TRAINER_ENGINE"] = engine;
        const Run run = runTrainer(gen.path(), args);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        const QStringList errors = linesStartingWith(run.err, "error:");
        QCOMPARE(errors.size(), 1);
        for (const QString& part : message)
            QVERIFY2(errors.first().contains(part), qPrintable(errors.first()));
        QVERIFY(progressLines(run.out).isEmpty());
        errorLines << errors.first();
    }
    QCOMPARE(errorLines.first(), errorLines.last());
    QVERIFY(QDir(gen.path()).entryList({"core*"}).isEmpty());
    QVERIFY(!QFileInfo::exists(gen.path() + "/data_gen/backup/train.backup"));
}

void DarknetTrainerTest::cudaEntryWithoutAUsableDeviceTrainsOnTheCpu_data()
{
    QTest::addColumn<QString>("engine");  // VELA_TRAINER_ENGINE
    QTest::addColumn<QString>("device");  // VELA_TRAINER_DEVICE
    QTest::addColumn<QString>("trains");  // the "engine:" line's first word
    QTest::addColumn<QString>("warning"); // the one warning's end; empty: none
    QTest::newRow("as chosen") << "" << "" << "darknet" << "; training on the CPU with the darknet engine";
    QTest::newRow("torch asked for") << "torch" << "" << "torch" << "; training on the CPU with the torch engine";
    QTest::newRow("darknet asked for") << "darknet" << "" << "darknet" << "";
    QTest::newRow("kept on the CPU") << "" << "cpu" << "torch" << "";
}

void DarknetTrainerTest::cudaEntryWithoutAUsableDeviceTrainsOnTheCpu()
{
    QFETCH(QString, engine);
    QFETCH(QString, device);
    QFETCH(QString, trains);
    QFETCH(QString, warning);
    std::string why;
    if (CudaDriver::firstDevice(nullptr, &why))
        QSKIP("this machine has a CUDA device");
    if (trains == "torch")
        SKIP_WITHOUT_TORCH_ENGINE();

    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 3, 32, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 2));
    if (!engine.isEmpty())
        extraEnvironment["VELA_TRAINER_ENGINE"] = engine;
    if (!device.isEmpty())
        extraEnvironment["VELA_TRAINER_DEVICE"] = device;
    const Run run = runTrainer(gen.path(), trainArgs(), "darknet_");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err.join("\n")));
    QCOMPARE(run.out.value(0), QString("backend: CPU"));
    QCOMPARE(run.out.value(1).section(' ', 0, 1), "engine: " + trains);
    QCOMPARE(progressLines(run.out).size(), 2);
    const QStringList warnings = linesStartingWith(run.err, "warning:");
    if (warning.isEmpty()) {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join("\n")));
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.first(), "warning: no usable CUDA device (" + QString::fromStdString(why) + ")" + warning);
}

// A batch that does not fit: one error line that says what was tried and what to lower, and
// nothing written. The CPU's memory is capped so that the LibTorch engine runs out as a GPU would.
void DarknetTrainerTest::aBatchThatDoesNotFitSaysWhatToLower()
{
    SKIP_WITHOUT_TORCH_ENGINE();
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 3, 64, 80);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), R"([net]
batch=16
subdivisions=2
width=64
height=64
channels=3
max_batches=3

[convolutional]
filters=32
size=3
stride=1
pad=1
activation=leaky

[convolutional]
filters=3
size=1
stride=1
activation=linear

[avgpool]

[softmax]
)");
    testutil::writeBytes(gen.path() + "/data_gen/version", "0:wide_maps");
    extraEnvironment["VELA_TRAINER_ENGINE"] = "torch";
    extraEnvironment["VELA_TRAINER_MEMORY_LIMIT"] = "1";
    const Run run = runTrainer(gen.path(), trainArgs());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(linesStartingWith(run.err, "error:"),
             QStringList{"error: wide_maps at 64 x 64 does not fit in the memory of the CPU (limited to 1 MiB): batch=16, "
                         "subdivisions=2 tried as passes of 8 images; lower batch or raise subdivisions (each pass "
                         "holds batch / subdivisions images)"});
    QVERIFY(progressLines(run.out).isEmpty());
    QVERIFY(QDir(gen.path() + "/data_gen/backup").entryList(QDir::Files).isEmpty());

    // Without the cap the same run trains.
    extraEnvironment.remove("VELA_TRAINER_MEMORY_LIMIT");
    const Run unlimited = runTrainer(gen.path(), trainArgs());
    QVERIFY2(unlimited.exitCode == 0, qPrintable(unlimited.err.join("\n")));
    QCOMPARE(progressLines(unlimited.out).size(), 3);
}

void DarknetTrainerTest::deviceAndEngineVariablesNameWhatExists()
{
    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 3, 32, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 2));
    extraEnvironment["VELA_TRAINER_DEVICE"] = "gpu";
    for (const QString executable : {"darknet_", "darknet_cpu_"}) {
        const Run run = runTrainer(gen.path(), trainArgs(), executable);
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.out, QStringList{"backend: CPU"});
        QCOMPARE(run.err, QStringList{"error: VELA_TRAINER_DEVICE=gpu names no device; use cpu"});
    }
}

// The trainer window starts "rosrun vela_lib_yolo darknet_cpu_ ..." in the generation folder,
// with the build's package folder on ROS_PACKAGE_PATH as run-forgewright puts it there.
void DarknetTrainerTest::rosrunFindsThePackageOfTheBuild()
{
    const QString launcher = testutil::binaryDir() + "/run-forgewright";
    QVERIFY(QFileInfo(launcher).isExecutable());
    const QString script = testutil::readAll(launcher);
    QVERIFY(script.contains("ROS_PACKAGE_PATH=\"" + packageParent() + "${ROS_PACKAGE_PATH:+:$ROS_PACKAGE_PATH}\""));
    QVERIFY(script.contains("export ROS_PACKAGE_PATH"));
    QVERIFY(script.contains("exec \"" + testutil::binaryDir() + "/trainer/forgewright\" \"$@\""));

    QTemporaryDir gen;
    DarknetTrainingFolder::write(gen.path(), kShapes, 3, 32, 40);
    DarknetTrainingFolder::writeTrainCfg(gen.path(), quickCfg(3, 2));
    QProcessEnvironment env = environment();
    env.insert("ROS_PACKAGE_PATH", packageParent());
    for (const QString& executable : {"darknet_cpu_", "darknet_"}) {
        QProcess rosrun;
        rosrun.setWorkingDirectory(gen.path());
        rosrun.setProcessEnvironment(env);
        rosrun.start("rosrun", QStringList{"vela_lib_yolo", executable} + trainArgs());
        QVERIFY(rosrun.waitForFinished(60000));
        QCOMPARE(rosrun.exitStatus(), QProcess::NormalExit);
        QVERIFY2(rosrun.exitCode() == 0, rosrun.readAllStandardError().constData());
        QCOMPARE(progressLines(linesOf(rosrun.readAllStandardOutput())).size(), 2);
    }
}

} // namespace

QTEST_GUILESS_MAIN(DarknetTrainerTest)
#include "test_darknet_trainer.moc"
