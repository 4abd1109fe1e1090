#include "augmentation_transforms.h"

#include <QtGlobal>

#include <opencv2/imgproc.hpp>

namespace {

// The border colours come from Qt's per-thread generator, which generation seeds with the time
// (and tests with a fixed value) through qsrand(); QRandomGenerator has no such shared seed.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
int nextQtRandom() { return qrand(); }
void reseedQtRandom(uint seed) { qsrand(seed); }
QT_WARNING_POP

// flag 1 flips about OpenCV's axis code; any other flag returns src itself.
cv::Mat flipped(const cv::Mat& src, int flag, int axis)
{
    if (flag != 1)
        return src;
    cv::Mat out;
    cv::flip(src, out, axis);
    return out;
}

} // namespace

void AugmentationTransforms::seedRotationColours(unsigned seed) { reseedQtRandom(seed); }

cv::Mat AugmentationTransforms::rotation(const cv::Mat& src, double angle)
{
    reseedQtRandom(uint(nextQtRandom()));
    // Integer halves of the size, as the border shift below uses them too.
    const int halfCols = src.cols / 2;
    const int halfRows = src.rows / 2;
    const cv::Point2f centre{float(halfCols), float(halfRows)};
    cv::Mat matrix = cv::getRotationMatrix2D(centre, angle, 1.0);
    // OpenCV's integer bounding rectangle is one pixel wider and taller than the exact extent,
    // so even 0 degrees grows the image by one pixel each way.
    const cv::Rect bounds = cv::RotatedRect(centre, cv::Size2f(float(src.cols), float(src.rows)), float(angle))
                                .boundingRect();
    matrix.at<double>(0, 2) += bounds.width / 2.0 - halfCols;
    matrix.at<double>(1, 2) += bounds.height / 2.0 - halfRows;
    // Modulo 255: each channel is 0..254.
    const int red = nextQtRandom() % 255;
    const int green = nextQtRandom() % 255;
    const int blue = nextQtRandom() % 255;
    cv::Mat out;
    // warpAffine writes a new image, so src needs no copy of its own.
    cv::warpAffine(src, out, matrix, bounds.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(blue, green, red));
    return out;
}

cv::Mat AugmentationTransforms::contrast(const cv::Mat& src, double gain)
{
    cv::Mat out;
    src.convertTo(out, -1, gain, 0.0);
    return out;
}

cv::Mat AugmentationTransforms::flipHorizontal(const cv::Mat& src, int flag) { return flipped(src, flag, 1); }

cv::Mat AugmentationTransforms::flipVertical(const cv::Mat& src, int flag) { return flipped(src, flag, 0); }

cv::Mat AugmentationTransforms::noise(const cv::Mat& src, double sigma)
{
    if (sigma == 0.0 || src.empty())
        return src.clone();

    if (src.depth() == CV_8U) {
        // Signed 16-bit noise added to the pixels and saturated back to 8 bits. The noise buffer
        // is kept per thread: a fresh one for every call of a generation run costs more in page
        // faults than the addition itself.
        thread_local cv::Mat gaussian;
        gaussian.create(src.size(), CV_MAKETYPE(CV_16S, src.channels()));
        cv::randn(gaussian, cv::Scalar::all(0.0), cv::Scalar::all(sigma));
        cv::Mat out(src.size(), src.type());
        const int values = src.cols * src.channels();
        for (int y = 0; y < src.rows; ++y) {
            const uchar* pixel = src.ptr<uchar>(y);
            const short* offset = gaussian.ptr<short>(y);
            uchar* result = out.ptr<uchar>(y);
            // The same as widening to 16 bits, adding with saturation and narrowing again.
            for (int i = 0; i < values; ++i)
                result[i] = cv::saturate_cast<uchar>(cv::saturate_cast<short>(int(pixel[i]) + int(offset[i])));
        }
        return out;
    }

    // Deeper pixels: the same in floating point.
    const int workType = CV_MAKETYPE(src.depth() == CV_64F ? CV_64F : CV_32F, src.channels());
    cv::Mat gaussian(src.size(), workType);
    cv::randn(gaussian, cv::Scalar::all(0.0), cv::Scalar::all(sigma));
    cv::Mat sum;
    src.convertTo(sum, workType);
    sum += gaussian;
    cv::Mat out;
    sum.convertTo(out, src.type());
    return out;
}

cv::Mat AugmentationTransforms::blur(const cv::Mat& src, int kernel)
{
    if (kernel <= 1)
        return src.clone();
    if (kernel % 2 == 0)
        ++kernel;
    cv::Mat out;
    cv::GaussianBlur(src, out, cv::Size(kernel, kernel), 0.0, 0.0);
    return out;
}

cv::Mat AugmentationTransforms::scaled(const cv::Mat& src)
{
    cv::Mat out;
    cv::resize(src, out, cv::Size(kScaledSide, kScaledSide), 0.0, 0.0, cv::INTER_LINEAR);
    return out;
}

namespace {

// Scale and shift that map a depth's usual range onto 0..255.
void eightBitMapping(int depth, double& scale, double& shift)
{
    shift = 0.0;
    switch (depth) {
    case CV_8S: scale = 1.0; shift = 128.0; break;
    case CV_16U: scale = 255.0 / 65535.0; break;
    case CV_16S: scale = 255.0 / 65535.0; shift = 128.0; break;
    case CV_32S: scale = 255.0 / 4294967295.0; shift = 128.0; break;
    default: scale = 255.0; break; // floating point: 0..1
    }
}

} // namespace

cv::Mat AugmentationTransforms::toBgr8(const cv::Mat& src)
{
    if (src.empty() || src.type() == CV_8UC3)
        return src;

    cv::Mat eightBit = src;
    if (src.depth() != CV_8U) {
        cv::Mat source = src;
        if (src.depth() == CV_16F)
            src.convertTo(source, CV_32F);
        double scale = 1.0;
        double shift = 0.0;
        eightBitMapping(source.depth(), scale, shift);
        source.convertTo(eightBit, CV_8U, scale, shift);
    }

    cv::Mat out;
    switch (eightBit.channels()) {
    case 3: out = eightBit; break;
    case 4: cv::cvtColor(eightBit, out, cv::COLOR_BGRA2BGR); break;
    case 1: cv::cvtColor(eightBit, out, cv::COLOR_GRAY2BGR); break;
    default: {
        // Two or more than four channels: no colour meaning is known, show the first as grey.
        cv::Mat first;
        cv::extractChannel(eightBit, first, 0);
        cv::cvtColor(first, out, cv::COLOR_GRAY2BGR);
        break;
    }
    }
    return out;
}
