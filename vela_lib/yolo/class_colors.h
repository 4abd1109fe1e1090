#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Distinct colours (B, G, R) for class indices: hues a golden angle apart, so neighbouring
// indices never look alike and a class keeps its colour whatever the number of classes.
std::vector<cv::Scalar> distinctClassColors(int count);
