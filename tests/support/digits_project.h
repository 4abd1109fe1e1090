#pragma once

#include <QString>

#include <opencv2/core.hpp>

// The digits project: ten classes "0" to "9", each picture one digit drawn by OpenCV in one of
// its fonts (upright or slanted), at a varied size, stroke, position and tilt, in a colour on a
// noisy background of another. Small enough to train on in a test, varied enough that a
// classifier must learn the digits rather than the pictures.
namespace DigitsProject {

constexpr int kClasses = 10;

// One picture of the digit, side x side pixels; the same seed gives the same picture.
cv::Mat digitImage(int digit, int side, unsigned seed);

// Writes perClass PNG pictures of every digit into root/<digit>/<n>.png. Projects written with
// different seeds share no picture.
void write(const QString& root, int perClass, unsigned seed, int side = 40);

} // namespace DigitsProject
