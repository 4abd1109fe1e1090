#pragma once

#include "cpu_vela_classifier.h"
#include "vela_classifier.h"

#include <QMutex>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <memory>
#include <utility>
#include <vector>

// One classifier configuration: a model folder loaded on a backend, the settings that steer
// classification and drawing, and the results of the latest inference.
class ClassifConfig
{
public:
    ClassifConfig();
    ~ClassifConfig();

    // Exactly one holder is set, of the backend's kind: the GPU holder for "CUDA" and "Vulkan",
    // the CPU holder otherwise. A configuration is loaded when its holder holds a network.
    std::unique_ptr<darknetclassifier::VelaClassifier> gpu_classifier;
    std::unique_ptr<cpudarknetclassifier::CPUVelaClassifier> cpu_classifier;

    QString config_path;  // the model folder
    QString backend_name; // "CUDA", "Vulkan" or "CPU"
    bool loaded = false;
    QMutex mutex;

    // Classification
    double threshold = 0.5; // 0..1
    int top = 1;            // at most this many results
    bool upsampling = false;

    // Drawing
    bool result_drawing = true;
    bool draw_roi = false;
    bool text_drawing = true;
    bool show_confidence = true;
    int rect_thickness = 10;
    double font_scale = 1.2;
    int font_thickness = 2;
    int txt_offset = 10;

    // Results of the latest infer(): one 8-bit one-channel map per returned pair, all of one size.
    std::vector<cv::Mat> guide_maps;
    QStringList class_names;
    std::vector<cv::Scalar> class_colors; // by class index, B, G, R

    // Classifies an 8-bit BGR image: (class index, score 0..1) pairs sorted by score, at most
    // `top` of them, and their guide maps. Returns nothing for an empty or unsupported image or
    // when no network is loaded.
    std::vector<std::pair<int, float> > infer(cv::Mat& image);

    // Draws the annotation of the latest inference (names, percentages, frame) onto image.
    void draw_boxes(cv::Mat& image);
};
