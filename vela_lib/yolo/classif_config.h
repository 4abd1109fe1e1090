#pragma once

#include "backend.h"
#include "cpu_vela_classifier.h"
#include "vela_classifier.h"

#include <QMutex>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <memory>
#include <utility>
#include <vector>

// What inference needs besides the network: input preparation, output layers, guide maps.
struct ClassifRuntime;

// One classifier configuration: a model folder loaded on a backend, the settings that steer
// classification and drawing, and the results of the latest inference.
class ClassifConfig
{
public:
    ClassifConfig();
    ~ClassifConfig();

    // Exactly one holder is set, of the backend's kind: the GPU holder for "CUDA", the CPU holder
    // otherwise ("CPU", "Vulkan"). A configuration is loaded when its holder holds a network.
    std::unique_ptr<darknetclassifier::VelaClassifier> gpu_classifier;
    std::unique_ptr<cpudarknetclassifier::CPUVelaClassifier> cpu_classifier;

    QString config_path;  // the model folder
    QString backend_name; // "CUDA", "Vulkan" or "CPU", as asked for
    QString running_backend; // what runs: the one asked for, or "CPU" where OpenCV lacks it
    bool loaded = false;
    QMutex mutex;

    // The holder backend_name uses; null while it is not set.
    NetworkHolder* holder() const;
    // Leaves only the holder of the backend's kind, empty.
    void make_holder(Backend backend);

    // Classification
    double threshold = 0.5; // 0..1
    int top = 1;            // at most this many results
    bool upsampling = false; // guide maps at the network's input size, not the map layer's

    // Drawing
    bool result_drawing = true;
    bool draw_roi = false;
    bool text_drawing = true;
    bool show_confidence = true;
    int rect_thickness = 10;
    double font_scale = 1.2;
    int font_thickness = 2;
    int txt_offset = 10;

    // Results of the latest infer(): one 8-bit one-channel map per returned pair, all of one
    // size: the class activation map of that pair's class, min-max scaled to 0..255.
    std::vector<cv::Mat> guide_maps;
    QStringList class_names;
    std::vector<cv::Scalar> class_colors; // by class index, B, G, R
    // The pairs the latest infer() returned, which draw_boxes() annotates.
    std::vector<std::pair<int, float> > last_results;
    // Every class's score of the latest infer(), by class index; empty after one that failed.
    std::vector<float> last_scores;
    // Why the latest infer() returned nothing; empty after one that gave results.
    QString infer_error;

    // Loads the model folder (its "test.cfg" or only .cfg, "train.weights", "names.list") on
    // backend. Everything is checked and built first; only then, under `mutex`, the network
    // replaces whatever this configuration held, in the holder of the backend's kind. On
    // failure returns false with the reason in error and leaves the configuration as it was.
    bool load(const QString& folder, const QString& backend, QString* error = nullptr);

    // Classifies an 8-bit BGR image (grey and BGRA are converted): (class index, score 0..1)
    // pairs sorted by score, at most `top` (at least one) of them, and one guide map per pair
    // in `guide_maps`. Returns nothing, with a debug message, for an empty or unsupported image
    // or when no network is loaded. Never throws.
    std::vector<std::pair<int, float> > infer(cv::Mat& image);

    // Draws onto an 8-bit BGR image the latest results whose score reaches `threshold`: with
    // `text_drawing` their names (and percentages with `show_confidence`) in their class
    // colours, from the top-left corner `txt_offset` pixels in; with `result_drawing` a frame of
    // `rect_thickness` round the picture in the best one's colour; with `draw_roi` a box round
    // each one's guide-map region. Never throws.
    void draw_boxes(cv::Mat& image);

private:
    std::unique_ptr<ClassifRuntime> runtime;
};
