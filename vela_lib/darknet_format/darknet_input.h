#pragma once

#include "leading_crop.h"

#include <opencv2/core.hpp>

// Prepares a picture the way darknet's classifier prediction does, so that a network trained by
// darknet sees what it saw in training: RGB planes scaled to 0..1, resized to the [net] size
// with darknet's own bilinear resize (corner-aligned, rows then columns), and, for a network
// that starts with a [crop], its centre cut out and mapped to -1..1.
class DarknetInput
{
public:
    DarknetInput() = default;
    DarknetInput(int width, int height, const LeadingCrop& crop)
        : netWidth(width), netHeight(height), crop(crop) {}

    // An 8-bit BGR picture to a 1x3xHxW float blob of the network's input size.
    cv::Mat blob(const cv::Mat& bgr) const;

    // Darknet's resize of one float plane.
    static cv::Mat resizePlane(const cv::Mat& plane, int width, int height);

    // The size of the blob: the [net] size, or the crop's.
    cv::Size blobSize() const;

private:
    int netWidth = 0;
    int netHeight = 0;
    LeadingCrop crop;
};
