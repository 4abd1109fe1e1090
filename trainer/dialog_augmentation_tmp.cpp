// TEMPORARY, not committed: stands in until the augmentation editor lands.
#include "dialog_augmentation.h"
#include <QJsonObject>
namespace Ui { class DialogAugmentation {}; }
DialogAugmentation::DialogAugmentation(QWidget* p) : QDialog(p), ui(nullptr) {}
DialogAugmentation::~DialogAugmentation() {}
static QJsonObject g;
QJsonObject DialogAugmentation::saveState() { QJsonObject o{{"is_rotate", true}}; for (auto k : g.keys()) o[k]=g[k]; return o; }
void DialogAugmentation::restoreState(QJsonObject s) { g = s; }
std::vector<cv::Mat> DialogAugmentation::getAugmentImages() { return {}; }
void DialogAugmentation::showEvent(QShowEvent*) {}
void DialogAugmentation::resizeEvent(QResizeEvent*) {}
#define S(n, t) void DialogAugmentation::n(t) {}
S(on_groupBox_rotation_clicked,bool) S(on_doubleSpinBox_rotation_min_valueChanged,double) S(on_doubleSpinBox_rotation_max_valueChanged,double)
S(on_doubleSpinBox_rotation_step_valueChanged,double) S(on_groupBox_contrast_clicked,bool) S(on_doubleSpinBox_contrast_min_valueChanged,double)
S(on_doubleSpinBox_contrast_max_valueChanged,double) S(on_groupBox_noise_clicked,bool) S(on_doubleSpinBox_noise_step_valueChanged,double)
S(on_doubleSpinBox_noise_max_valueChanged,double) S(on_groupBox_blur_clicked,bool) S(on_doubleSpinBox_blur_step_min_valueChanged,double)
S(on_doubleSpinBox_blur_max_valueChanged,double) S(on_horizontalSlider_rotation_valueChanged,int) S(on_horizontalSlider_contrast_valueChanged,int)
S(on_horizontalSlider_noise_valueChanged,int) S(on_horizontalSlider_blur_valueChanged,int) S(on_groupBox_flip_horizontal_clicked,bool)
S(on_checkBox_flip_horizontal_stateChanged,int) S(on_groupBox_flip_vertical_clicked,bool) S(on_checkBox_flip_vertical_stateChanged,int)
