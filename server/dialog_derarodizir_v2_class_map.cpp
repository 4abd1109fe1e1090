// The class map: guide maps of the passed results turned into one coloured overlay, region
// outlines and the library's own annotation, drawn over the tested picture.
#include "dialog_derarodizir_v2.h"
#include "ui_dialog_derarodizir_v2.h"

#include "classif_config.h"
#include "lanczos_resize.h"

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

// How the class map is drawn, as the dialog's saved state says.
struct ClassMapStyle
{
    int threshold = 0; // guide-map values above it belong to a region
    int colourMap = kDefaultColourMap;
    bool maskMode = false; // colour only the regions, not the whole map
    float alpha = 0.0f;    // weight of the overlay
    float beta = 0.0f;     // weight of the picture
    bool boundaries = false;
    int boundaryThickness = 0;
    bool annotate = false;
};

ClassMapStyle classMapStyle(const QJsonObject& state, int colourMapCount)
{
    ClassMapStyle style;
    style.threshold = state["gm_thresh"].toInt();
    style.colourMap = state["color_map"].toInt();
    if (style.colourMap < 0 || style.colourMap >= colourMapCount)
        style.colourMap = kDefaultColourMap;
    style.maskMode = state["mask_mode"].toBool();
    style.alpha = float(state["alpha"].toDouble());
    style.beta = float(state["beta"].toDouble());
    style.boundaries = state["bn"].toBool();
    style.boundaryThickness = std::min(state["bn_size"].toInt(), kMaxLineThickness);
    style.annotate = state["gm_result_drawing"].toBool();
    return style;
}

// The outlines of a guide map's region mask, scaled to the picture.
Boundary boundaryOf(const cv::Mat& mask, const cv::Size& pictureSize, int position)
{
    cv::Mat outline = LanczosResize::resize(mask, pictureSize);
    cv::threshold(outline, outline, kResizedMaskThreshold, 255, cv::THRESH_BINARY);
    Boundary boundary;
    boundary.position = position;
    cv::findContours(outline, boundary.contours, boundary.hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    return boundary;
}

// The passed guide maps merged: per pixel the largest value above the threshold.
struct MergedMaps
{
    cv::Mat accumulator;
    std::vector<std::pair<int, cv::Mat> > masks; // region masks of the usable passed maps, by position
};

// Merges the guide maps of the passed positions and releases them; the others stay.
MergedMaps mergePassedMaps(QList<cv::Mat>& maps, const QList<int>& passed, const cv::Size& mapSize,
                           const ClassMapStyle& style)
{
    MergedMaps merged;
    merged.accumulator = cv::Mat::zeros(mapSize, CV_8UC1);
    for (int i = 0; i < maps.size(); ++i) {
        if (!passed.contains(i))
            continue;
        cv::Mat& map = maps[i];
        if (usableGuideMap(map, mapSize)) {
            cv::Mat mask;
            cv::threshold(map, mask, style.threshold, 255, cv::THRESH_BINARY);
            cv::Mat kept = cv::Mat::zeros(mapSize, CV_8UC1);
            map.copyTo(kept, mask);
            cv::max(merged.accumulator, kept, merged.accumulator);
            if (style.boundaries)
                merged.masks.emplace_back(i, mask);
        }
        map.release();
    }
    return merged;
}

// The coloured accumulator (only its regions in mask mode), scaled to the picture.
cv::Mat colourOverlay(const cv::Mat& accumulator, const cv::Size& pictureSize, const ClassMapStyle& style)
{
    cv::Mat region;
    cv::threshold(accumulator, region, style.threshold, 255, cv::THRESH_BINARY);
    cv::Mat colour;
    cv::applyColorMap(accumulator, colour, style.colourMap);
    cv::Mat overlay = cv::Mat::zeros(accumulator.size(), CV_8UC3);
    if (style.maskMode)
        colour.copyTo(overlay, region);
    else
        colour.copyTo(overlay);
    return LanczosResize::resize(overlay, pictureSize);
}

// Each boundary in its result's class colour; last to first, so that the first passed result's
// outline ends on top. A boundary without a result or class colour is not drawn.
void drawBoundaries(cv::Mat& image, const std::vector<Boundary>& boundaries,
                    const std::vector<std::pair<int, float> >& results, const std::vector<cv::Scalar>& classColours,
                    int thickness)
{
    for (auto it = boundaries.rbegin(); it != boundaries.rend(); ++it) {
        if (size_t(it->position) >= results.size())
            continue;
        const int classIndex = results[size_t(it->position)].first;
        if (classIndex < 0 || size_t(classIndex) >= classColours.size())
            continue;
        drawOutlines(image, *it, classColours[size_t(classIndex)], thickness);
    }
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
    const ClassMapStyle style = classMapStyle(saveState(), color_maps.size());

    result_image.release();
    if (test_image.empty())
        return;

    const cv::Size mapSize = guideMapSize(guide_maps);
    if (mapSize.empty()) {
        // Without guide maps there is nothing to colour: the picture and the annotation.
        result_image = test_image.clone();
    } else {
        const MergedMaps merged = mergePassedMaps(guide_maps, passed, mapSize, style);
        // The overlay and each outline are scaled to the picture at once, on all cores.
        cv::Mat overlay;
        std::vector<Boundary> boundaries(merged.masks.size());
        cv::parallel_for_(cv::Range(0, int(boundaries.size()) + 1), [&](const cv::Range& range) {
            for (int task = range.start; task < range.end; ++task) {
                if (task == 0) {
                    overlay = colourOverlay(merged.accumulator, test_image.size(), style);
                } else {
                    const auto& mask = merged.masks[size_t(task - 1)];
                    boundaries[size_t(task - 1)] = boundaryOf(mask.second, test_image.size(), mask.first);
                }
            }
        });
        cv::addWeighted(test_image, double(style.beta), overlay, double(style.alpha), 0.0, result_image);
        drawBoundaries(result_image, boundaries, results, class_colors, style.boundaryThickness);
    }

    if (style.annotate && current_config) {
        try {
            current_config->draw_boxes(result_image);
        } catch (const cv::Exception& error) {
            qDebug().noquote() << "annotation not drawn:" << error.what();
        }
    }
}
