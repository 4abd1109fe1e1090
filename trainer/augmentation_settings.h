#pragma once

#include <QJsonObject>

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

    int clamp(int value) const;
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

// Keys of the editor's saved-state object.
namespace AugmentationKeys {
constexpr const char* rotationEnabled = "is_rotate";
constexpr const char* rotationMin = "rotate_min";
constexpr const char* rotationMax = "rotate_max";
constexpr const char* rotationStep = "rotate_step";
constexpr const char* rotationPreview = "rotate_value";
constexpr const char* contrastEnabled = "is_contrast";
constexpr const char* contrastMin = "contrast_min";
constexpr const char* contrastMax = "contrast_max";
constexpr const char* contrastStep = "contrast_step";
constexpr const char* contrastPreview = "contrast_value";
constexpr const char* noiseEnabled = "is_noise";
constexpr const char* noiseMax = "noise_max";
constexpr const char* noiseStep = "noise_step";
constexpr const char* noisePreview = "noise_value";
constexpr const char* blurEnabled = "is_blur";
constexpr const char* blurMax = "blur_max";
constexpr const char* blurStep = "blur_step";
constexpr const char* blurPreview = "blur_value";
constexpr const char* flipHorizontalEnabled = "is_fh";
constexpr const char* flipHorizontalPreview = "fh";
constexpr const char* flipVerticalEnabled = "is_fv";
constexpr const char* flipVerticalPreview = "fv";
} // namespace AugmentationKeys

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

    bool operator==(const AugmentationSettings& other) const;
    bool operator!=(const AugmentationSettings& other) const { return !(*this == other); }
};
