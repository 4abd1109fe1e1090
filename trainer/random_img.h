#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Random geometric clutter for the garbage class: each operation draws `count` random primitives
// of one kind into the pixels of the image it is given. The image header is taken by value but
// shares the caller's pixels, so the drawing lands in the caller's image; the generator is taken
// by value, so the caller's generator does not advance. The window name is carried for the
// callers' sake and not used. Every operation returns 0.
class RandomImg
{
public:
    int count = 100;
    int windowWidth = 256;
    int windowHeight = 256;
    int xMin = -windowWidth / 2;
    int xMax = 3 * windowWidth / 2;
    int yMin = -windowHeight / 2;
    int yMax = 3 * windowHeight / 2;

    int Drawing_Random_Lines(cv::Mat image, char* window_name, cv::RNG rng);
    int Drawing_Random_Rectangles(cv::Mat image, char* window_name, cv::RNG rng);
    int Drawing_Random_Ellipses(cv::Mat image, char* window_name, cv::RNG rng);
    int Drawing_Random_Polylines(cv::Mat image, char* window_name, cv::RNG rng);
    int Drawing_Random_Filled_Polygons(cv::Mat image, char* window_name, cv::RNG rng);
    int Drawing_Random_Circles(cv::Mat image, char* window_name, cv::RNG rng);
    int Displaying_Random_Text(cv::Mat image, char* window_name, cv::RNG rng);
    int Displaying_Big_End(cv::Mat image, char* window_name, cv::RNG rng);

    // One image of the garbage class: a black windowWidth x windowHeight canvas with random
    // lines and rectangles, and, each on a coin toss of the C library generator reseeded with the
    // current second, ellipses, polylines, filled polygons and circles. The drawing generator is
    // seeded with the tick count.
    cv::Mat makeGarbageImage();

private:
    cv::Point randomPoint(cv::RNG& rng) const;
    // Two triangles' corners, x then y of each, first triangle first.
    std::vector<std::vector<cv::Point> > randomTriangles(cv::RNG& rng) const;
    static cv::Scalar randomColor(cv::RNG& rng);
};
