// The class map: guide maps of the passed results turned into one coloured overlay, region
// outlines and the library's own annotation, drawn over the tested picture.
#include "dialog_derarodizir_v2.h"
#include "ui_dialog_derarodizir_v2.h"

#include "classif_config.h"

#include <QDebug>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>

namespace {

// Outlines of one passed result, by its position in the results.
struct Boundary
{
    int position = 0;
    std::vector<std::vector<cv::Point> > contours;
    std::vector<cv::Vec4i> hierarchy;
};

// OpenCV refuses thicker lines; at this picture size a thicker one would cover it all anyway.
constexpr int kMaxLineThickness = 32767;
// A resized mask keeps a pixel where the smoothed value exceeds this.
constexpr int kResizedMaskThreshold = 50;
constexpr int kDefaultColourMap = 2;

cv::Size guideMapSize(const QList<cv::Mat>& maps)
{
    for (const cv::Mat& map : maps)
        if (!map.empty())
            return map.size();
    return cv::Size();
}

bool usableGuideMap(const cv::Mat& map, const cv::Size& size)
{
    return !map.empty() && map.type() == CV_8UC1 && map.size() == size;
}

void drawOutlines(cv::Mat& image, const Boundary& boundary, const cv::Scalar& colour, int thickness)
{
    if (boundary.contours.empty())
        return;
    // One top-level contour at a time, following each contour's "next" link.
    for (int index = 0; index >= 0; index = boundary.hierarchy[size_t(index)][0])
        cv::drawContours(image, boundary.contours, index, colour, thickness, cv::LINE_8, boundary.hierarchy, INT_MAX);
}

} // namespace

void DialogDeraRodizir_v2::set_up_parameter(ClassifConfig* config)
{
    const QJsonObject state = saveState();
    config->threshold = state["thresh"].toInt() / 100.0;
    config->result_drawing = state["result_drawing"].toBool();
    config->draw_roi = state["draw_roi"].toBool();
    config->text_drawing = true;
    config->show_confidence = state["show_confidence"].toBool();
    config->rect_thickness = state["rect_thickness"].toInt();
    config->font_scale = state["font_scale"].toDouble();
    config->font_thickness = state["font_thickness"].toInt();
    config->txt_offset = state["txt_offset"].toInt();
    config->top = state["top"].toInt();
    config->upsampling = state["upsampling"].toBool();
}

void DialogDeraRodizir_v2::on_comboBox_color_map_currentIndexChanged(int index)
{
    if (index >= 0 && index < color_maps.size())
        ui->label_color_map->setText(color_maps.at(index).first);
}

void DialogDeraRodizir_v2::genClassMap()
{
    const QJsonObject state = saveState();
    const int g = state["gm_thresh"].toInt();
    int colourMap = state["color_map"].toInt();
    if (colourMap < 0 || colourMap >= color_maps.size())
        colourMap = kDefaultColourMap;
    const bool maskMode = state["mask_mode"].toBool();
    const float alpha = float(state["alpha"].toDouble());
    const float beta = float(state["beta"].toDouble());
    const bool boundaries = state["bn"].toBool();
    const int boundaryThickness = std::min(state["bn_size"].toInt(), kMaxLineThickness);
    const bool annotate = state["gm_result_drawing"].toBool();
    const QList<int> passedPositions = passed;

    result_image.release();
    if (test_image.empty())
        return;

    const cv::Size mapSize = guideMapSize(guide_maps);
    if (mapSize.empty()) {
        // Without guide maps there is nothing to colour: the picture and the annotation.
        result_image = test_image.clone();
    } else {
        cv::Mat accumulator = cv::Mat::zeros(mapSize, CV_8UC1);
        std::vector<Boundary> boundary_sets;
        for (int i = 0; i < guide_maps.size(); ++i) {
            if (!passedPositions.contains(i))
                continue;
            cv::Mat& map = guide_maps[i];
            if (usableGuideMap(map, mapSize)) {
                cv::Mat mask;
                cv::threshold(map, mask, g, 255, cv::THRESH_BINARY);
                cv::Mat kept = cv::Mat::zeros(mapSize, CV_8UC1);
                map.copyTo(kept, mask);
                cv::max(accumulator, kept, accumulator);
                if (boundaries) {
                    cv::Mat outline;
                    cv::resize(mask, outline, test_image.size(), 0, 0, cv::INTER_LANCZOS4);
                    cv::threshold(outline, outline, kResizedMaskThreshold, 255, cv::THRESH_BINARY);
                    Boundary boundary;
                    boundary.position = i;
                    cv::findContours(outline, boundary.contours, boundary.hierarchy, cv::RETR_EXTERNAL,
                                     cv::CHAIN_APPROX_SIMPLE);
                    boundary_sets.push_back(std::move(boundary));
                }
            }
            map.release();
        }

        cv::Mat region;
        cv::threshold(accumulator, region, g, 255, cv::THRESH_BINARY);
        cv::Mat colour;
        cv::applyColorMap(accumulator, colour, colourMap);
        cv::Mat overlay = cv::Mat::zeros(mapSize, CV_8UC3);
        if (maskMode)
            colour.copyTo(overlay, region);
        else
            colour.copyTo(overlay);
        cv::resize(overlay, overlay, test_image.size(), 0, 0, cv::INTER_LANCZOS4);
        cv::addWeighted(test_image, double(beta), overlay, double(alpha), 0.0, result_image);

        // Last to first, so that the first passed result's outline ends on top.
        for (auto it = boundary_sets.rbegin(); it != boundary_sets.rend(); ++it) {
            if (size_t(it->position) >= results.size())
                continue;
            const int classIndex = results[size_t(it->position)].first;
            if (classIndex < 0 || size_t(classIndex) >= class_colors.size())
                continue;
            drawOutlines(result_image, *it, class_colors[size_t(classIndex)], boundaryThickness);
        }
    }

    if (annotate && current_config) {
        try {
            current_config->draw_boxes(result_image);
        } catch (const cv::Exception& error) {
            qDebug().noquote() << "annotation not drawn:" << error.what();
        }
    }
}
