#pragma once

#include <QSize>
#include <QString>

// The width and height a picture file declares in its header, read without decoding a single
// pixel: a few hundred bytes of a PNG, JPEG, BMP, TIFF (BigTIFF too), WebP or PNM file. A file
// of some other format, or one whose header is damaged, gives an invalid size.
class PictureHeader
{
public:
    static QSize declaredSize(const QString& path);
};
