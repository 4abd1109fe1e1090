#pragma once

#include <QString>

#include <opencv2/core.hpp>

#include <vector>

struct network;

// The real darknet library (Debian's libdarknet) as the reference the classifier must agree
// with: it writes weights files, predicts, resizes and trains exactly as darknet does.
namespace darknetref {

// A network parsed from a configuration by libdarknet.
class ReferenceNetwork
{
public:
    // weightsPath may be empty: the network keeps darknet's random initialisation.
    ReferenceNetwork(const QString& cfgPath, const QString& weightsPath = QString());
    ~ReferenceNetwork();
    ReferenceNetwork(const ReferenceNetwork&) = delete;
    ReferenceNetwork& operator=(const ReferenceNetwork&) = delete;

    bool valid() const { return net != nullptr; }
    int width() const;
    int height() const;

    // Spreads the batch-normalisation statistics and biases (a fresh darknet network has zero
    // variances, which would blow every activation up) and scales the last weighted layer by
    // classifierScale so that scores are not saturated.
    void randomise(unsigned seed, float classifierScale);
    bool save(const QString& weightsPath);

    // darknet's classifier prediction of an 8-bit BGR picture: RGB, 0..1, darknet's resize to
    // the network size, network_predict.
    std::vector<float> predict(const cv::Mat& bgr);

    // Trains on 8-bit BGR pictures of the network size, one pass over them per epoch in a
    // shuffled order, with the given learning rate and no burn-in. Returns the last loss.
    float train(const std::vector<cv::Mat>& images, const std::vector<int>& labels, int epochs, float learningRate,
                unsigned seed);

private:
    ::network* net = nullptr;
};

// libdarknet's resize_image of one float plane.
cv::Mat resizePlane(const cv::Mat& plane, int width, int height);

} // namespace darknetref
