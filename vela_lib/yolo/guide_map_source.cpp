#include "guide_map_source.h"

#include <opencv2/imgproc.hpp>

#include <QDebug>

#include <algorithm>
#include <set>

namespace {

using Layer = DarknetCfg::Layer;

bool onlyPredictionTail(const std::vector<Layer>& layers, int from)
{
    return std::all_of(layers.begin() + from, layers.end(), [](const Layer& layer) {
        const std::string& type = layer.section.type;
        return type == "softmax" || type == "dropout" || type == "cost";
    });
}

// Steps through a chain of layers in the imported graph, always along the first input.
class GraphWalk
{
public:
    explicit GraphWalk(cv::dnn::Net& net) : net(net) {}

    int input(int id) const
    {
        if (id <= 0)
            return -1;
        const std::vector<cv::Ptr<cv::dnn::Layer> > inputs = net.getLayerInputs(id);
        return inputs.empty() ? -1 : net.getLayerId(inputs.front()->name);
    }
    std::string type(int id) const { return id > 0 ? net.getLayer(id)->type : std::string(); }
    std::string name(int id) const { return net.getLayer(id)->name; }
    int skipIdentities(int id) const
    {
        while (type(id) == "Identity")
            id = input(id);
        return id;
    }
    // The layer whose output the pooling layer under `id` averages, or -1 when `id` (past
    // identities) is no pooling layer.
    int pooledSource(int id) const
    {
        const int pool = skipIdentities(id);
        if (type(pool) != "Pooling")
            return -1;
        const int source = skipIdentities(input(pool));
        return source > 0 ? source : -1;
    }

private:
    cv::dnn::Net& net;
};

} // namespace

GuideMapSource::Kind GuideMapSource::classify(const DarknetCfg& cfg) const
{
    const std::vector<Layer>& layers = cfg.layers();
    const qint64 classes = cfg.outputSize();
    int lastPool = -1;
    bool anyConvolution = false;
    for (int i = 0; i < int(layers.size()); ++i) {
        if (layers[i].section.type == "avgpool")
            lastPool = i;
        anyConvolution = anyConvolution || layers[i].section.type == "convolutional";
    }
    if (lastPool >= 0 && onlyPredictionTail(layers, lastPool + 1)) {
        int before = lastPool - 1;
        while (before >= 0 && layers[before].section.type == "dropout")
            --before;
        if (before >= 0 && layers[before].section.type == "convolutional" && layers[before].units == classes)
            return Kind::ClassChannels;
    }
    if (lastPool >= 0) {
        int after = lastPool + 1;
        while (after < int(layers.size()) && layers[after].section.type == "dropout")
            ++after;
        if (after < int(layers.size()) && onlyPredictionTail(layers, after + 1)) {
            const Layer& head = layers[after];
            if (head.section.type == "convolutional" && head.units == classes && head.size == 1 && head.groups == 1
                && !head.batchNormalize && head.activation == "linear")
                return Kind::PooledFeatures;
        }
    }
    return anyConvolution ? Kind::ChannelMean : Kind::None;
}

void GuideMapSource::plan(const DarknetCfg& cfg, cv::dnn::Net& net)
{
    mapKind = classify(cfg);
    sourceName.clear();
    classWeights.release();
    classBiases.release();
    if (mapKind == Kind::None)
        return;
    if (!findNames(net)) {
        qDebug().noquote() << "classifier: cannot find the layer for guide maps; a channel mean is used instead";
        mapKind = Kind::ChannelMean;
        if (!findNames(net)) {
            qDebug().noquote() << "classifier: this network gives no guide maps";
            mapKind = Kind::None;
        }
    }
}

bool GuideMapSource::findNames(cv::dnn::Net& net)
{
    const GraphWalk walk(net);
    const std::vector<std::string> outputs = net.getUnconnectedOutLayersNames();
    if (outputs.size() != 1)
        return false;
    const int scores = net.getLayerId(outputs.front());

    // The maps of both class kinds are the features a pooling layer averages.
    const auto namePooledSource = [&](int pooling) {
        const int source = walk.pooledSource(pooling);
        if (source > 0)
            sourceName = walk.name(source);
        return source > 0;
    };
    if (mapKind == Kind::ClassChannels)
        return namePooledSource(walk.input(scores));

    if (mapKind == Kind::PooledFeatures) {
        const int head = walk.skipIdentities(walk.input(scores));
        if (walk.type(head) != "Convolution")
            return false;
        const std::vector<cv::Mat>& blobs = net.getLayer(head)->blobs;
        if (blobs.empty() || blobs[0].dims != 4 || blobs[0].size[2] != 1 || blobs[0].size[3] != 1)
            return false;
        const int classes = blobs[0].size[0];
        classWeights = blobs[0].reshape(1, classes).clone();
        classBiases = blobs.size() > 1 ? blobs[1].reshape(1, classes).clone() : cv::Mat::zeros(classes, 1, CV_32F);
        return namePooledSource(walk.input(head));
    }

    // ChannelMean: back from the scores to the last convolution, then forward again over its
    // normalisation and activation, which the importer adds as layers of their own.
    static const std::set<std::string> followers{"BatchNorm", "ReLU", "ReLU6", "Swish", "Mish", "Sigmoid",
                                                 "TanH", "ELU", "AbsVal", "Power", "Scale"};
    std::vector<int> path;
    for (int id = scores; id > 0; id = walk.input(id)) {
        path.push_back(id);
        if (walk.type(id) == "Convolution")
            break;
    }
    if (path.empty() || walk.type(path.back()) != "Convolution")
        return false;
    size_t at = path.size() - 1;
    while (at > 0 && followers.count(walk.type(path[at - 1])))
        --at;
    sourceName = walk.name(path[at]);
    return true;
}

std::vector<cv::Mat> GuideMapSource::maps(const cv::Mat& output, const std::vector<int>& classes, bool upsample,
                                          const cv::Size& size) const
{
    std::vector<cv::Mat> result;
    if (mapKind == Kind::None || output.dims != 4 || output.type() != CV_32F)
        return result;
    const int channels = output.size[1];
    const int height = output.size[2];
    const int width = output.size[3];
    const cv::Mat features(channels, height * width, CV_32F, const_cast<float*>(output.ptr<float>()));

    cv::Mat mean;
    if (mapKind == Kind::ChannelMean)
        cv::reduce(features, mean, 0, cv::REDUCE_AVG, CV_32F);

    for (const int c : classes) {
        cv::Mat map;
        if (mapKind == Kind::ClassChannels && c >= 0 && c < channels)
            map = features.row(c).clone();
        else if (mapKind == Kind::PooledFeatures && c >= 0 && c < classWeights.rows
                 && classWeights.cols == channels)
            map = classWeights.row(c) * features + classBiases.at<float>(c);
        else if (mapKind == Kind::ChannelMean)
            map = mean.clone();
        else
            map = cv::Mat::zeros(1, height * width, CV_32F);
        map = map.reshape(1, height);
        if (upsample && size.area() > 0)
            cv::resize(map, map, size, 0, 0, cv::INTER_LINEAR);
        result.push_back(scaled(map));
    }
    return result;
}

cv::Mat GuideMapSource::scaled(const cv::Mat& map)
{
    cv::Mat values = map.clone();
    cv::patchNaNs(values, 0);
    double low = 0, high = 0;
    cv::minMaxLoc(values, &low, &high);
    if (!(high - low > 1e-12) || !std::isfinite(high - low))
        return cv::Mat::zeros(values.size(), CV_8UC1);
    const double factor = 255.0 / (high - low);
    cv::Mat out;
    values.convertTo(out, CV_8U, factor, -low * factor);
    return out;
}
