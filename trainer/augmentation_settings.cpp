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

int AugmentationSliderRange::clamp(int value) const { return qBound(minimum, value, maximum); }

namespace {

bool boolOf(const QJsonObject& state, const char* key) { return state.value(QLatin1String(key)).toBool(); }

double spinOf(const QJsonObject& state, const char* key, const AugmentationSpinRange& range)
{
    return range.normalise(state.value(QLatin1String(key)).toDouble());
}

int sliderOf(const QJsonObject& state, const char* key, const AugmentationSliderRange& range)
{
    return range.clamp(state.value(QLatin1String(key)).toInt());
}

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

AugmentationSettings AugmentationSettings::fromState(const QJsonObject& state)
{
    AugmentationSettings s;
    if (state.isEmpty())
        return s;

    namespace K = AugmentationKeys;
    namespace L = AugmentationLimits;
    s.rotationEnabled = boolOf(state, K::rotationEnabled);
    s.rotationMin = spinOf(state, K::rotationMin, L::rotationAngle);
    s.rotationMax = spinOf(state, K::rotationMax, L::rotationAngle);
    s.rotationStep = spinOf(state, K::rotationStep, L::rotationStep);
    s.rotationPreview = sliderOf(state, K::rotationPreview, L::rotationSlider);

    s.contrastEnabled = boolOf(state, K::contrastEnabled);
    s.contrastMin = spinOf(state, K::contrastMin, L::contrastMin);
    s.contrastMax = spinOf(state, K::contrastMax, L::contrastMax);
    s.contrastStep = spinOf(state, K::contrastStep, L::contrastStep);
    s.contrastPreview = sliderOf(state, K::contrastPreview, L::contrastSlider);

    s.noiseEnabled = boolOf(state, K::noiseEnabled);
    s.noiseMax = spinOf(state, K::noiseMax, L::noiseMax);
    s.noiseStep = spinOf(state, K::noiseStep, L::noiseStep);
    s.noisePreview = sliderOf(state, K::noisePreview, L::noiseSlider);

    s.blurEnabled = boolOf(state, K::blurEnabled);
    s.blurMax = spinOf(state, K::blurMax, L::blurKernel);
    s.blurStep = spinOf(state, K::blurStep, L::blurKernel);
    s.blurPreview = sliderOf(state, K::blurPreview, L::blurSlider);

    s.flipHorizontalEnabled = boolOf(state, K::flipHorizontalEnabled);
    s.flipHorizontalPreview = boolOf(state, K::flipHorizontalPreview);
    s.flipVerticalEnabled = boolOf(state, K::flipVerticalEnabled);
    s.flipVerticalPreview = boolOf(state, K::flipVerticalPreview);

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
    namespace K = AugmentationKeys;
    QJsonObject state;
    state.insert(K::rotationEnabled, rotationEnabled);
    state.insert(K::rotationMin, rotationMin);
    state.insert(K::rotationMax, rotationMax);
    state.insert(K::rotationStep, rotationStep);
    state.insert(K::rotationPreview, rotationPreview);
    state.insert(K::contrastEnabled, contrastEnabled);
    state.insert(K::contrastMin, contrastMin);
    state.insert(K::contrastMax, contrastMax);
    state.insert(K::contrastStep, contrastStep);
    state.insert(K::contrastPreview, contrastPreview);
    state.insert(K::noiseEnabled, noiseEnabled);
    state.insert(K::noiseMax, noiseMax);
    state.insert(K::noiseStep, noiseStep);
    state.insert(K::noisePreview, noisePreview);
    state.insert(K::blurEnabled, blurEnabled);
    state.insert(K::blurMax, blurMax);
    state.insert(K::blurStep, blurStep);
    state.insert(K::blurPreview, blurPreview);
    state.insert(K::flipHorizontalEnabled, flipHorizontalEnabled);
    state.insert(K::flipHorizontalPreview, flipHorizontalPreview);
    state.insert(K::flipVerticalEnabled, flipVerticalEnabled);
    state.insert(K::flipVerticalPreview, flipVerticalPreview);
    return state;
}

bool AugmentationSettings::operator==(const AugmentationSettings& o) const
{
    return rotationEnabled == o.rotationEnabled && rotationMin == o.rotationMin && rotationMax == o.rotationMax
        && rotationStep == o.rotationStep && rotationPreview == o.rotationPreview
        && contrastEnabled == o.contrastEnabled && contrastMin == o.contrastMin && contrastMax == o.contrastMax
        && contrastStep == o.contrastStep && contrastPreview == o.contrastPreview && noiseEnabled == o.noiseEnabled
        && noiseMax == o.noiseMax && noiseStep == o.noiseStep && noisePreview == o.noisePreview
        && blurEnabled == o.blurEnabled && blurMax == o.blurMax && blurStep == o.blurStep
        && blurPreview == o.blurPreview && flipHorizontalEnabled == o.flipHorizontalEnabled
        && flipHorizontalPreview == o.flipHorizontalPreview && flipVerticalEnabled == o.flipVerticalEnabled
        && flipVerticalPreview == o.flipVerticalPreview;
}
