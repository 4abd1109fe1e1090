#include "dialog_augmentation.h"
#include "ui_dialog_augmentation.h"

#include "augmentation_enumerator.h"
#include "augmentation_transforms.h"
#include "focused_wheel_only.h"

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>

DialogAugmentation::DialogAugmentation(QWidget* parent)
    : QDialog(parent), ui(new Ui::DialogAugmentation)
{
    // The sliders keep the form's ranges until the first update: restoreState() relies on that.
    ui->setupUi(this);
    FocusedWheelOnly::install(this);
    for (const AugmentationField& field : AugmentationSettings::fields())
        refreshOnChange(field);
}

DialogAugmentation::~DialogAugmentation() { delete ui; }

QWidget* DialogAugmentation::widgetOf(const AugmentationField& field) const
{
    return findChild<QWidget*>(QLatin1String(field.widget));
}

void DialogAugmentation::refreshOnChange(const AugmentationField& field)
{
    // A group box counts when clicked, not when restoreState() checks it; a new step reaches
    // its slider at once rather than at the next other change.
    QWidget* widget = widgetOf(field);
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        connect(group, &QGroupBox::clicked, this, &DialogAugmentation::refresh);
    else if (auto* check = qobject_cast<QCheckBox*>(widget))
        connect(check, &QCheckBox::stateChanged, this, &DialogAugmentation::refresh);
    else if (auto* spin = qobject_cast<QDoubleSpinBox*>(widget))
        connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, &DialogAugmentation::refresh);
    else if (auto* slider = qobject_cast<QSlider*>(widget))
        connect(slider, &QSlider::valueChanged, this, &DialogAugmentation::refresh);
}

AugmentationSettings DialogAugmentation::settings() const
{
    AugmentationSettings s;
    for (const AugmentationField& field : AugmentationSettings::fields())
        field.assign(s, widgetOf(field)->property(field.widgetProperty()));
    return s;
}

QJsonObject DialogAugmentation::saveState() { return settings().toState(); }

void DialogAugmentation::restoreState(QJsonObject state)
{
    if (state.isEmpty())
        return;

    // The widgets clamp what they are given; the sliders still have their ranges from before
    // this call, and are widened by uiWidgetUpdate() only once every value is in place.
    restoring = true;
    for (const AugmentationField& field : AugmentationSettings::fields())
        widgetOf(field)->setProperty(field.widgetProperty(), field.stateValue(state));
    restoring = false;

    uiWidgetUpdate();
}

std::vector<cv::Mat> DialogAugmentation::getAugmentImages()
{
    // Pending events are processed after every variant: that is how a stop request (running
    // cleared by a handler) reaches an enumeration on the GUI thread.
    return AugmentationEnumerator::collect(
        image, settings(), [this] { return running; }, [] { QCoreApplication::processEvents(); });
}

cv::Mat DialogAugmentation::get_rotation(cv::Mat src, double angle)
{
    return AugmentationTransforms::rotation(src, angle);
}

cv::Mat DialogAugmentation::get_contrast(cv::Mat src, double gain) { return AugmentationTransforms::contrast(src, gain); }

cv::Mat DialogAugmentation::get_flip_horizontal(cv::Mat src, int flag)
{
    return AugmentationTransforms::flipHorizontal(src, flag);
}

cv::Mat DialogAugmentation::get_flip_vertical(cv::Mat src, int flag)
{
    return AugmentationTransforms::flipVertical(src, flag);
}

cv::Mat DialogAugmentation::get_noise(cv::Mat src, double sigma) { return AugmentationTransforms::noise(src, sigma); }

cv::Mat DialogAugmentation::get_blur(cv::Mat src, int kernel) { return AugmentationTransforms::blur(src, kernel); }

void DialogAugmentation::uiWidgetUpdate()
{
    if (restoring || updatingSliders)
        return;
    updatingSliders = true;

    // Integer parts truncate toward zero. The contrast slider counts tenths of the gain.
    QSlider* rotation = ui->horizontalSlider_rotation;
    rotation->setMinimum(int(ui->doubleSpinBox_rotation_min->value()));
    rotation->setMaximum(int(ui->doubleSpinBox_rotation_max->value()));
    rotation->setSingleStep(int(ui->doubleSpinBox_rotation_step->value()));
    ui->label_curr_rotation->setText(QString::number(rotation->value()));

    QSlider* contrast = ui->horizontalSlider_contrast;
    contrast->setMinimum(int(ui->doubleSpinBox_contrast_min->value() * 10));
    contrast->setMaximum(int(ui->doubleSpinBox_contrast_max->value() * 10));
    contrast->setSingleStep(int(ui->doubleSpinBox_contrast_step->value() * 10));
    ui->label_curr_contrast->setText(QString::number(contrast->value() / 10.0, 'g', 6));

    QSlider* noise = ui->horizontalSlider_noise;
    noise->setMaximum(int(ui->doubleSpinBox_noise_max->value()));
    noise->setSingleStep(int(ui->doubleSpinBox_noise_step->value()));
    ui->label_curr_noise->setText(QString::number(noise->value()));

    QSlider* blur = ui->horizontalSlider_blur;
    blur->setMaximum(int(ui->doubleSpinBox_blur_max->value()));
    blur->setSingleStep(int(ui->doubleSpinBox_blur_step_min->value()));
    ui->label_curr_blur->setText(QString::number(blur->value()));
    updatingSliders = false;
}

void DialogAugmentation::updateUI()
{
    if (restoring || image.empty())
        return;

    // One value per transform, in this order; unlike generation there is no 608 x 608 scaling,
    // and mirroring follows the check boxes inside the flip groups.
    cv::Mat view = AugmentationTransforms::toBgr8(image);
    if (ui->groupBox_rotation->isChecked())
        view = get_rotation(view, ui->horizontalSlider_rotation->value());
    if (ui->groupBox_noise->isChecked())
        view = get_noise(view, ui->horizontalSlider_noise->value());
    if (ui->groupBox_contrast->isChecked())
        view = get_contrast(view, ui->horizontalSlider_contrast->value() / 10.0);
    if (ui->groupBox_flip_horizontal->isChecked())
        view = get_flip_horizontal(view, ui->checkBox_flip_horizontal->isChecked() ? 1 : 0);
    if (ui->groupBox_flip_vertical->isChecked())
        view = get_flip_vertical(view, ui->checkBox_flip_vertical->isChecked() ? 1 : 0);
    if (ui->groupBox_blur->isChecked())
        view = get_blur(view, ui->horizontalSlider_blur->value());
    showPreview(view);
}

void DialogAugmentation::showPreview(const cv::Mat& bgr)
{
    // The QImage only borrows the pixels; rgbSwapped() makes the copy the pixmap is built from.
    const QImage borrowed(bgr.data, bgr.cols, bgr.rows, int(bgr.step), QImage::Format_RGB888);
    const QPixmap pixmap = QPixmap::fromImage(borrowed.rgbSwapped())
                               .scaled(ui->label_img->size(), Qt::KeepAspectRatio, Qt::FastTransformation);
    ui->label_img->setScaledContents(false);
    ui->label_img->setPixmap(pixmap);
}

void DialogAugmentation::refresh()
{
    uiWidgetUpdate();
    updateUI();
}

void DialogAugmentation::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    updateUI();
}

void DialogAugmentation::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    updateUI();
}
