#pragma once

#include <opencv2/core.hpp>

#include <vector>

// PNG encoding of 8-bit pictures on all cores. The rows are filtered as OpenCV's default
// encoder filters them (each byte less its left neighbour) and deflated with run-length
// matching, as zlib's Z_RLE strategy does, in horizontal strips that are compressed at once and
// joined into one zlib stream. Any PNG reader gives back exactly the pixels given.
class PngEncoder
{
public:
    // True when `image` is 8-bit with 1, 3 or 4 channels (grey, BGR, BGRA), the kinds encoded here.
    static bool handles(const cv::Mat& image);
    // The whole PNG file; false when the image is not one it handles.
    static bool encode(const cv::Mat& image, std::vector<uchar>& png);
};
