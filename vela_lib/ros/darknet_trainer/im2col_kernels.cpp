#include <algorithm>
#include <cstddef>
#include <cstring>

// libdarknet unrolls image patches for its convolutions pixel by pixel, through a function
// call per pixel. These definitions in the executable take the place of the library's (its
// calls go through the PLT) and copy whole rows instead, with the same results: the same
// values for im2col, and the same additions in the same order for col2im.

namespace {

// For kernel column offset xOffset, the output columns w whose image column
// xOffset + w * stride - pad lies inside [0, width): [*first, *last).
void insideColumns(int xOffset, int stride, int pad, int width, int widthCol, int* first, int* last)
{
    const int column0 = xOffset - pad;
    *first = column0 < 0 ? (-column0 + stride - 1) / stride : 0;
    const int end = width - column0 > 0 ? (width - column0 + stride - 1) / stride : 0;
    *last = std::max(*first, std::min(widthCol, end));
    *first = std::min(*first, *last);
}

} // namespace

extern "C" void im2col_cpu(float* data_im, int channels, int height, int width, int ksize, int stride, int pad,
                           float* data_col)
{
    const int heightCol = (height + 2 * pad - ksize) / stride + 1;
    const int widthCol = (width + 2 * pad - ksize) / stride + 1;
    const int channelsCol = channels * ksize * ksize;
    for (int c = 0; c < channelsCol; ++c) {
        const int xOffset = c % ksize;
        const int yOffset = (c / ksize) % ksize;
        const float* plane = data_im + size_t(c / ksize / ksize) * height * width;
        int first, last;
        insideColumns(xOffset, stride, pad, width, widthCol, &first, &last);
        for (int h = 0; h < heightCol; ++h) {
            float* out = data_col + (size_t(c) * heightCol + h) * widthCol;
            const int row = yOffset + h * stride - pad;
            if (row < 0 || row >= height) {
                std::fill(out, out + widthCol, 0.0f);
                continue;
            }
            // Image index of output column w: base + w * stride (inside the row for first <= w < last).
            const long base = long(row) * width + xOffset - pad;
            std::fill(out, out + first, 0.0f);
            if (stride == 1 && last > first)
                std::memcpy(out + first, plane + base + first, sizeof(float) * size_t(last - first));
            else
                for (int w = first; w < last; ++w)
                    out[w] = plane[base + long(w) * stride];
            std::fill(out + last, out + widthCol, 0.0f);
        }
    }
}

extern "C" void col2im_cpu(float* data_col, int channels, int height, int width, int ksize, int stride, int pad,
                           float* data_im)
{
    const int heightCol = (height + 2 * pad - ksize) / stride + 1;
    const int widthCol = (width + 2 * pad - ksize) / stride + 1;
    const int channelsCol = channels * ksize * ksize;
    for (int c = 0; c < channelsCol; ++c) {
        const int xOffset = c % ksize;
        const int yOffset = (c / ksize) % ksize;
        float* plane = data_im + size_t(c / ksize / ksize) * height * width;
        int first, last;
        insideColumns(xOffset, stride, pad, width, widthCol, &first, &last);
        for (int h = 0; h < heightCol; ++h) {
            const int row = yOffset + h * stride - pad;
            if (row < 0 || row >= height)
                continue;
            const float* in = data_col + (size_t(c) * heightCol + h) * widthCol;
            const long base = long(row) * width + xOffset - pad;
            for (int w = first; w < last; ++w)
                plane[base + long(w) * stride] += in[w];
        }
    }
}
