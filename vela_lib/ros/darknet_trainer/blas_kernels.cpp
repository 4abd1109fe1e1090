#include "kernel_threads.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

// Batch-normalisation statistics and the plain fill and copy of libdarknet, in place of the
// library's (its calls go through the PLT). The library keeps every running sum in memory and
// widens each element to double; these keep sums in registers and work row by row of one
// channel, which the compiler vectorises, with the channels (or rows) shared out among the
// cores. Same formulas; sums differ only in rounding.

namespace {

// The sum of term(k) over a row of n values, in eight lanes (which the compiler vectorises).
template <typename Term>
inline float rowSumOf(int n, Term term)
{
    float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int k = 0;
    for (; k + 8 <= n; k += 8)
        for (int l = 0; l < 8; ++l)
            lane[l] += term(k + l);
    float sum = 0;
    for (; k < n; ++k)
        sum += term(k);
    for (float v : lane)
        sum += v;
    return sum;
}

inline float rowSum(const float* x, int n)
{
    return rowSumOf(n, [x](int k) { return x[k]; });
}

inline float rowSquaredDeviation(const float* x, float mean, int n)
{
    return rowSumOf(n, [x, mean](int k) { return (x[k] - mean) * (x[k] - mean); });
}

inline float rowDotDeviation(const float* delta, const float* x, float mean, int n)
{
    return rowSumOf(n, [delta, x, mean](int k) { return delta[k] * (x[k] - mean); });
}

inline size_t at(int b, int f, int filters, int spatial) { return (size_t(b) * filters + f) * size_t(spatial); }

// Values per thread below which a split costs more than it saves.
constexpr size_t kGrain = 1 << 16;

// op(f) for every filter, whose values are batch x spatial, on all cores.
template <typename Op>
void forEachFilter(int filters, int batch, int spatial, Op op)
{
    const size_t perFilter = std::max<size_t>(1, size_t(batch) * size_t(spatial));
    KernelThreads::forRange(size_t(filters), std::max<size_t>(1, kGrain / perFilter), [&](size_t begin, size_t end) {
        for (size_t f = begin; f < end; ++f)
            op(int(f));
    });
}

// op(b, f) for every row of spatial values, on all cores.
template <typename Op>
void forEachRow(int batch, int filters, int spatial, Op op)
{
    const size_t rows = size_t(batch) * size_t(filters);
    KernelThreads::forRange(rows, std::max<size_t>(1, kGrain / std::max(1, spatial)), [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r)
            op(int(r / size_t(filters)), int(r % size_t(filters)));
    });
}

} // namespace

extern "C" {

void mean_cpu(float* x, int batch, int filters, int spatial, float* mean)
{
    const float scale = float(1. / (batch * spatial));
    forEachFilter(filters, batch, spatial, [&](int f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b)
            sum += rowSum(x + at(b, f, filters, spatial), spatial);
        mean[f] = sum * scale;
    });
}

void variance_cpu(float* x, float* mean, int batch, int filters, int spatial, float* variance)
{
    const float scale = float(1. / (batch * spatial - 1));
    forEachFilter(filters, batch, spatial, [&](int f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b)
            sum += rowSquaredDeviation(x + at(b, f, filters, spatial), mean[f], spatial);
        variance[f] = sum * scale;
    });
}

void normalize_cpu(float* x, float* mean, float* variance, int batch, int filters, int spatial)
{
    forEachRow(batch, filters, spatial, [&](int b, int f) {
        float* row = x + at(b, f, filters, spatial);
        const float m = mean[f];
        const float d = float(std::sqrt(variance[f]) + .000001f);
        for (int k = 0; k < spatial; ++k)
            row[k] = (row[k] - m) / d;
    });
}

void mean_delta_cpu(float* delta, float* variance, int batch, int filters, int spatial, float* mean_delta)
{
    forEachFilter(filters, batch, spatial, [&](int f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b)
            sum += rowSum(delta + at(b, f, filters, spatial), spatial);
        mean_delta[f] = float(sum * (-1. / std::sqrt(variance[f] + .00001f)));
    });
}

void variance_delta_cpu(float* x, float* delta, float* mean, float* variance, int batch, int filters, int spatial,
                        float* variance_delta)
{
    forEachFilter(filters, batch, spatial, [&](int f) {
        float sum = 0;
        for (int b = 0; b < batch; ++b) {
            const size_t row = at(b, f, filters, spatial);
            sum += rowDotDeviation(delta + row, x + row, mean[f], spatial);
        }
        variance_delta[f] = float(sum * (-.5 * std::pow(variance[f] + .00001f, float(-3. / 2.))));
    });
}

void normalize_delta_cpu(float* x, float* mean, float* variance, float* mean_delta, float* variance_delta, int batch,
                         int filters, int spatial, float* delta)
{
    const double count = double(spatial) * batch;
    forEachRow(batch, filters, spatial, [&](int b, int f) {
        const size_t row = at(b, f, filters, spatial);
        const float scale = float(1. / std::sqrt(variance[f] + .00001f));
        const float slope = float(variance_delta[f] * 2. / count);
        const float shift = float(mean_delta[f] / count);
        const float m = mean[f];
        float* d = delta + row;
        const float* xs = x + row;
        for (int k = 0; k < spatial; ++k)
            d[k] = d[k] * scale + slope * (xs[k] - m) + shift;
    });
}

void copy_cpu(int N, float* X, int INCX, float* Y, int INCY)
{
    if (INCX == 1 && INCY == 1) {
        if (N <= 0)
            return;
        // Overlapping ranges are moved whole, as memmove must see them.
        const bool overlap = X < Y + N && Y < X + N;
        if (overlap)
            std::memmove(Y, X, sizeof(float) * size_t(N));
        else
            KernelThreads::forRange(size_t(N), kGrain, [&](size_t begin, size_t end) {
                std::memcpy(Y + begin, X + begin, sizeof(float) * (end - begin));
            });
        return;
    }
    for (int i = 0; i < N; ++i)
        Y[size_t(i) * INCY] = X[size_t(i) * INCX];
}

void fill_cpu(int N, float ALPHA, float* X, int INCX)
{
    if (INCX == 1) {
        if (N > 0)
            KernelThreads::forRange(size_t(N), kGrain,
                                    [&](size_t begin, size_t end) { std::fill(X + begin, X + end, ALPHA); });
        return;
    }
    for (int i = 0; i < N; ++i)
        X[size_t(i) * INCX] = ALPHA;
}

} // extern "C"
