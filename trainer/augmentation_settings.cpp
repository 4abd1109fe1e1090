#include "augmentation_settings.h"

#include <QString>
#include <QtGlobal>

double AugmentationSpinRange::normalise(double value) const
{
    // A QDoubleSpinBox rounds through its text form before it clamps; doing the same keeps
    // these settings equal to what the editor would hold.
    const double rounded = QString::number(value, 'f', decimals).toDouble();
    return qBound(minimum, rounded, maximum);
}

namespace {

// A slider's value as QAbstractSlider keeps it while its range is moved: setting the minimum
// pushes the maximum up to it and setting the maximum pulls the minimum down, clamping the value
// each time.
class SliderValue
{
public:
    SliderValue(const AugmentationSliderRange& range, int value)
        : minimum(range.minimum), maximum(range.maximum), current(value) {}

    SliderValue& setMinimum(int value)
    {
        minimum = value;
        maximum = qMax(maximum, value);
        current = qBound(minimum, current, maximum);
        return *this;
    }
    SliderValue& setMaximum(int value)
    {
        maximum = value;
        minimum = qMin(minimum, value);
        current = qBound(minimum, current, maximum);
        return *this;
    }
    int value() const { return current; }

private:
    int minimum;
    int maximum;
    int current;
};

} // namespace

const std::vector<AugmentationField>& AugmentationSettings::fields()
{
    using S = AugmentationSettings;
    namespace L = AugmentationLimits;
    static const std::vector<AugmentationField> table = {
        {"is_rotate", "groupBox_rotation", &S::rotationEnabled},
        {"rotate_min", "doubleSpinBox_rotation_min", &S::rotationMin, L::rotationAngle},
        {"rotate_max", "doubleSpinBox_rotation_max", &S::rotationMax, L::rotationAngle},
        {"rotate_step", "doubleSpinBox_rotation_step", &S::rotationStep, L::rotationStep},
        {"rotate_value", "horizontalSlider_rotation", &S::rotationPreview, L::rotationSlider},
        {"is_contrast", "groupBox_contrast", &S::contrastEnabled},
        {"contrast_min", "doubleSpinBox_contrast_min", &S::contrastMin, L::contrastMin},
        {"contrast_max", "doubleSpinBox_contrast_max", &S::contrastMax, L::contrastMax},
        {"contrast_step", "doubleSpinBox_contrast_step", &S::contrastStep, L::contrastStep},
        {"contrast_value", "horizontalSlider_contrast", &S::contrastPreview, L::contrastSlider},
        {"is_noise", "groupBox_noise", &S::noiseEnabled},
        {"noise_max", "doubleSpinBox_noise_max", &S::noiseMax, L::noiseMax},
        {"noise_step", "doubleSpinBox_noise_step", &S::noiseStep, L::noiseStep},
        {"noise_value", "horizontalSlider_noise", &S::noisePreview, L::noiseSlider},
        {"is_blur", "groupBox_blur", &S::blurEnabled},
        {"blur_max", "doubleSpinBox_blur_max", &S::blurMax, L::blurKernel},
        {"blur_step", "doubleSpinBox_blur_step_min", &S::blurStep, L::blurKernel},
        {"blur_value", "horizontalSlider_blur", &S::blurPreview, L::blurSlider},
        {"is_fh", "groupBox_flip_horizontal", &S::flipHorizontalEnabled},
        {"fh", "checkBox_flip_horizontal", &S::flipHorizontalPreview},
        {"is_fv", "groupBox_flip_vertical", &S::flipVerticalEnabled},
        {"fv", "checkBox_flip_vertical", &S::flipVerticalPreview},
    };
    return table;
}

const char* AugmentationField::widgetProperty() const { return kind == Kind::Flag ? "checked" : "value"; }

QVariant AugmentationField::stateValue(const QJsonObject& state) const
{
    // QJsonValue's own conversions: a string "12" is no number here, unlike in QVariant.
    const QJsonValue value = state.value(QLatin1String(key));
    if (kind == Kind::Spin)
        return value.toDouble();
    if (kind == Kind::Slider)
        return value.toInt();
    return value.toBool();
}

QVariant AugmentationField::limited(const QVariant& value) const
{
    if (kind == Kind::Spin)
        return spinRange.normalise(value.toDouble());
    if (kind == Kind::Slider)
        return qBound(sliderRange.minimum, value.toInt(), sliderRange.maximum);
    return value;
}

void AugmentationField::assign(AugmentationSettings& settings, const QVariant& value) const
{
    if (kind == Kind::Spin)
        settings.*number = value.toDouble();
    else if (kind == Kind::Slider)
        settings.*integer = value.toInt();
    else
        settings.*flag = value.toBool();
}

QJsonValue AugmentationField::stateEntry(const AugmentationSettings& settings) const
{
    if (kind == Kind::Spin)
        return settings.*number;
    if (kind == Kind::Slider)
        return settings.*integer;
    return settings.*flag;
}

AugmentationSettings AugmentationSettings::fromState(const QJsonObject& state)
{
    AugmentationSettings s;
    if (state.isEmpty())
        return s;
    for (const AugmentationField& field : fields())
        field.assign(s, field.limited(field.stateValue(state)));

    namespace L = AugmentationLimits;
    // Once every value is in place the editor moves the sliders' ranges to the spin boxes
    // (integer parts; tenths for the contrast), which may clamp the restored slider values.
    s.rotationPreview = SliderValue(L::rotationSlider, s.rotationPreview)
                            .setMinimum(int(s.rotationMin))
                            .setMaximum(int(s.rotationMax))
                            .value();
    s.contrastPreview = SliderValue(L::contrastSlider, s.contrastPreview)
                            .setMinimum(int(s.contrastMin * 10))
                            .setMaximum(int(s.contrastMax * 10))
                            .value();
    s.noisePreview = SliderValue(L::noiseSlider, s.noisePreview).setMaximum(int(s.noiseMax)).value();
    s.blurPreview = SliderValue(L::blurSlider, s.blurPreview).setMaximum(int(s.blurMax)).value();
    return s;
}

QJsonObject AugmentationSettings::toState() const
{
    QJsonObject state;
    for (const AugmentationField& field : fields())
        state.insert(QLatin1String(field.key), field.stateEntry(*this));
    return state;
}

bool AugmentationSettings::operator==(const AugmentationSettings& other) const
{
    for (const AugmentationField& field : fields())
        if (field.stateEntry(*this) != field.stateEntry(other))
            return false;
    return true;
}
