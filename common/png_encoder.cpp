#include "png_encoder.h"

#include "rle_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Strips shorter than this cost more in joins and thread hand-overs than they save.
constexpr int kMinStripRows = 48;
// Strips per thread: a core that another program holds leaves its strips to the others.
constexpr int kStripsPerThread = 4;

void appendBigEndian(std::vector<uchar>& out, uint32_t value)
{
    const uchar bytes[4] = {uchar(value >> 24), uchar(value >> 16), uchar(value >> 8), uchar(value)};
    out.insert(out.end(), bytes, bytes + 4);
}

void appendChunk(std::vector<uchar>& out, const char type[4], const uchar* data, size_t size)
{
    appendBigEndian(out, uint32_t(size));
    const size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), out.data() + typeAt, uInt(4 + size));
    appendBigEndian(out, uint32_t(crc));
}

// One row as PNG stores it: the filter type, then each byte less the one a pixel to its left,
// the channels in RGB(A) order.
void filterRow(const uchar* row, int width, int channels, uchar* out)
{
    out[0] = 1; // the "Sub" filter
    uchar* bytes = out + 1;
    for (int x = 0; x < width; ++x) {
        const uchar* pixel = row + size_t(x) * channels;
        uchar* to = bytes + size_t(x) * channels;
        if (channels == 1) {
            to[0] = pixel[0];
        } else {
            to[0] = pixel[2];
            to[1] = pixel[1];
            to[2] = pixel[0];
            if (channels == 4)
                to[3] = pixel[3];
        }
    }
    for (size_t i = size_t(width) * channels; i-- > size_t(channels);)
        bytes[i] = uchar(bytes[i] - bytes[i - size_t(channels)]);
}

// One strip of rows filtered and deflated; the last strip ends the stream, the others end on
// a byte boundary so that the next strip's blocks follow them directly.
struct Strip
{
    int firstRow = 0, rows = 0;
    bool last = false;
    std::vector<uchar> deflated;
    uLong adler = 0, filteredBytes = 0;
};

void compressStrip(const cv::Mat& image, Strip& strip)
{
    const int channels = image.channels();
    const size_t rowBytes = 1 + size_t(image.cols) * channels;
    std::vector<uchar> filtered(rowBytes * size_t(strip.rows));
    for (int r = 0; r < strip.rows; ++r)
        filterRow(image.ptr<uchar>(strip.firstRow + r), image.cols, channels, filtered.data() + rowBytes * r);
    strip.filteredBytes = uLong(filtered.size());
    strip.adler = adler32(adler32(0L, Z_NULL, 0), filtered.data(), uInt(filtered.size()));

    RleDeflate::compress(filtered.data(), filtered.size(), strip.last, strip.deflated);
}

std::vector<Strip> stripsOf(int rows)
{
    const int count = std::max(1, std::min(cv::getNumThreads() * kStripsPerThread, rows / kMinStripRows));
    std::vector<Strip> strips(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        strips[size_t(i)].firstRow = rows * i / count;
        strips[size_t(i)].rows = rows * (i + 1) / count - strips[size_t(i)].firstRow;
    }
    strips.back().last = true;
    return strips;
}

} // namespace

bool PngEncoder::handles(const cv::Mat& image)
{
    const int channels = image.channels();
    // zlib counts a strip's bytes in 32 bits, and a PNG chunk holds less than 2 GiB.
    const bool fitsOneChunk = double(image.total()) * (channels + 1) < double(1 << 30);
    return !image.empty() && image.dims == 2 && image.depth() == CV_8U &&
           (channels == 1 || channels == 3 || channels == 4) && fitsOneChunk;
}

bool PngEncoder::encode(const cv::Mat& image, std::vector<uchar>& png)
{
    if (!handles(image))
        return false;
    std::vector<Strip> strips = stripsOf(image.rows);
    cv::parallel_for_(cv::Range(0, int(strips.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i)
            compressStrip(image, strips[size_t(i)]);
    });

    // zlib's header for the fastest level and a 32 KiB window, the strips, the whole data's sum.
    std::vector<uchar> stream = {0x78, 0x01};
    uLong adler = adler32(0L, Z_NULL, 0);
    for (const Strip& strip : strips) {
        stream.insert(stream.end(), strip.deflated.begin(), strip.deflated.end());
        adler = adler32_combine(adler, strip.adler, z_off_t(strip.filteredBytes));
    }
    appendBigEndian(stream, uint32_t(adler));

    static const uchar kColourType[5] = {0, 0, 0, 2, 6}; // by channel count: grey, RGB, RGBA
    std::vector<uchar> header;
    appendBigEndian(header, uint32_t(image.cols));
    appendBigEndian(header, uint32_t(image.rows));
    header.insert(header.end(), {8, kColourType[image.channels()], 0, 0, 0});

    static const uchar kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.assign(kSignature, kSignature + 8);
    appendChunk(png, "IHDR", header.data(), header.size());
    appendChunk(png, "IDAT", stream.data(), stream.size());
    appendChunk(png, "IEND", nullptr, 0);
    return true;
}
