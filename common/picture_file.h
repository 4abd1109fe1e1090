#pragma once

#include "atomic_file.h"

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

    enum class Ending {
        // As the decoder gives it: a file cut short comes back with its missing part made up.
        AsDecoded,
        // A file cut short (a JPEG whose segments or last scan do not reach its end-of-image
        // marker, a PNG without its end chunk) is no picture: what is made of it must not be
        // made up. Whatever follows a whole picture (a motion photo's video) is no part of it.
        Whole,
    };

    // True when the encoded picture ends before its format says it does.
    static bool isCutShort(const QByteArray& bytes);
    // The largest picture, in pixels, that may be decoded now.
    static qint64 pixelBudget();
    // Why the file is not decoded for its size ("its header declares W x H pixels, more than
    // the N that may be decoded"), or empty when its header declares no more than pixelBudget().
    static QString sizeRefusal(const QString& path);
    // The file as an 8-bit BGR image, or an empty image. A picture refused for its size is
    // named in a warning.
    static cv::Mat readColour(const QString& path, Ending ending = Ending::AsDecoded);
    // Encodes by the path's extension and writes the file whole. Unsynced by default: a lost
    // training image is made again by the next generation.
    static bool write(const QString& path, const cv::Mat& image,
                      AtomicFile::Durability durability = AtomicFile::Durability::Unsynced);
    // The size that gives the longer side `longSide` pixels (each side truncated); empty when
    // the shorter side would fall below one pixel.
    static cv::Size scaledToLongSide(const cv::Size& size, int longSide);
};
