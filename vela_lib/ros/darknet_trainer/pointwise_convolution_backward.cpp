#include "pointwise_convolution_backward.h"

// libdarknet's own steps of a convolutional layer's backward pass; its header does not declare them.
extern "C" {
void gradient_array(const float* x, const int n, const ACTIVATION a, float* delta);
void backward_batchnorm_layer(layer l, network net);
void backward_bias(float* bias_updates, float* delta, int batch, int n, int size);
void gemm(int TA, int TB, int M, int N, int K, float ALPHA, float* A, int lda, float* B, int ldb, float BETA, float* C,
          int ldc);
}

namespace {

// libdarknet's backward pass of a 1 x 1 convolution, step for step, except that the input's
// gradient is added to the previous layer's delta (the product's BETA is 1, not 0).
void backwardAddingInputDelta(layer l, network net)
{
    const int filters = l.n / l.groups;
    const int channels = l.c / l.groups;
    const int pixels = l.out_w * l.out_h;
    gradient_array(l.output, l.outputs * l.batch, l.activation, l.delta);
    if (l.batch_normalize)
        backward_batchnorm_layer(l, net);
    else
        backward_bias(l.bias_updates, l.delta, l.batch, l.n, pixels);

    for (int i = 0; i < l.batch; ++i) {
        for (int j = 0; j < l.groups; ++j) {
            float* delta = l.delta + (i * l.groups + j) * filters * pixels;
            const int inputAt = (i * l.groups + j) * channels * l.h * l.w;
            float* weights = l.weights + j * l.nweights / l.groups;
            gemm(0, 1, filters, channels, pixels, 1, delta, pixels, net.input + inputAt, pixels, 1,
                 l.weight_updates + j * l.nweights / l.groups, channels);
            if (net.delta)
                gemm(1, 0, channels, pixels, filters, 1, weights, channels, delta, pixels, 1, net.delta + inputAt,
                     pixels);
        }
    }
}

} // namespace

void PointwiseConvolutionBackward::install(layer* l)
{
    l->backward = backwardAddingInputDelta;
}
