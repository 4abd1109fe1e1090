#include "darknet_input.h"

#include <vector>

cv::Size DarknetInput::blobSize() const
{
    return crop.present ? cv::Size(crop.width, crop.height) : cv::Size(netWidth, netHeight);
}

cv::Mat DarknetInput::resizePlane(const cv::Mat& plane, int width, int height)
{
    CV_Assert(plane.type() == CV_32FC1 && width > 0 && height > 0);
    if (plane.cols == width && plane.rows == height)
        return plane.clone();
    const int srcW = plane.cols;
    const int srcH = plane.rows;
    // The arithmetic follows darknet's resize_image step by step, in single precision, so
    // that both give the same numbers.
    const float wScale = width > 1 ? float(srcW - 1) / float(width - 1) : 0.f;
    const float hScale = height > 1 ? float(srcH - 1) / float(height - 1) : 0.f;

    cv::Mat part(srcH, width, CV_32FC1);
    for (int r = 0; r < srcH; ++r) {
        const float* in = plane.ptr<float>(r);
        float* out = part.ptr<float>(r);
        for (int c = 0; c < width; ++c) {
            if (c == width - 1 || srcW == 1) {
                out[c] = in[srcW - 1];
            } else {
                const float sx = c * wScale;
                const int ix = int(sx);
                const float dx = sx - ix;
                out[c] = (1 - dx) * in[ix] + dx * in[ix + 1];
            }
        }
    }

    cv::Mat resized(height, width, CV_32FC1);
    for (int r = 0; r < height; ++r) {
        const float sy = r * hScale;
        const int iy = int(sy);
        const float dy = sy - iy;
        const float* top = part.ptr<float>(iy);
        float* out = resized.ptr<float>(r);
        for (int c = 0; c < width; ++c)
            out[c] = (1 - dy) * top[c];
        if (r == height - 1 || srcH == 1)
            continue;
        const float* bottom = part.ptr<float>(iy + 1);
        for (int c = 0; c < width; ++c)
            out[c] += dy * bottom[c];
    }
    return resized;
}

cv::Mat DarknetInput::blob(const cv::Mat& bgr) const
{
    CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty() && netWidth > 0 && netHeight > 0);
    std::vector<cv::Mat> channels;
    cv::split(bgr, channels);

    const cv::Size out = blobSize();
    const int dx = crop.present ? (netWidth - crop.width) / 2 : 0;
    const int dy = crop.present ? (netHeight - crop.height) / 2 : 0;
    const float scale = crop.present ? crop.scale : 1.f;
    const float shift = crop.present ? crop.shift : 0.f;

    const int size[] = {1, 3, out.height, out.width};
    cv::Mat blob(4, size, CV_32F);
    for (int rgb = 0; rgb < 3; ++rgb) {
        cv::Mat plane;
        channels[2 - rgb].convertTo(plane, CV_32F, 1.0 / 255.0);
        const cv::Mat resized = resizePlane(plane, netWidth, netHeight);
        cv::Mat target(out, CV_32F, blob.ptr<float>(0, rgb));
        resized(cv::Rect(cv::Point(dx, dy), out)).convertTo(target, CV_32F, scale, shift);
    }
    return blob;
}
