#include "random_img.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int kLineType = cv::LINE_8;

} // namespace

cv::Point RandomImg::randomPoint(cv::RNG& rng) const
{
    // x is drawn before y: the order is part of what a generator state produces.
    const int x = rng.uniform(xMin, xMax);
    const int y = rng.uniform(yMin, yMax);
    return cv::Point(x, y);
}

std::vector<std::vector<cv::Point> > RandomImg::randomTriangles(cv::RNG& rng) const
{
    std::vector<std::vector<cv::Point> > corners(2, std::vector<cv::Point>(3));
    for (auto& triangle : corners)
        for (auto& corner : triangle)
            corner = randomPoint(rng);
    return corners;
}

cv::Scalar RandomImg::randomColor(cv::RNG& rng)
{
    const unsigned icolor = unsigned(rng);
    return cv::Scalar(icolor & 255, (icolor >> 8) & 255, (icolor >> 16) & 255);
}

int RandomImg::Drawing_Random_Lines(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 0; i < count; ++i) {
        const cv::Point pt1 = randomPoint(rng);
        const cv::Point pt2 = randomPoint(rng);
        const int thickness = rng.uniform(1, 10);
        cv::line(image, pt1, pt2, randomColor(rng), thickness, kLineType);
    }
    return 0;
}

int RandomImg::Drawing_Random_Rectangles(cv::Mat image, char*, cv::RNG rng)
{
    // One thickness for the whole call: all outlined alike, or all filled (-1).
    const int thickness = std::max(rng.uniform(-3, 10), -1);
    for (int i = 0; i < count; ++i) {
        const cv::Point pt1 = randomPoint(rng);
        const cv::Point pt2 = randomPoint(rng);
        cv::rectangle(image, pt1, pt2, randomColor(rng), thickness, kLineType);
    }
    return 0;
}

int RandomImg::Drawing_Random_Ellipses(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 0; i < count; ++i) {
        const cv::Point center = randomPoint(rng);
        cv::Size axes;
        axes.width = rng.uniform(0, 200);
        axes.height = rng.uniform(0, 200);
        const double angle = rng.uniform(0, 180);
        const int thickness = rng.uniform(-1, 9);
        cv::ellipse(image, center, axes, angle, angle - 100, angle + 200, randomColor(rng), thickness, kLineType);
    }
    return 0;
}

int RandomImg::Drawing_Random_Polylines(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 0; i < count; ++i) {
        const auto triangles = randomTriangles(rng);
        const int thickness = rng.uniform(1, 10);
        cv::polylines(image, triangles, true, randomColor(rng), thickness, kLineType);
    }
    return 0;
}

int RandomImg::Drawing_Random_Filled_Polygons(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 0; i < count; ++i) {
        const auto triangles = randomTriangles(rng);
        cv::fillPoly(image, triangles, randomColor(rng), kLineType, 0, cv::Point());
    }
    return 0;
}

int RandomImg::Drawing_Random_Circles(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 0; i < count; ++i) {
        const cv::Point center = randomPoint(rng);
        const int thickness = rng.uniform(-1, 9);
        const cv::Scalar color = randomColor(rng);
        const int radius = rng.uniform(0, 300);
        cv::circle(image, center, radius, color, thickness, kLineType);
    }
    return 0;
}

int RandomImg::Displaying_Random_Text(cv::Mat image, char*, cv::RNG rng)
{
    for (int i = 1; i < count; ++i) {
        const cv::Point org = randomPoint(rng);
        const int thickness = rng.uniform(1, 10);
        const cv::Scalar color = randomColor(rng);
        const double scale = rng.uniform(0, 100) * 0.05 + 0.1;
        const int fontFace = rng.uniform(0, 8);
        cv::putText(image, "Testing text rendering", org, fontFace, scale, color, thickness, kLineType);
    }
    return 0;
}

int RandomImg::Displaying_Big_End(cv::Mat image, char*, cv::RNG)
{
    const std::string text = "OpenCV forever!";
    const int fontFace = cv::FONT_HERSHEY_COMPLEX;
    const double scale = 3;
    const int thickness = 5;
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, fontFace, scale, thickness, &baseline);
    const cv::Point org((windowWidth - size.width) / 2, (windowHeight - size.height) / 2);
    for (int i = 0; i < 255; i += 2) {
        // A new image each pass: the argument's pixels stay as they were.
        cv::Mat image2 = image - cv::Scalar::all(i);
        cv::putText(image2, text, org, fontFace, scale, cv::Scalar(i, i, 255), thickness, kLineType);
    }
    return 0;
}

cv::Mat RandomImg::makeGarbageImage()
{
    cv::Mat canvas(windowHeight, windowWidth, CV_8UC3, cv::Scalar::all(0));
    const cv::RNG rng(uint64(cv::getTickCount()));
    char windowName[] = "rng_img";

    Drawing_Random_Lines(canvas, windowName, rng);
    Drawing_Random_Rectangles(canvas, windowName, rng);

    using Operation = int (RandomImg::*)(cv::Mat, char*, cv::RNG);
    const Operation optional[] = {&RandomImg::Drawing_Random_Ellipses, &RandomImg::Drawing_Random_Polylines,
                                  &RandomImg::Drawing_Random_Filled_Polygons, &RandomImg::Drawing_Random_Circles};
    for (Operation operation : optional) {
        // Reseeded with the current second each time, so the four tosses of one image usually agree.
        srand(unsigned(time(nullptr)));
        if (rand() % 100 > 50)
            (this->*operation)(canvas, windowName, rng);
    }
    return canvas;
}
