#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

class TrainingReport;

// The training report as a 1200 x 800 picture: average loss and batch accuracy over the
// iterations with the validation top-1 as points (the best one ringed, with its 95 % interval),
// and, with validation, the confusion matrix of the best evaluation as a coloured grid labelled
// with the class names.
namespace TrainingReportPicture {
constexpr int kWidth = 1200;
constexpr int kHeight = 800;

// The picture as PNG bytes; false when OpenCV cannot encode it.
bool encode(const TrainingReport& report, std::string* png);

// The label of the best validation: its lines and the box it fills, drawn last on its own
// background so that no point, curve or band covers it. No lines before a first evaluation.
struct BestLabel
{
    std::vector<std::string> lines;
    cv::Rect box;
};
BestLabel bestLabel(const TrainingReport& report);

// Axis ticks at round values: the multiples of one 1-2-5 step (1, 2, 5, 10, 20, ...) that lie in
// [low, high], about `wanted` of them.
std::vector<double> roundTicks(double low, double high, int wanted);

// The 95 % Wilson score interval of `correct` right answers out of `total`, as fractions.
struct Interval
{
    double low = 0, high = 1;
};
Interval wilson95(int correct, int total);
} // namespace TrainingReportPicture
