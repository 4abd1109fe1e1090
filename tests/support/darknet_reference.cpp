#include "darknet_reference.h"

#include <darknet.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>

namespace darknetref {

namespace {

// libdarknet describes every layer it parses and every file it writes on stderr; the tests'
// own output stays readable without it.
class QuietStderr
{
public:
    QuietStderr()
    {
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
    ~QuietStderr()
    {
        std::fflush(stderr);
        if (saved >= 0) {
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
    }

private:
    int saved = -1;
};

// An 8-bit BGR picture as darknet's planar RGB 0..1 image.
image toImage(const cv::Mat& bgr)
{
    image im = make_image(bgr.cols, bgr.rows, 3);
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < bgr.rows; ++y)
            for (int x = 0; x < bgr.cols; ++x)
                im.data[(c * bgr.rows + y) * bgr.cols + x] = bgr.at<cv::Vec3b>(y, x)[2 - c] / 255.f;
    return im;
}

bool hasWeights(const layer& l) { return l.type == CONVOLUTIONAL || l.type == CONNECTED; }

} // namespace

ReferenceNetwork::ReferenceNetwork(const QString& cfgPath, const QString& weightsPath)
{
    const QuietStderr quiet;
    QByteArray cfg = cfgPath.toLocal8Bit();
    net = parse_network_cfg(cfg.data());
    if (net && !weightsPath.isEmpty()) {
        QByteArray weights = weightsPath.toLocal8Bit();
        load_weights(net, weights.data());
    }
}

ReferenceNetwork::~ReferenceNetwork()
{
    if (net)
        free_network(net);
}

int ReferenceNetwork::width() const { return net ? net->w : 0; }
int ReferenceNetwork::height() const { return net ? net->h : 0; }

void ReferenceNetwork::randomise(unsigned seed, float classifierScale)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.f, 1.f);
    int last = -1;
    for (int i = 0; i < net->n; ++i)
        if (hasWeights(net->layers[i]))
            last = i;
    for (int i = 0; i < net->n; ++i) {
        layer& l = net->layers[i];
        if (!hasWeights(l))
            continue;
        const int units = l.type == CONVOLUTIONAL ? l.n : l.outputs;
        for (int k = 0; k < units; ++k)
            l.biases[k] = unit(rng) * 0.2f - 0.1f;
        if (l.batch_normalize) {
            for (int k = 0; k < units; ++k) {
                l.rolling_mean[k] = unit(rng) * 0.2f - 0.1f;
                l.rolling_variance[k] = 0.5f + unit(rng);
                l.scales[k] = 0.5f + unit(rng);
            }
        }
        if (i == last) {
            const long count = l.type == CONVOLUTIONAL ? long(l.nweights) : long(l.inputs) * l.outputs;
            for (long k = 0; k < count; ++k)
                l.weights[k] *= classifierScale;
        }
    }
}

bool ReferenceNetwork::save(const QString& weightsPath)
{
    if (!net)
        return false;
    const QuietStderr quiet;
    QByteArray path = weightsPath.toLocal8Bit();
    save_weights(net, path.data());
    return true;
}

std::vector<float> ReferenceNetwork::predict(const cv::Mat& bgr)
{
    image im = toImage(bgr);
    image sized = resize_image(im, net->w, net->h);
    const float* out = network_predict(net, sized.data);
    std::vector<float> scores(out, out + net->outputs);
    free_image(sized);
    free_image(im);
    return scores;
}

float ReferenceNetwork::train(const std::vector<cv::Mat>& images, const std::vector<int>& labels, int epochs,
                              float learningRate, unsigned seed)
{
    const int batch = net->batch;
    const int classes = net->outputs;
    const int rows = int(images.size()) / batch * batch;
    const int columns = net->w * net->h * 3;
    net->learning_rate = learningRate;
    net->burn_in = 0;
    srand(seed);
    std::mt19937 rng(seed);
    std::vector<int> order(images.size());
    std::iota(order.begin(), order.end(), 0);

    data d{};
    d.X = make_matrix(rows, columns);
    d.y = make_matrix(rows, classes);
    float loss = 0;
    for (int epoch = 0; epoch < epochs; ++epoch) {
        std::shuffle(order.begin(), order.end(), rng);
        for (int r = 0; r < rows; ++r) {
            image im = toImage(images[order[r]]);
            std::copy(im.data, im.data + columns, d.X.vals[r]);
            free_image(im);
            std::fill(d.y.vals[r], d.y.vals[r] + classes, 0.f);
            d.y.vals[r][labels[order[r]]] = 1.f;
        }
        loss = train_network(net, d);
    }
    free_matrix(d.X);
    free_matrix(d.y);
    return loss;
}

cv::Mat resizePlane(const cv::Mat& plane, int width, int height)
{
    image im = make_image(plane.cols, plane.rows, 1);
    for (int y = 0; y < plane.rows; ++y)
        std::copy(plane.ptr<float>(y), plane.ptr<float>(y) + plane.cols, im.data + y * plane.cols);
    image sized = resize_image(im, width, height);
    cv::Mat out(height, width, CV_32F);
    std::copy(sized.data, sized.data + width * height, out.ptr<float>());
    free_image(sized);
    free_image(im);
    return out;
}

} // namespace darknetref
