#include "class_colors.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

std::vector<cv::Scalar> distinctClassColors(int count)
{
    std::vector<cv::Scalar> colors;
    for (int i = 0; i < count; ++i) {
        // OpenCV's 8-bit HSV keeps hue in 0..179.
        const double hue = std::fmod(i * 137.50776405, 360.0) / 2.0;
        // Alternate the brightness a little so that close hues still differ.
        const int value = i % 2 == 0 ? 255 : 200;
        cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue, 220, value));
        cv::Mat bgr;
        cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
        const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 0);
        colors.emplace_back(c[0], c[1], c[2]);
    }
    return colors;
}
