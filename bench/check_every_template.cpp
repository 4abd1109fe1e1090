// Every model template of the catalogue, end to end: instantiated for 3 classes, trained one
// iteration at batch 1 by the package's darknet_cpu_ on a few synthetic pictures, its weights
// loaded through ClassifConfig, and the engine's test-mode output compared with OpenCV DNN's on
// the same picture. One row per template: the training run's seconds and peak memory, the
// largest difference between the two outputs and between their softmax inputs relative to the
// largest of those (both at most 1e-4 pass). With --engine torch the LibTorch engine trains and
// predicts; its softmax inputs are known up to a constant, so both sides are compared centred.
//
//   check_every_template [--engine darknet|torch] [template ...]
//   (all 23 without names; exit code 1 if one fails)
#include "classif_config.h"
#include "darknet_cfg.h"
#include "darknet_engine.h"
#include "darknet_input.h"
#include "darknet_training_folder.h"
#include "model_data.h"
#include "model_template.h"
#include "network_builder.h"
#include "network_cfg_check.h"
#include "test_support.h"
#if VELA_HAVE_TORCH_ENGINE
#include "torch_engine.h"
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <darknet.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kClasses = 3;
constexpr double kLargestDifference = 1e-4;
const QStringList kShapes{"circle", "square", "triangle"};
bool useTorch = false;

struct Row
{
    QString name;
    bool ok = false;
    double seconds = 0;
    double peakMegabytes = 0;
    double difference = -1;      // largest absolute difference of the scores
    double logitDifference = -1; // of the softmax's inputs, relative to the largest of them; -1: unknown
    QString problem;
};

// libdarknet prints every network it builds on standard error; the table is what this tool shows.
class QuietStandardError
{
public:
    QuietStandardError() : saved(dup(2))
    {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 2);
            close(null);
        }
    }
    ~QuietStandardError()
    {
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
        }
    }

private:
    int saved;
};

// A fresh darknet network has zero normalisation variances, which no single iteration repairs;
// starting from unit variances keeps the first iteration's outputs meaningful.
bool writeStartWeights(const QString& cfg, const QString& weights, QString* problem)
{
    QuietStandardError quiet;
    std::string error;
    NetworkBuilder::NetworkPtr net = NetworkBuilder::build(cfg.toStdString(), &error);
    if (!net) {
        *problem = QString::fromStdString(error);
        return false;
    }
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (l.batch_normalize && l.rolling_variance)
            std::fill(l.rolling_variance, l.rolling_variance + (l.type == CONNECTED ? l.outputs : l.n), 1.f);
    }
    QByteArray path = weights.toUtf8();
    save_weights(net.get(), path.data());
    return true;
}

// VmHWM of a running process, 0 when it cannot be read.
long highWaterKilobytes(pid_t pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    // Until its execve the child is a copy of this tool, with this tool's memory.
    if (lines.isEmpty() || lines.first().simplified() != "Name: darknet_cpu_")
        return 0;
    for (const QByteArray& line : lines)
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

// Runs the trainer in folder; its output goes to files there. Returns its exit code (-1: it
// did not end normally) with its wall time and peak resident memory.
int runTrainer(const QString& folder, const QStringList& args, Row* row)
{
    const QByteArray program = (testutil::binaryDir() + "/ros/vela_lib_yolo/darknet_cpu_").toUtf8();
    const QByteArray workDir = folder.toUtf8();
    const QByteArray log = (folder + "/trainer.log").toUtf8();
    std::vector<QByteArray> words{program};
    for (const QString& arg : args)
        words.push_back(arg.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(workDir.constData()) != 0 || out < 0)
            _exit(127);
        dup2(out, 1);
        dup2(out, 2);
        execv(program.constData(), argv.data());
        _exit(127);
    }
    if (pid < 0)
        return -1;
    // The child's own ru_maxrss would include this tool's memory at the fork (Linux keeps it
    // across execve), so the trainer's high-water mark is read while it runs.
    int status = 0;
    long peakKilobytes = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0) {
        peakKilobytes = std::max(peakKilobytes, highWaterKilobytes(pid));
        usleep(10000);
    }
    if (ended != pid)
        return -1;
    row->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row->peakMegabytes = double(peakKilobytes) / 1024.0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString lastLines(const QString& path, int count)
{
    QStringList lines = testutil::readAll(path).split('\n', Qt::SkipEmptyParts);
    return lines.mid(std::max(0, int(lines.size()) - count)).join(" | ");
}

// The trainer's network on the model folder's files: darknet's own planar RGB input of the
// [net] size (a leading [crop] crops inside the network).
bool trainerScores(const QString& cfg, const QString& weights, const cv::Mat& picture, std::vector<float>* scores,
                   std::vector<float>* logits, QString* problem)
{
    QuietStandardError quiet;
    std::string error;
    NetworkBuilder::NetworkPtr net = NetworkBuilder::build(cfg.toStdString(), &error);
    if (!net) {
        *problem = QString::fromStdString(error);
        return false;
    }
    QByteArray path = weights.toUtf8();
    load_weights(net.get(), path.data());
    cv::Mat blob = DarknetInput(net->w, net->h, LeadingCrop()).blob(picture);
    const float* out = network_predict(net.get(), blob.ptr<float>());
    scores->assign(out, out + net->outputs);
    for (int i = net->n - 1; i > 0; --i)
        if (net->layers[i].type == SOFTMAX) {
            const layer& before = net->layers[i - 1];
            logits->assign(before.output, before.output + before.outputs);
            break;
        }
    return true;
}

// The values less their mean: softmax inputs known only up to a constant compare this way.
std::vector<float> centred(std::vector<float> values)
{
    double mean = 0;
    for (float v : values)
        mean += v / double(values.size());
    for (float& v : values)
        v = float(v - mean);
    return values;
}

#if VELA_HAVE_TORCH_ENGINE
// The LibTorch engine's test-mode scores on the model folder's files, from the same input as
// libdarknet's; the log of its softmax stands for the softmax's input.
bool torchScores(const QString& cfg, const QString& weights, const cv::Mat& picture, std::vector<float>* scores,
                 std::vector<float>* logits, QString* problem)
{
    NetworkSummary summary;
    std::string error;
    TransferWeights::Plan plan;
    if (!NetworkCfgCheck::checkFile(cfg.toStdString(), &summary, &error) ||
        !TransferWeights::plan(weights.toStdString(), summary.weights, &plan, &error)) {
        *problem = QString::fromStdString(error);
        return false;
    }
    TorchEngine engine(summary);
    if (!engine.build(cfg.toStdString(), &error) || !engine.loadWeights(weights.toStdString(), plan, &error)) {
        *problem = QString::fromStdString(error);
        return false;
    }
    const cv::Mat blob = DarknetInput(summary.width, summary.height, LeadingCrop()).blob(picture);
    engine.predict(blob.ptr<float>(), 1, scores);
    logits->clear();
    for (float p : *scores)
        logits->push_back(std::log(p));
    *logits = centred(*logits);
    return true;
}
#endif

bool classifConfigScores(const QString& folder, const cv::Mat& picture, std::vector<float>* scores,
                         std::vector<float>* logits, QString* problem)
{
    ClassifConfig config;
    if (!config.load(folder, "CPU", problem))
        return false;
    config.top = kClasses;
    cv::Mat image = picture.clone();
    const auto results = config.infer(image);
    if (int(results.size()) != kClasses) {
        *problem = "ClassifConfig gave no scores";
        return false;
    }
    scores->assign(kClasses, 0.f);
    for (const auto& result : results)
        (*scores)[size_t(result.first)] = result.second;
    // The softmax's input: the scores before they are squashed, which tell far more.
    cv::dnn::Net& net = *config.cpu_classifier->net;
    const std::vector<int> outputs = net.getUnconnectedOutLayers();
    if (outputs.size() == 1 && net.getLayer(outputs.front())->type == "Softmax") {
        const auto inputs = net.getLayerInputs(outputs.front());
        if (!inputs.empty()) {
            const cv::Mat values = net.forward(inputs.front()->name);
            logits->assign(values.ptr<float>(), values.ptr<float>() + values.total());
        }
    }
    return true;
}

Row check(const QString& name, const MD& model, const QString& work)
{
    Row row;
    row.name = name;
    const QString gen = work + "/" + name;
    DarknetTrainingFolder::write(gen, kShapes, 2, 32, 48);
    const ModelTemplate::Configs configs = ModelTemplate::instantiate(model, 1, 1, kClasses);
    if (!configs.opened) {
        row.problem = "template cannot be read";
        return row;
    }
    DarknetTrainingFolder::writeTrainCfg(gen, DarknetTrainingFolder::withNetValue(configs.train, "max_batches", "1"));
    const QString start = gen + "/data_gen/start.weights";
    if (!writeStartWeights(gen + "/data_gen/train.cfg", start, &row.problem))
        return row;
    const int code = runTrainer(gen, {"classifier", "train", "data_gen/data.data", "data_gen/train.cfg",
                                      "data_gen/start.weights", "-dont_show"}, &row);
    QFile::remove(start);
    if (code != 0) {
        row.problem = QString("trainer exit %1: %2").arg(code).arg(lastLines(gen + "/trainer.log", 2));
        return row;
    }

    const QString folder = gen + "/model";
    QDir().mkpath(folder);
    QFile::rename(gen + "/data_gen/backup/train.weights", folder + "/train.weights");
    QFile::copy(gen + "/data_gen/names.list", folder + "/names.list");
    testutil::writeBytes(folder + "/test.cfg", configs.test.toUtf8());

    const cv::Mat picture = SyntheticProject::shapeImage("circle", 64, 9);
    std::vector<float> ours, theirs, ourLogits, theirLogits;
    bool scored = false;
#if VELA_HAVE_TORCH_ENGINE
    if (useTorch)
        scored = torchScores(folder + "/test.cfg", folder + "/train.weights", picture, &ours, &ourLogits, &row.problem);
#endif
    if (!useTorch)
        scored = trainerScores(folder + "/test.cfg", folder + "/train.weights", picture, &ours, &ourLogits, &row.problem);
    if (!scored || !classifConfigScores(folder, picture, &theirs, &theirLogits, &row.problem))
        return row;
    if (useTorch)
        theirLogits = centred(theirLogits);
    // Saturated scores (a probability of 0 or 1) leave the engine's softmax inputs unknown.
    const bool logitsKnown = std::all_of(ourLogits.begin(), ourLogits.end(), [](float v) { return std::isfinite(v); });
    if (!logitsKnown)
        row.logitDifference = -1;
    else if (ourLogits.size() == theirLogits.size() && !ourLogits.empty()) {
        double largest = 0, difference = 0;
        for (size_t i = 0; i < ourLogits.size(); ++i) {
            largest = std::max(largest, double(std::fabs(ourLogits[i])));
            difference = std::max(difference, double(std::fabs(ourLogits[i] - theirLogits[i])));
        }
        row.logitDifference = largest > 0 ? difference / largest : difference;
    }
    row.difference = 0;
    for (int i = 0; i < kClasses; ++i)
        row.difference = std::isfinite(ours[size_t(i)]) && std::isfinite(theirs[size_t(i)])
                             ? std::max(row.difference, double(std::fabs(ours[size_t(i)] - theirs[size_t(i)])))
                             : INFINITY;
    row.ok = row.difference <= kLargestDifference && row.logitDifference <= kLargestDifference;
    if (!row.ok)
        row.problem = "outputs differ";
    QDir(gen).removeRecursively();
    return row;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const ModelData catalogue;
    QStringList names = app.arguments().mid(1);
    const int engineAt = names.indexOf("--engine");
    if (engineAt >= 0) {
        useTorch = names.value(engineAt + 1) == "torch";
        if (!useTorch && names.value(engineAt + 1) != "darknet") {
            std::fprintf(stderr, "--engine takes darknet or torch\n");
            return 2;
        }
        names.erase(names.begin() + engineAt, names.begin() + std::min(int(names.size()), engineAt + 2));
    }
#if !VELA_HAVE_TORCH_ENGINE
    if (useTorch) {
        std::fprintf(stderr, "this build has no LibTorch engine\n");
        return 2;
    }
#endif
    // The trainer executable trains on the engine asked for.
    qputenv("VELA_TRAINER_ENGINE", useTorch ? "torch" : "darknet");
    if (names.isEmpty())
        names = catalogue.models.keys();
    QTemporaryDir work;
    std::printf("engine: %s\n", useTorch ? "torch" : "darknet");
    std::printf("%-20s %9s %9s %12s %12s  %s\n", "template", "seconds", "peak MB", "max |diff|", "logits rel.",
                "result");
    std::fflush(stdout);
    int failed = 0;
    for (const QString& name : names) {
        Row row;
        if (!catalogue.models.contains(name)) {
            row.name = name;
            row.problem = "not in the catalogue";
        } else {
            row = check(name, catalogue.models.value(name), work.path());
        }
        failed += row.ok ? 0 : 1;
        const QString logits = row.logitDifference < 0 ? "saturated" : QString::number(row.logitDifference, 'g', 3);
        std::printf("%-20s %9.1f %9.0f %12.3g %12s  %s\n", qPrintable(row.name), row.seconds, row.peakMegabytes,
                    row.difference, qPrintable(logits), row.ok ? "ok" : qPrintable("FAILED: " + row.problem));
        std::fflush(stdout);
    }
    std::printf("%d of %d templates pass\n", int(names.size()) - failed, int(names.size()));
    return failed == 0 ? 0 : 1;
}
