#include "kernel_threads.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

// libdarknet unrolls image patches for its convolutions pixel by pixel, through a function
// call per pixel. These definitions in the executable take the place of the library's (its
// calls go through the PLT) and copy whole rows instead, with the same results: the same
// values for im2col, and the same additions in the same order for col2im. Each image channel
// has its own rows, so the channels are shared out among the cores.

namespace {

// For kernel column offset xOffset, the output columns w whose image column
// xOffset + w * stride - pad lies inside [0, width): [*first, *last).
void insideColumns(int xOffset, int stride, int pad, int width, int widthCol, int* first, int* last)
{
    const int column0 = xOffset - pad;
    // A padding wider than the image can leave no column inside it at all.
    *first = std::min(widthCol, column0 < 0 ? (-column0 + stride - 1) / stride : 0);
    const int end = width - column0 > 0 ? (width - column0 + stride - 1) / stride : 0;
    *last = std::max(*first, std::min(widthCol, end));
    *first = std::min(*first, *last);
}

// The rows of the unrolled matrix that kernel row c gives.
template <typename Inside, typename Outside>
void patchRowsOf(int c, int height, int width, int ksize, int stride, int pad, int heightCol, int widthCol, Inside& row,
                 Outside& outside)
{
    const int xOffset = c % ksize;
    const int yOffset = (c / ksize) % ksize;
    const size_t plane = size_t(c / ksize / ksize) * height * width;
    int first, last;
    insideColumns(xOffset, stride, pad, width, widthCol, &first, &last);
    for (int h = 0; h < heightCol; ++h) {
        const size_t colRow = (size_t(c) * heightCol + h) * widthCol;
        const int imageRow = yOffset + h * stride - pad;
        if (imageRow < 0 || imageRow >= height) {
            outside(colRow, widthCol);
            continue;
        }
        row(plane, colRow, long(imageRow) * width + xOffset - pad, first, last, widthCol);
    }
}

// Values per thread below which a split costs more than it saves.
constexpr size_t kGrain = 1 << 16;

// Calls row(plane, colRow, base, first, last, widthCol) for every row of the unrolled matrix
// whose image row lies inside the picture, and outside(colRow, widthCol) for the others: plane
// is the offset of the row's image channel, colRow the row's offset, and image index
// base + w * stride belongs to output column w for first <= w < last. The image channels are
// shared out among the cores; each one's rows come in order.
template <typename Inside, typename Outside>
void forEachPatchRow(int channels, int height, int width, int ksize, int stride, int pad, Inside row,
                     Outside outside)
{
    const int heightCol = (height + 2 * pad - ksize) / stride + 1;
    const int widthCol = (width + 2 * pad - ksize) / stride + 1;
    const size_t perChannel = std::max<size_t>(1, size_t(ksize) * ksize * heightCol * widthCol);
    KernelThreads::forRange(size_t(channels), std::max<size_t>(1, kGrain / perChannel), [&](size_t begin, size_t end) {
        for (int c = int(begin) * ksize * ksize; c < int(end) * ksize * ksize; ++c)
            patchRowsOf(c, height, width, ksize, stride, pad, heightCol, widthCol, row, outside);
    });
}

} // namespace

extern "C" void im2col_cpu(float* data_im, int channels, int height, int width, int ksize, int stride, int pad,
                           float* data_col)
{
    forEachPatchRow(
        channels, height, width, ksize, stride, pad,
        [&](size_t plane, size_t colRow, long base, int first, int last, int widthCol) {
            const float* in = data_im + plane;
            float* out = data_col + colRow;
            std::fill(out, out + first, 0.0f);
            if (stride == 1 && last > first)
                std::memcpy(out + first, in + base + first, sizeof(float) * size_t(last - first));
            else
                for (int w = first; w < last; ++w)
                    out[w] = in[base + long(w) * stride];
            std::fill(out + last, out + widthCol, 0.0f);
        },
        [&](size_t colRow, int widthCol) { std::fill(data_col + colRow, data_col + colRow + widthCol, 0.0f); });
}

extern "C" void col2im_cpu(float* data_col, int channels, int height, int width, int ksize, int stride, int pad,
                           float* data_im)
{
    forEachPatchRow(
        channels, height, width, ksize, stride, pad,
        [&](size_t plane, size_t colRow, long base, int first, int last, int) {
            float* out = data_im + plane;
            const float* in = data_col + colRow;
            for (int w = first; w < last; ++w)
                out[base + long(w) * stride] += in[w];
        },
        [](size_t, int) {});
}
