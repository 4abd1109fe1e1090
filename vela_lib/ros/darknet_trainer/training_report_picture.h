#pragma once

#include <string>

class TrainingReport;

// The training report as a 1200 x 800 picture: average loss and batch accuracy over the
// iterations with the validation top-1 as points (the best one ringed), and, with validation,
// the confusion matrix of the best evaluation as a coloured grid labelled with the class names.
namespace TrainingReportPicture {
constexpr int kWidth = 1200;
constexpr int kHeight = 800;

// The picture as PNG bytes; false when OpenCV cannot encode it.
bool encode(const TrainingReport& report, std::string* png);
} // namespace TrainingReportPicture
