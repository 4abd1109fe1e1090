#pragma once

#include <QString>

#include <opencv2/core.hpp>

// Reading a picture that someone else named: missing files, folders, special files, damaged or
// foreign data and pictures too large for memory all come back as an empty image, never as a
// crash, an exception or a process that the kernel kills for its memory.
class PictureFile
{
public:
    // No picture with more pixels than this is decoded, whatever memory is free.
    static constexpr qint64 kMaxPixels = qint64(1) << 27;

    // The largest picture, in pixels, that may be decoded now.
    static qint64 pixelBudget();
    // The file as an 8-bit BGR image, or an empty image.
    static cv::Mat readColour(const QString& path);
    // The size that gives the longer side `longSide` pixels (each side truncated); empty when
    // the shorter side would fall below one pixel.
    static cv::Size scaledToLongSide(const cv::Size& size, int longSide);
};
