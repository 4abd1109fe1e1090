#include "image_augmenter.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

float uniform(std::mt19937& rng, float a, float b)
{
    if (b < a)
        std::swap(a, b);
    return std::uniform_real_distribution<float>(a, b)(rng);
}

// A factor between 1 and s, or its inverse, with equal chance.
float randomScale(std::mt19937& rng, float s)
{
    const float f = uniform(rng, 1.0f, s);
    return std::bernoulli_distribution(0.5)(rng) ? f : 1.0f / f;
}

} // namespace

Augmentation Augmentation::of(const NetSettings& net)
{
    Augmentation a;
    a.width = net.width;
    a.height = net.height;
    a.minSide = std::max(1, int(net.minRatio * net.width));
    a.maxSide = std::max(1, int(net.maxRatio * net.width));
    a.angle = net.angle;
    a.aspect = net.aspect;
    a.hue = net.hue;
    a.saturation = net.saturation;
    a.exposure = net.exposure;
    a.center = net.center;
    return a;
}

cv::Mat ImageAugmenter::read(const std::string& path)
{
    return cv::imread(path, cv::IMREAD_COLOR);
}

int ImageAugmenter::largestScaledSide() const
{
    return std::max({settings.minSide, settings.maxSide, settings.width, settings.height, 1});
}

void ImageAugmenter::geometry(const DecodedPicture& picture, std::mt19937& rng, cv::Mat& out) const
{
    const cv::Mat& bgr = picture.bgr;
    const int w = settings.width;
    const int h = settings.height;
    if (settings.center) {
        const int side = std::min(bgr.cols, bgr.rows);
        const cv::Rect square((bgr.cols - side) / 2, (bgr.rows - side) / 2, side, side);
        cv::resize(bgr(square), out, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
        return;
    }
    // Everything is drawn in the original's coordinates, as for the whole picture.
    const int cols = picture.original.width;
    const int rows = picture.original.height;
    const float aspect = randomScale(rng, settings.aspect);
    const int side = std::uniform_int_distribution<int>(std::min(settings.minSide, settings.maxSide),
                                                        std::max(settings.minSide, settings.maxSide))(rng);
    const float shorter = std::min(float(rows), cols * aspect);
    const float s = side / shorter;
    const float rad = uniform(rng, -settings.angle, settings.angle) * float(M_PI) / 180.0f;
    float dx = (cols * s / aspect - w) / 2.0f;
    float dy = (rows * s - h) / 2.0f;
    dx = uniform(rng, -dx, dx);
    dy = uniform(rng, -dy, dy);
    // Output pixel (x, y) samples the original at R(rad) * (((x - w/2 + dx) * aspect, y - h/2 + dy) / s)
    // + image centre.
    const double c = std::cos(rad), sn = std::sin(rad);
    const double ax = aspect / s, ay = 1.0 / s;
    const double u0 = (-w / 2.0 + dx) * ax, v0 = (-h / 2.0 + dy) * ay;
    cv::Matx23d toSource(c * ax, -sn * ay, c * u0 - sn * v0 + cols / 2.0,
                         sn * ax, c * ay, sn * u0 + c * v0 + rows / 2.0);
    // A reduced pixel i holds the original's pixels k i .. k i + k - 1, centred on k i + (k - 1) / 2.
    const double k = picture.reduction;
    if (k > 1) {
        for (int j = 0; j < 3; ++j) {
            toSource(0, j) /= k;
            toSource(1, j) /= k;
        }
        toSource(0, 2) -= (k - 1) / (2 * k);
        toSource(1, 2) -= (k - 1) / (2 * k);
    }
    cv::warpAffine(bgr, out, toSource, cv::Size(w, h), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
}

void ImageAugmenter::augment(const cv::Mat& bgr, std::mt19937& rng, float* out) const
{
    DecodedPicture picture;
    picture.bgr = bgr;
    picture.original = bgr.size();
    augment(picture, rng, out);
}

void ImageAugmenter::augment(const DecodedPicture& picture, std::mt19937& rng, float* out) const
{
    // Each loader thread keeps its pictures in the making: fresh ones for every image cost page
    // faults, and on several cores the memory handed back interrupts the other threads, which
    // made the loader slower on 2 threads than on one.
    thread_local cv::Mat image, hsv, rgb;
    geometry(picture, rng, image);
    if (std::bernoulli_distribution(0.5)(rng))
        cv::flip(image, image, 1);

    image.convertTo(hsv, CV_32FC3, 1.0 / 255.0);
    cv::cvtColor(hsv, hsv, cv::COLOR_BGR2HSV);
    const float hueShift = uniform(rng, -settings.hue, settings.hue) * 360.0f;
    const float sat = randomScale(rng, settings.saturation);
    const float exposure = randomScale(rng, settings.exposure);
    for (int y = 0; y < hsv.rows; ++y) {
        cv::Vec3f* row = hsv.ptr<cv::Vec3f>(y);
        for (int x = 0; x < hsv.cols; ++x) {
            float hue = row[x][0] + hueShift;
            if (hue >= 360.0f)
                hue -= 360.0f;
            if (hue < 0.0f)
                hue += 360.0f;
            row[x][0] = hue;
            row[x][1] *= sat;
            row[x][2] *= exposure;
        }
    }
    cv::cvtColor(hsv, rgb, cv::COLOR_HSV2RGB);
    const size_t plane = size_t(rgb.cols) * size_t(rgb.rows);
    for (int y = 0; y < rgb.rows; ++y) {
        const cv::Vec3f* row = rgb.ptr<cv::Vec3f>(y);
        for (int x = 0; x < rgb.cols; ++x) {
            const size_t at = size_t(y) * rgb.cols + x;
            for (int ch = 0; ch < 3; ++ch)
                out[ch * plane + at] = std::min(1.0f, std::max(0.0f, row[x][ch]));
        }
    }
}
