#pragma once

#include "darknet_cfg.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <string>
#include <vector>

// Where a loaded classifier's guide maps come from, and how they are made: one class activation
// map per reported class, min-max scaled to 0..255.
//
// Three network shapes occur:
// - the classifier is a linear 1x1 convolution with one filter per class that feeds the final
//   [avgpool] (darknet19, densenet201, efficientnet, ...): the map of class c is channel c of
//   that convolution's output;
// - the final [avgpool] feeds such a convolution (resnet, resnext, darknet53): since pooling and
//   the convolution are both linear, the map of class c is the convolution applied at every
//   position of the pooled features, sum_k w[c][k] * f_k + b[c];
// - the classifier is a [connected] layer (alexnet, vgg-16): its weights see flattened positions,
//   so there is no per-class map; every class gets the channel mean of the last convolutional
//   layer's activation instead.
class GuideMapSource
{
public:
    enum class Kind { None, ClassChannels, PooledFeatures, ChannelMean };

    // Works out the kind from the configuration and finds the layer that holds the maps in the
    // imported network. Never fails: a network it cannot read gets Kind::None and no maps.
    void plan(const DarknetCfg& cfg, cv::dnn::Net& net);

    // The OpenCV layer whose output the maps are made from; empty for Kind::None.
    const std::string& layerName() const { return sourceName; }

    // Maps for the given classes from that layer's output (1 x C x H x W). With upsample set
    // they are brought to `size` (the network's input size) before scaling.
    std::vector<cv::Mat> maps(const cv::Mat& output, const std::vector<int>& classes, bool upsample,
                              const cv::Size& size) const;

    // A float map scaled so that its minimum becomes 0 and its maximum 255 (all 0 when flat).
    static cv::Mat scaled(const cv::Mat& map);

private:
    Kind classify(const DarknetCfg& cfg) const;
    bool findNames(cv::dnn::Net& net);

    Kind mapKind = Kind::None;
    std::string sourceName;
    cv::Mat classWeights; // classes x features, PooledFeatures only
    cv::Mat classBiases;  // classes x 1
};
