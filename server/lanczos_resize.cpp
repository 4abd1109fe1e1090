#include "lanczos_resize.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kTaps = 8;
constexpr int kCoefficientBits = 11; // fixed-point weights, scaled by 2^11 as OpenCV's are
constexpr int kSumBits = 2 * kCoefficientBits;

// The Lanczos window of width 8 at the fraction x, normalised, in the order of OpenCV's
// arithmetic (double sines, float sum), so that the rounded weights come out the same.
void lanczosWeights(float x, float* weights)
{
    static const double s45 = 0.70710678118654752440084436210485;
    static const double cs[kTaps][2] = {{1, 0},  {-s45, -s45}, {0, 1},  {s45, -s45},
                                        {-1, 0}, {s45, s45},   {0, -1}, {-s45, s45}};
    const double y0 = -(x + 3) * CV_PI * 0.25, s0 = std::sin(y0), c0 = std::cos(y0);
    float sum = 0;
    for (int i = 0; i < kTaps; ++i) {
        const float distance = x + 3 - float(i);
        if (std::fabs(distance) >= 1e-6f) {
            const double y = -distance * CV_PI * 0.25;
            weights[i] = float((cs[i][0] * s0 + cs[i][1] * c0) / (y * y));
        } else {
            weights[i] = 1e30f; // the tap the sample sits on takes all the weight
        }
        sum += weights[i];
    }
    sum = 1.f / sum;
    for (int i = 0; i < kTaps; ++i)
        weights[i] *= sum;
}

// For each output position along one axis: its first source position (before clamping to
// the edge) and its eight fixed-point weights.
struct AxisTaps
{
    std::vector<int> first;
    std::vector<short> weights;

    AxisTaps(int sourceLength, int length) : first(size_t(length)), weights(size_t(length) * kTaps)
    {
        const double scale = 1. / (double(length) / sourceLength);
        for (int d = 0; d < length; ++d) {
            float position = float((d + 0.5) * scale - 0.5);
            const int start = cvFloor(position);
            position -= float(start);
            float w[kTaps];
            lanczosWeights(position, w);
            first[size_t(d)] = start - (kTaps / 2 - 1);
            for (int k = 0; k < kTaps; ++k)
                weights[size_t(d) * kTaps + k] = cv::saturate_cast<short>(w[k] * (1 << kCoefficientBits));
        }
    }

    static int clamped(int position, int length) { return std::min(std::max(position, 0), length - 1); }
};

void horizontalRow(const uchar* source, int sourceWidth, int channels, const AxisTaps& taps, int* out)
{
    const int width = int(taps.first.size());
    for (int dx = 0; dx < width; ++dx) {
        const short* w = &taps.weights[size_t(dx) * kTaps];
        for (int c = 0; c < channels; ++c) {
            int sum = 0;
            for (int k = 0; k < kTaps; ++k)
                sum += source[AxisTaps::clamped(taps.first[size_t(dx)] + k, sourceWidth) * channels + c] * w[k];
            out[dx * channels + c] = sum;
        }
    }
}

// One output row from the eight horizontally scaled rows it draws on.
__attribute__((target_clones("avx2", "default"))) void verticalRow(const int* const* rows, const short* w,
                                                                    int width, uchar* out)
{
    const int w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], w4 = w[4], w5 = w[5], w6 = w[6], w7 = w[7];
    const int *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    const int *r4 = rows[4], *r5 = rows[5], *r6 = rows[6], *r7 = rows[7];
    for (int x = 0; x < width; ++x) {
        const int sum = r0[x] * w0 + r1[x] * w1 + r2[x] * w2 + r3[x] * w3 + r4[x] * w4 + r5[x] * w5 + r6[x] * w6 +
                        r7[x] * w7;
        out[x] = uchar(std::min(255, std::max(0, (sum + (1 << (kSumBits - 1))) >> kSumBits)));
    }
}

} // namespace

cv::Mat LanczosResize::resize(const cv::Mat& source, const cv::Size& size)
{
    if (source.depth() != CV_8U || source.empty() || size.empty()) {
        cv::Mat resized;
        cv::resize(source, resized, size, 0, 0, cv::INTER_LANCZOS4);
        return resized;
    }
    const int channels = source.channels();
    const AxisTaps across(source.cols, size.width), down(source.rows, size.height);
    const int rowLength = size.width * channels;

    // Each source row an output row draws on, scaled across once.
    std::vector<int> used;
    for (int dy = 0; dy < size.height; ++dy)
        for (int k = 0; k < kTaps; ++k)
            used.push_back(AxisTaps::clamped(down.first[size_t(dy)] + k, source.rows));
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    std::vector<int> slot(size_t(source.rows), -1);
    for (size_t i = 0; i < used.size(); ++i)
        slot[size_t(used[i])] = int(i);
    std::vector<int> scaledRows(used.size() * size_t(rowLength));
    cv::parallel_for_(cv::Range(0, int(used.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i)
            horizontalRow(source.ptr<uchar>(used[size_t(i)]), source.cols, channels, across,
                          &scaledRows[size_t(i) * size_t(rowLength)]);
    });

    cv::Mat resized(size, source.type());
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int dy = range.start; dy < range.end; ++dy) {
            const int* rows[kTaps];
            for (int k = 0; k < kTaps; ++k) {
                const int row = AxisTaps::clamped(down.first[size_t(dy)] + k, source.rows);
                rows[k] = &scaledRows[size_t(slot[size_t(row)]) * size_t(rowLength)];
            }
            verticalRow(rows, &down.weights[size_t(dy) * kTaps], rowLength, resized.ptr<uchar>(dy));
        }
    });
    return resized;
}
