#pragma once

#include <QJsonObject>
#include <QVariant>

#include <vector>

// Range and precision of one of the augmentation editor's spin boxes.
struct AugmentationSpinRange
{
    double minimum;
    double maximum;
    int decimals;

    // What the spin box shows after being given value: rounded to its decimals, then clamped.
    double normalise(double value) const;
};

// Range of one of the editor's sliders as the form creates it (before the spin boxes widen it).
struct AugmentationSliderRange
{
    int minimum;
    int maximum;
};

// The limits the augmentation editor's widgets impose; its form uses the same numbers.
namespace AugmentationLimits {
constexpr AugmentationSpinRange rotationAngle{-180.0, 180.0, 0};
constexpr AugmentationSpinRange rotationStep{1.0, 180.0, 0};
constexpr AugmentationSpinRange contrastMin{0.1, 1.0, 1};
constexpr AugmentationSpinRange contrastMax{1.0, 3.0, 1};
constexpr AugmentationSpinRange contrastStep{0.1, 3.0, 1};
constexpr AugmentationSpinRange noiseMax{0.0, 50.0, 0};
constexpr AugmentationSpinRange noiseStep{1.0, 50.0, 0};
constexpr AugmentationSpinRange blurKernel{1.0, 99999.0, 0};

constexpr AugmentationSliderRange rotationSlider{-180, 180};
constexpr AugmentationSliderRange contrastSlider{4, 11};
constexpr AugmentationSliderRange noiseSlider{0, 10};
constexpr AugmentationSliderRange blurSlider{1, 9};
} // namespace AugmentationLimits

struct AugmentationField;

// Every augmentation setting as a plain value, free of widgets, so that worker threads can
// enumerate variants with it. The member initialisers are the editor's defaults.
struct AugmentationSettings
{
    bool rotationEnabled = true;
    double rotationMin = -180.0;
    double rotationMax = 180.0;
    double rotationStep = 90.0;
    int rotationPreview = 0; // degrees

    bool contrastEnabled = true;
    double contrastMin = 0.2;
    double contrastMax = 1.2;
    double contrastStep = 1.0;
    int contrastPreview = 10; // tenths of the gain

    bool noiseEnabled = true;
    double noiseMax = 10.0;
    double noiseStep = 10.0;
    int noisePreview = 0; // standard deviation

    bool blurEnabled = true;
    double blurMax = 9.0;
    double blurStep = 9.0;
    int blurPreview = 1; // kernel size

    bool flipHorizontalEnabled = false;
    bool flipHorizontalPreview = false;
    bool flipVerticalEnabled = false;
    bool flipVerticalPreview = false;

    // The settings a newly created editor holds after restoring state: an empty object keeps the
    // defaults; otherwise a missing key means false or zero, every value is rounded and clamped
    // as the editor's widgets do, and the preview values are clamped by the sliders' form ranges
    // and then by the ranges the spin boxes give them.
    static AugmentationSettings fromState(const QJsonObject& state);
    // The editor's saved-state object ("is_rotate", "rotate_min", ...).
    QJsonObject toState() const;

    // Every setting, in the order the editor restores them.
    static const std::vector<AugmentationField>& fields();

    bool operator==(const AugmentationSettings& other) const;
};

// One saved setting: its key in the saved state, the member that holds it, the editor's widget
// that shows it and, for a number, the limits of that widget. A new setting is one more row in
// AugmentationSettings::fields().
struct AugmentationField
{
    enum class Kind { Flag, Spin, Slider };

    AugmentationField(const char* key, const char* widget, bool AugmentationSettings::*member)
        : kind(Kind::Flag), key(key), widget(widget), flag(member) {}
    AugmentationField(const char* key, const char* widget, double AugmentationSettings::*member,
                      AugmentationSpinRange range)
        : kind(Kind::Spin), key(key), widget(widget), number(member), spinRange(range) {}
    AugmentationField(const char* key, const char* widget, int AugmentationSettings::*member,
                      AugmentationSliderRange range)
        : kind(Kind::Slider), key(key), widget(widget), integer(member), sliderRange(range) {}

    Kind kind;
    const char* key;
    const char* widget; // object name in the editor's form
    bool AugmentationSettings::*flag = nullptr;
    double AugmentationSettings::*number = nullptr;
    int AugmentationSettings::*integer = nullptr;
    AugmentationSpinRange spinRange{0.0, 0.0, 0};
    AugmentationSliderRange sliderRange{0, 0};

    // The widget's property that holds the setting: "checked" or "value".
    const char* widgetProperty() const;
    // What state holds under the key as this kind of setting (missing or mistyped: false or
    // zero), before any widget limits it.
    QVariant stateValue(const QJsonObject& state) const;
    // Value as the widget holds it once given value: rounded and clamped to its limits.
    QVariant limited(const QVariant& value) const;
    void assign(AugmentationSettings& settings, const QVariant& value) const;
    QJsonValue stateEntry(const AugmentationSettings& settings) const;
};
