// Draws the server's embedded pictures: the colour-map previews (OpenCV's colour maps 0..20
// applied to a left-to-right gradient) and the three backend icons. Run once; the pictures are
// committed under resources/. Build and run from the repository root:
//   g++ -std=c++17 tools/make_server_images.cpp -o /tmp/make_server_images $(pkg-config --cflags --libs opencv4)
//   /tmp/make_server_images resources
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>

namespace {

void writeColourMapPreviews(const std::string& folder)
{
    cv::Mat gradient(24, 256, CV_8UC1);
    for (int x = 0; x < gradient.cols; ++x)
        gradient.col(x).setTo(x);
    for (int map = 0; map <= cv::COLORMAP_TURBO; ++map) {
        cv::Mat preview;
        cv::applyColorMap(gradient, preview, map);
        cv::imwrite(folder + "/" + std::to_string(map) + ".jpg", preview, {cv::IMWRITE_JPEG_QUALITY, 90});
    }
}

void writeIcon(const std::string& path, const cv::Scalar& colour, const std::string& text)
{
    cv::Mat icon(48, 48, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    cv::rectangle(icon, cv::Rect(6, 6, 36, 36), colour, cv::FILLED, cv::LINE_AA);
    // Pins on every side: a chip.
    for (int i = 0; i < 4; ++i) {
        const int p = 11 + i * 8;
        cv::line(icon, {p, 1}, {p, 6}, colour, 2);
        cv::line(icon, {p, 42}, {p, 47}, colour, 2);
        cv::line(icon, {1, p}, {6, p}, colour, 2);
        cv::line(icon, {42, p}, {47, p}, colour, 2);
    }
    int baseline = 0;
    const double scale = text.size() > 2 ? 0.42 : 0.6;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, 1, &baseline);
    cv::putText(icon, text, {24 - size.width / 2, 24 + size.height / 2}, cv::FONT_HERSHEY_SIMPLEX, scale,
                cv::Scalar(255, 255, 255, 255), 1, cv::LINE_AA);
    cv::imwrite(path, icon);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string resources = argc > 1 ? argv[1] : "resources";
    writeColourMapPreviews(resources + "/color_map");
    writeIcon(resources + "/images/model/classif.png", cv::Scalar(40, 160, 60, 255), "GPU");
    writeIcon(resources + "/images/model/derarodizir_vulkan.png", cv::Scalar(40, 40, 190, 255), "VK");
    writeIcon(resources + "/images/model/derarodizir_cpu.png", cv::Scalar(170, 90, 30, 255), "CPU");
    return 0;
}
