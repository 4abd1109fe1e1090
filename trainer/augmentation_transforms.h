#pragma once

#include <opencv2/core.hpp>

// The image transforms of augmentation. None changes its input; each returns a new image except
// the mirrors with a flag other than 1, which return the input itself (sharing its pixels).
// Pure functions of their arguments apart from the random generators they draw from (Qt's and
// OpenCV's, both per thread), so worker threads may call them.
class AugmentationTransforms
{
public:
    // Side of the square every variant is scaled to before it is rotated.
    static constexpr int kScaledSide = 608;

    // Rotates by angle degrees (counter-clockwise) about the integer centre into the bounding
    // rectangle of the rotated image; the uncovered corners get a random colour (each channel
    // 0..254, drawn with qrand() after reseeding it with its own next value).
    static cv::Mat rotation(const cv::Mat& src, double angle);
    // Seeds the calling thread's generator that rotation() draws its corner colours from.
    static void seedRotationColours(unsigned seed);
    // Every channel value times gain, rounded and saturated.
    static cv::Mat contrast(const cv::Mat& src, double gain);
    // flag 1 mirrors left to right; any other flag returns src itself.
    static cv::Mat flipHorizontal(const cv::Mat& src, int flag);
    // flag 1 turns upside down; any other flag returns src itself.
    static cv::Mat flipVertical(const cv::Mat& src, int flag);
    // Adds Gaussian noise of standard deviation sigma (OpenCV's per-thread generator) to every
    // channel; sigma 0 gives an exact copy.
    static cv::Mat noise(const cv::Mat& src, double sigma);
    // Gaussian blur with a kernel x kernel window (even sizes grow by one); 1 or less copies.
    static cv::Mat blur(const cv::Mat& src, int kernel);
    // Bilinear scaling to kScaledSide x kScaledSide.
    static cv::Mat scaled(const cv::Mat& src);

    // src as 8-bit BGR, the format the transforms are made for: grey and BGRA are converted,
    // deeper pixels scaled down to 0..255. An image that already is 8-bit BGR is returned
    // itself, sharing its pixels.
    static cv::Mat toBgr8(const cv::Mat& src);
};
