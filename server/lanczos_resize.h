#pragma once

#include <opencv2/core.hpp>

// cv::resize with INTER_LANCZOS4, to the same pixels, for 8-bit pictures: the same
// coefficients and fixed-point sums, but the vertical pass (OpenCV's is not vectorised, and it
// is most of the work when a small guide map is enlarged to the picture) runs vectorised on
// all cores. Other depths go to cv::resize itself.
class LanczosResize
{
public:
    static cv::Mat resize(const cv::Mat& source, const cv::Size& size);
};
