#pragma once

#include "augmentation_settings.h"

#include <QDialog>
#include <QJsonObject>

#include <opencv2/core.hpp>

#include <vector>

namespace Ui {
class DialogAugmentation;
}

// Editor of the augmentation settings with a live preview, and the worker that enumerates the
// augmented variants of one source image during training-data generation.
class DialogAugmentation : public QDialog
{
    Q_OBJECT

public:
    explicit DialogAugmentation(QWidget* parent = nullptr);
    ~DialogAugmentation() override;

    // The source picture: previewed, and augmented by getAugmentImages().
    cv::Mat image;
    // Cleared by a caller to end an enumeration early (at the start of its next pass).
    bool running = true;
    // Set while restoreState() moves the widgets; the change slots then do nothing.
    bool restoring = false;

    // The settings the widgets hold now (what saveState() writes), free of widgets.
    AugmentationSettings settings() const;

    QJsonObject saveState();
    void restoreState(QJsonObject state);

    // Every combination of noise, blur, rotation, contrast and mirroring that the settings span,
    // except the untouched image, in enumeration order.
    std::vector<cv::Mat> getAugmentImages();

    static cv::Mat get_rotation(cv::Mat src, double angle);
    static cv::Mat get_contrast(cv::Mat src, double gain);
    static cv::Mat get_flip_horizontal(cv::Mat src, int flag);
    static cv::Mat get_flip_vertical(cv::Mat src, int flag);
    static cv::Mat get_noise(cv::Mat src, double sigma);
    static cv::Mat get_blur(cv::Mat src, int kernel);

    void uiWidgetUpdate();
    void updateUI();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Connects a setting's widget so that a change made to it refreshes the sliders and preview.
    void refreshOnChange(const AugmentationField& field);
    void refresh();
    // The form's widget that shows field.
    QWidget* widgetOf(const AugmentationField& field) const;
    void showPreview(const cv::Mat& bgr);

    Ui::DialogAugmentation* ui;
    // Set while uiWidgetUpdate() moves the sliders: a slider clamped by a new range calls back
    // into it, and with a minimum above the maximum the two would otherwise chase each other.
    bool updatingSliders = false;
};
