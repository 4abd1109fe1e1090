#include "classif_config.h"

#include "class_colors.h"
#include "darknet_cfg.h"
#include "darknet_input.h"
#include "darknet_weights.h"
#include "dnn_backend.h"
#include "guide_map_source.h"
#include "model_folder.h"

#include <QDebug>
#include <QFile>
#include <QMutexLocker>

#include <opencv2/dnn.hpp>
#include <opencv2/dnn/shape_utils.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <mutex>
#include <numeric>

struct ClassifRuntime
{
    DarknetInput input;
    GuideMapSource guide;
    std::vector<std::string> outputs; // the scores, then the guide-map layer if any
    int classes = 0;
    cv::Size inputSize; // [net] width x height
};

namespace {

// Configurations are text of a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxCfgBytes = 16 * 1024 * 1024;

bool readFile(const QString& path, QByteArray* bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QString("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > kMaxCfgBytes) {
        *error = QString("%1 is too large to be a network configuration").arg(path);
        return false;
    }
    *bytes = file.readAll();
    return true;
}

// Both programs run on two cores; one worker per core keeps the classifier fast without
// oversubscribing them.
void useAllCoresOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { cv::setNumThreads(std::max(1, cv::getNumberOfCPUs())); });
}

// A model folder whose files have been read and found consistent with each other.
struct CheckedModel
{
    QString cfgPath;
    DarknetCfg cfg;
    QByteArray weights;
    QStringList names;
};

bool readCheckedModel(const QString& folder, CheckedModel* model, QString* error)
{
    ModelFolder files;
    if (!files.locate(folder, error))
        return false;
    model->cfgPath = files.cfgPath;

    QByteArray cfgText;
    if (!readFile(files.cfgPath, &cfgText, error))
        return false;
    if (!model->cfg.parse(cfgText, error)) {
        *error = QString("%1: %2").arg(files.cfgPath, *error);
        return false;
    }

    // The header and the file's size say whether the weights fit before a byte more is read.
    QFile weights(files.weightsPath);
    if (!weights.open(QIODevice::ReadOnly)) {
        *error = QString("cannot read %1: %2").arg(files.weightsPath, weights.errorString());
        return false;
    }
    if (!DarknetWeights::check(weights.peek(WeightsHeader::kLongest), weights.size(), model->cfg.parameterCount(), error)) {
        *error = QString("%1: %2").arg(files.weightsPath, *error);
        return false;
    }

    QByteArray namesText;
    if (!readFile(files.namesPath, &namesText, error))
        return false;
    model->names = ModelFolder::readNames(namesText);
    if (model->names.size() != model->cfg.outputSize()) {
        *error = QString("%1 lists %2 classes but the network has %3 outputs")
                     .arg(files.namesPath)
                     .arg(model->names.size())
                     .arg(model->cfg.outputSize());
        return false;
    }
    model->weights = weights.readAll();
    return true;
}

std::unique_ptr<cv::dnn::Net> importNetwork(CheckedModel& model, const DnnBackend& backend, QString* error)
{
    const QByteArray text = model.cfg.importerText();
    auto net = std::make_unique<cv::dnn::Net>(cv::dnn::readNetFromDarknet(
        text.constData(), size_t(text.size()), model.weights.constData(), size_t(model.weights.size())));
    model.weights.clear(); // the network holds its own copy
    if (net->empty()) {
        *error = QString("OpenCV could not build the network of %1").arg(model.cfgPath);
        return nullptr;
    }
    net->setPreferableBackend(backend.backend);
    net->setPreferableTarget(backend.target);
    return net;
}

bool asBgr(const cv::Mat& image, cv::Mat* bgr)
{
    if (image.empty()) {
        qDebug().noquote() << "classifier: empty image, nothing to classify";
        return false;
    }
    if (image.depth() != CV_8U) {
        qDebug().noquote() << "classifier: only 8-bit images can be classified";
        return false;
    }
    switch (image.channels()) {
    case 3:
        *bgr = image;
        return true;
    case 1:
        cv::cvtColor(image, *bgr, cv::COLOR_GRAY2BGR);
        return true;
    case 4:
        cv::cvtColor(image, *bgr, cv::COLOR_BGRA2BGR);
        return true;
    default:
        qDebug().noquote() << "classifier: cannot classify an image of" << image.channels() << "channels";
        return false;
    }
}

std::vector<std::pair<int, float> > bestScores(const cv::Mat& scores, int top)
{
    const float* values = scores.ptr<float>();
    const int count = int(scores.total());
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [values](int a, int b) { return values[a] > values[b]; });
    const int kept = std::min(count, std::max(1, top));
    std::vector<std::pair<int, float> > results;
    for (int i = 0; i < kept; ++i)
        results.emplace_back(order[i], values[order[i]]);
    return results;
}

bool planRuntime(const CheckedModel& model, cv::dnn::Net& net, ClassifRuntime* layout, QString* error)
{
    layout->input = DarknetInput(model.cfg.inputWidth(), model.cfg.inputHeight(), model.cfg.leadingCrop());
    layout->inputSize = cv::Size(model.cfg.inputWidth(), model.cfg.inputHeight());
    layout->classes = int(model.cfg.outputSize());
    layout->guide.plan(model.cfg, net);
    const std::vector<std::string> unconnected = net.getUnconnectedOutLayersNames();
    if (unconnected.size() != 1) {
        *error = QString("%1: the network has %2 outputs instead of one").arg(model.cfgPath).arg(unconnected.size());
        return false;
    }
    layout->outputs.push_back(unconnected.front());
    if (!layout->guide.layerName().empty())
        layout->outputs.push_back(layout->guide.layerName());

    // Shape inference proves that the layers fit together and give one score per class,
    // without the cost of a run.
    std::vector<cv::dnn::MatShape> inShapes, outShapes;
    const cv::Size blob = layout->input.blobSize();
    net.getLayerShapes(cv::dnn::MatShape{1, 3, blob.height, blob.width}, net.getLayerId(unconnected.front()),
                       inShapes, outShapes);
    const qint64 scores = outShapes.empty() ? 0 : qint64(cv::dnn::total(outShapes.front()));
    if (scores != layout->classes) {
        *error = QString("%1: the network gives %2 scores, not %3").arg(model.cfgPath).arg(scores).arg(layout->classes);
        return false;
    }
    return true;
}

} // namespace

ClassifConfig::ClassifConfig() = default;

ClassifConfig::~ClassifConfig() = default;

NetworkHolder* ClassifConfig::holder() const
{
    if (backendNamed(backend_name) == Backend::Cuda)
        return gpu_classifier.get();
    return cpu_classifier.get();
}

void ClassifConfig::make_holder(Backend backend)
{
    gpu_classifier.reset();
    cpu_classifier.reset();
    if (backend == Backend::Cuda)
        gpu_classifier = std::make_unique<darknetclassifier::VelaClassifier>();
    else
        cpu_classifier = std::make_unique<cpudarknetclassifier::CPUVelaClassifier>();
}

bool ClassifConfig::load(const QString& folder, const QString& backend, QString* error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    try {
        CheckedModel model;
        if (!readCheckedModel(folder, &model, error))
            return false;
        useAllCoresOnce();
        const DnnBackend chosen = DnnBackend::choose(backend);
        std::unique_ptr<cv::dnn::Net> net = importNetwork(model, chosen, error);
        auto layout = std::make_unique<ClassifRuntime>();
        if (!net || !planRuntime(model, *net, layout.get(), error))
            return false;

        QMutexLocker lock(&mutex);
        backend_name = backend;
        make_holder(backendNamed(backend));
        holder()->net = std::move(net);
        runtime = std::move(layout);
        config_path = folder;
        running_backend = backendName(chosen.running);
        class_names = model.names;
        class_colors = distinctClassColors(model.names.size());
        guide_maps.clear();
        last_results.clear();
        loaded = true;
        return true;
    } catch (const cv::Exception& e) {
        *error = QString("OpenCV cannot use the model in %1: %2").arg(folder, QString::fromStdString(e.msg));
    } catch (const std::bad_alloc&) {
        *error = QString("not enough memory to load the model in %1").arg(folder);
    } catch (const std::exception& e) {
        *error = QString("cannot load the model in %1: %2").arg(folder, e.what());
    } catch (...) {
        *error = QString("cannot load the model in %1").arg(folder);
    }
    return false;
}

std::vector<std::pair<int, float> > ClassifConfig::infer(cv::Mat& image)
{
    guide_maps.clear();
    last_results.clear();
    last_scores.clear();
    infer_error.clear();
    try {
        cv::dnn::Net* net = holder() ? holder()->net.get() : nullptr;
        if (!net || !runtime) {
            qDebug().noquote() << "classifier: no network loaded";
            infer_error = QStringLiteral("no network loaded");
            return {};
        }
        cv::Mat bgr;
        if (!asBgr(image, &bgr)) {
            infer_error = QStringLiteral("the image cannot be classified (empty, not 8-bit, or of odd channels)");
            return {};
        }
        net->setInput(runtime->input.blob(bgr));
        std::vector<cv::Mat> outputs;
        net->forward(outputs, runtime->outputs);
        if (outputs.empty() || int(outputs.front().total()) != runtime->classes) {
            infer_error = QStringLiteral("the network gave %1 scores, not %2")
                              .arg(outputs.empty() ? 0 : qint64(outputs.front().total()))
                              .arg(runtime->classes);
            return {};
        }
        std::vector<std::pair<int, float> > results = bestScores(outputs.front(), top);
        if (outputs.size() > 1) {
            std::vector<int> classes;
            for (const auto& result : results)
                classes.push_back(result.first);
            guide_maps = runtime->guide.maps(outputs[1], classes, upsampling, runtime->inputSize);
        }
        last_results = results;
        const float* scores = outputs.front().ptr<float>();
        last_scores.assign(scores, scores + outputs.front().total());
        return results;
    } catch (const cv::Exception& e) {
        qDebug().noquote() << "classifier: inference failed:" << QString::fromStdString(e.msg);
        infer_error = "inference failed: " + QString::fromStdString(e.msg);
    } catch (const std::exception& e) {
        qDebug().noquote() << "classifier: inference failed:" << e.what();
        infer_error = QStringLiteral("inference failed: ") + e.what();
    } catch (...) {
        qDebug().noquote() << "classifier: inference failed";
        infer_error = QStringLiteral("inference failed");
    }
    guide_maps.clear();
    last_results.clear();
    last_scores.clear();
    return {};
}
