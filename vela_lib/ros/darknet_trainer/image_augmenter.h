#pragma once

#include "net_settings.h"
#include "picture_decoder.h"

#include <opencv2/core.hpp>

#include <random>
#include <string>

// The training-time jitter of darknet's classifier: a random scale (the shorter side drawn
// between minSide and maxSide), aspect change, rotation and shift, cropped to the network input,
// a horizontal flip half of the time, and hue, saturation and exposure changes.
struct Augmentation
{
    int width = 0;        // network input
    int height = 0;
    int minSide = 0;      // the scaled image's shorter side lies in [minSide, maxSide]
    int maxSide = 0;
    float angle = 0;      // degrees, either way
    float aspect = 1;     // stretch factor up to this, either way
    float hue = 0;        // shift, fraction of the hue circle, either way
    float saturation = 1; // factor up to this, either way
    float exposure = 1;   // factor up to this, either way
    bool center = false;  // centre crop instead of the random geometry

    // The jitter a network's [net] section asks for.
    static Augmentation of(const NetSettings& net);
};

class ImageAugmenter
{
public:
    explicit ImageAugmenter(const Augmentation& settings) : settings(settings) {}

    // Reads an image file as colour; an empty matrix when it cannot be read.
    static cv::Mat read(const std::string& path);

    // Writes the augmented image as darknet's input: planar R, G, B floats in [0, 1],
    // width x height each, at out.
    void augment(const cv::Mat& bgr, std::mt19937& rng, float* out) const;
    // The same for a picture decoded at reduced size: the crop is drawn and placed in the
    // original's coordinates, so it covers the region the whole picture would give.
    void augment(const DecodedPicture& picture, std::mt19937& rng, float* out) const;

    // The shorter side a picture needs for the largest crop these settings take.
    int largestScaledSide() const;

private:
    void geometry(const DecodedPicture& picture, std::mt19937& rng, cv::Mat& out) const;

    Augmentation settings;
};
