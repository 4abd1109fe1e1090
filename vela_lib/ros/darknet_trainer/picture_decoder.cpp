#include "picture_decoder.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

int flagsFor(int reduction)
{
    switch (reduction) {
    case 2: return cv::IMREAD_REDUCED_COLOR_2;
    case 4: return cv::IMREAD_REDUCED_COLOR_4;
    case 8: return cv::IMREAD_REDUCED_COLOR_8;
    default: return cv::IMREAD_COLOR;
    }
}

bool fullDecodeWanted()
{
    const char* value = std::getenv("VELA_TRAINER_DECODE");
    return value && std::strcmp(value, "full") == 0;
}

} // namespace

PictureDecoder::PictureDecoder(int neededShorterSide)
    : neededShorterSide(neededShorterSide), reduce(!fullDecodeWanted())
{
}

int PictureDecoder::reductionFor(const cv::Size& original, int neededShorterSide)
{
    int reduction = 1;
    for (int k : {2, 4, 8}) {
        const int shorter = std::min((original.width + k - 1) / k, (original.height + k - 1) / k);
        if (shorter < neededShorterSide)
            break;
        reduction = k;
    }
    return reduction;
}

bool PictureDecoder::jpegSize(const std::string& path, cv::Size* size)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file || std::fgetc(file.get()) != 0xFF || std::fgetc(file.get()) != 0xD8)
        return false;
    // Markers up to the frame header; each segment but the fill bytes says its length.
    for (;;) {
        int marker = std::fgetc(file.get());
        if (marker != 0xFF)
            return false;
        while (marker == 0xFF)
            marker = std::fgetc(file.get());
        if (marker == EOF || marker == 0xD9 || marker == 0xDA)
            return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // no length
        unsigned char length[2];
        if (std::fread(length, 1, 2, file.get()) != 2)
            return false;
        const int segment = (length[0] << 8) | length[1];
        if (segment < 2)
            return false;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            unsigned char header[5];
            if (segment < 7 || std::fread(header, 1, 5, file.get()) != 5)
                return false;
            *size = cv::Size((header[3] << 8) | header[4], (header[1] << 8) | header[2]);
            return size->width > 0 && size->height > 0;
        }
        if (std::fseek(file.get(), segment - 2, SEEK_CUR) != 0)
            return false;
    }
}

DecodedPicture PictureDecoder::read(const std::string& path) const
{
    DecodedPicture picture;
    cv::Size declared;
    // EXIF orientation may turn the picture; the reduction only needs the shorter side, which
    // a quarter turn keeps.
    if (reduce && jpegSize(path, &declared))
        picture.reduction = reductionFor(declared, neededShorterSide);
    picture.bgr = cv::imread(path, flagsFor(picture.reduction));
    if (picture.bgr.empty())
        return DecodedPicture();
    if (picture.reduction == 1) {
        picture.original = picture.bgr.size();
    } else {
        // The decoder rounds the reduced sides up; a turned picture has its sides swapped.
        const bool turned = (picture.bgr.cols > picture.bgr.rows) != (declared.width > declared.height);
        picture.original = turned ? cv::Size(declared.height, declared.width) : declared;
    }
    return picture;
}
