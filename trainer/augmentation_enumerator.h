#pragma once

#include "augmentation_settings.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <functional>
#include <vector>

// Enumerates the augmented variants of one source image: every combination of noise, blur
// (each followed by scaling to 608 x 608), rotation, contrast and mirroring that the settings
// span, outermost first, leaving out the untouched image. Touches no widget and shares no state,
// so worker threads may run it side by side.
//
// Stopping: keepRunning is asked at the start of every noise, blur, rotation and contrast pass;
// once it answers false those loops end, so the mirror variants of the pass under way are still
// produced and nothing after them.
class AugmentationEnumerator
{
public:
    using KeepRunning = std::function<bool()>;
    // Receives each variant in order; it owns the pixels (no other variant shares them).
    using VariantSink = std::function<void(cv::Mat variant)>;

    // Feeds each variant to sink as soon as it exists; returns how many there were. The source
    // may be of any depth and channel count: it is taken as 8-bit BGR first. An empty source
    // gives nothing.
    static int enumerate(const cv::Mat& source, const AugmentationSettings& settings,
                         const KeepRunning& keepRunning, const VariantSink& sink);
    // The same, stopped by clearing running (from any thread).
    static int enumerate(const cv::Mat& source, const AugmentationSettings& settings,
                         const std::atomic<bool>& running, const VariantSink& sink);

    // The variants as a list, in order. afterEach, when given, runs after every append (the
    // editor processes pending events there, which is how a stop request reaches it).
    static std::vector<cv::Mat> collect(const cv::Mat& source, const AugmentationSettings& settings,
                                        const KeepRunning& keepRunning,
                                        const std::function<void()>& afterEach = {});
    static std::vector<cv::Mat> collect(const cv::Mat& source, const AugmentationSettings& settings,
                                        const std::atomic<bool>& running);

    // How many variants the settings give for one source when nothing stops them.
    static long long count(const AugmentationSettings& settings);
};
