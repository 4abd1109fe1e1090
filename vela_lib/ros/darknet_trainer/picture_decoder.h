#pragma once

#include <opencv2/core.hpp>

#include <string>

// A training picture as decoded: possibly at 1/2, 1/4 or 1/8 of its size, with what the
// augmentation needs to place its crop in the original's coordinates.
struct DecodedPicture
{
    cv::Mat bgr;
    cv::Size original; // size of the picture in its file
    int reduction = 1; // bgr holds pixel blocks of reduction x reduction of the original

    bool empty() const { return bgr.empty(); }
    size_t bytes() const { return bgr.total() * bgr.elemSize(); }
};

// Decodes pictures no larger than the augmentation can use: a JPEG is decoded at the largest
// reduction whose shorter side still reaches neededShorterSide, the largest scaled side the
// augmentation draws, so no detail the network could see is lost. Other formats, and every
// picture when VELA_TRAINER_DECODE=full is set, are decoded whole.
class PictureDecoder
{
public:
    explicit PictureDecoder(int neededShorterSide);

    // An empty picture when the file cannot be read.
    DecodedPicture read(const std::string& path) const;

    // The largest of 1, 2, 4, 8 whose reduced picture (sides rounded up) keeps a shorter side
    // of at least neededShorterSide.
    static int reductionFor(const cv::Size& original, int neededShorterSide);

    // The size a baseline or progressive JPEG file declares; false for anything else.
    static bool jpegSize(const std::string& path, cv::Size* size);

private:
    const int neededShorterSide;
    const bool reduce;
};
