// The annotation ClassifConfig draws over a classified picture.
#include "classif_config.h"
#include "score_percent.h"

#include <QDebug>

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

// The region a guide map marks (its upper half of values), in the picture's coordinates.
cv::Rect guideMapRegion(const cv::Mat& map, const cv::Size& picture)
{
    if (map.empty() || map.type() != CV_8UC1)
        return cv::Rect();
    const cv::Rect box = cv::boundingRect(map > 127);
    if (box.area() == 0)
        return cv::Rect();
    const double sx = double(picture.width) / map.cols;
    const double sy = double(picture.height) / map.rows;
    return cv::Rect(cv::Point(int(box.x * sx), int(box.y * sy)),
                    cv::Point(int((box.x + box.width) * sx), int((box.y + box.height) * sy)));
}

// Text stays readable on any background with a dark rim under it.
void outlinedText(cv::Mat& image, const std::string& text, const cv::Point& origin, double scale, int thickness,
                  const cv::Scalar& color)
{
    cv::putText(image, text, origin, kFont, scale, cv::Scalar::all(0), thickness + 2, cv::LINE_AA);
    cv::putText(image, text, origin, kFont, scale, color, thickness, cv::LINE_AA);
}

} // namespace

void ClassifConfig::draw_boxes(cv::Mat& image)
{
    try {
        if (image.empty() || image.type() != CV_8UC3)
            return;
        std::vector<size_t> passed;
        for (size_t i = 0; i < last_results.size(); ++i)
            if (double(last_results[i].second) >= threshold)
                passed.push_back(i);
        if (passed.empty())
            return;

        const auto colorOf = [this](int index) {
            return index >= 0 && index < int(class_colors.size()) ? class_colors[index] : cv::Scalar::all(255);
        };
        const auto nameOf = [this](int index) {
            return index >= 0 && index < class_names.size() ? class_names[index] : QString("#%1").arg(index);
        };

        const int frame = std::max(1, rect_thickness);
        if (draw_roi) {
            for (const size_t i : passed) {
                const cv::Rect region = i < guide_maps.size() ? guideMapRegion(guide_maps[i], image.size()) : cv::Rect();
                if (region.area() > 0)
                    cv::rectangle(image, region, colorOf(last_results[i].first), frame);
            }
        }
        if (result_drawing) {
            // Twice as thick on the border line, so that exactly `frame` pixels stay visible.
            cv::rectangle(image, cv::Point(0, 0), cv::Point(image.cols - 1, image.rows - 1),
                          colorOf(last_results[passed.front()].first), 2 * frame);
        }
        if (text_drawing && font_scale > 0) {
            const int thickness = std::max(1, font_thickness);
            const int inset = txt_offset + (result_drawing ? frame : 0);
            int y = inset;
            for (const size_t i : passed) {
                QString text = nameOf(last_results[i].first);
                if (show_confidence)
                    text += QString(" %1%").arg(ScorePercent::truncated(last_results[i].second), 0, 'f', 2);
                const std::string line = text.toStdString();
                int baseline = 0;
                const cv::Size size = cv::getTextSize(line, kFont, font_scale, thickness, &baseline);
                y += size.height;
                outlinedText(image, line, cv::Point(inset, y), font_scale, thickness, colorOf(last_results[i].first));
                y += baseline + size.height / 2;
            }
        }
    } catch (const cv::Exception& e) {
        qDebug().noquote() << "classifier: drawing failed:" << QString::fromStdString(e.msg);
    } catch (...) {
        qDebug().noquote() << "classifier: drawing failed";
    }
}
