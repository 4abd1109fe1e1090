#include "training_report_picture.h"

#include "training_report.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <vector>

namespace TrainingReportPicture {

namespace {

const cv::Scalar kInk(40, 40, 40);
const cv::Scalar kGrid(225, 225, 225);
const cv::Scalar kLoss(180, 90, 20);      // blue
const cv::Scalar kBatch(60, 160, 240);    // orange
const cv::Scalar kValid(60, 150, 30);     // green
const cv::Scalar kBest(30, 30, 220);      // red
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void text(cv::Mat& image, const std::string& words, cv::Point at, double scale = 0.5, const cv::Scalar& colour = kInk,
          int thickness = 1)
{
    cv::putText(image, words, at, kFont, scale, colour, thickness, cv::LINE_AA);
}

int textWidth(const std::string& words, double scale)
{
    int baseline = 0;
    return cv::getTextSize(words, kFont, scale, 1, &baseline).width;
}

// A name cut to fit width pixels, with ".." when shortened.
std::string fitted(const std::string& name, double scale, int width)
{
    std::string shown = name.empty() ? std::string("(no name)") : name;
    if (textWidth(shown, scale) <= width)
        return shown;
    while (shown.size() > 1 && textWidth(shown + "..", scale) > width)
        shown.pop_back();
    return shown + "..";
}

struct Axes
{
    cv::Rect area;
    double x0 = 0, x1 = 1;
    double lossMax = 1;

    int x(double iteration) const { return area.x + int(std::lround((iteration - x0) / (x1 - x0) * area.width)); }
    int yLoss(double loss) const { return area.y + area.height - int(std::lround(loss / lossMax * area.height)); }
    int yShare(double share) const { return area.y + area.height - int(std::lround(share * area.height)); }
};

Axes axesFor(const TrainingReport& report, const cv::Rect& area)
{
    Axes axes;
    axes.area = area;
    double first = 1e300, last = -1e300, lossMax = 0;
    for (const auto& p : report.series()) {
        first = std::min(first, double(p.iteration));
        last = std::max(last, double(p.iteration));
        if (std::isfinite(p.averageLoss))
            lossMax = std::max(lossMax, p.averageLoss);
    }
    for (const auto& e : report.evaluations()) {
        first = std::min(first, double(e.iteration));
        last = std::max(last, double(e.iteration));
    }
    if (first > last)
        first = 0, last = 1;
    if (last - first < 1)
        last = first + 1;
    axes.x0 = first;
    axes.x1 = last;
    axes.lossMax = lossMax > 0 ? lossMax * 1.1 : 1;
    return axes;
}

void drawFrame(cv::Mat& image, const Axes& a)
{
    for (int i = 0; i <= 4; ++i) {
        const int y = a.area.y + a.area.height * i / 4;
        cv::line(image, {a.area.x, y}, {a.area.x + a.area.width, y}, kGrid, 1);
        text(image, format("%.3g", a.lossMax * (4 - i) / 4), {a.area.x - 58, y + 5}, 0.45, kLoss);
        text(image, format("%.0f %%", 100.0 * (4 - i) / 4), {a.area.x + a.area.width + 8, y + 5}, 0.45, kValid);
    }
    for (int i = 0; i <= 4; ++i) {
        const double iteration = a.x0 + (a.x1 - a.x0) * i / 4;
        const std::string label = format("%.0f", iteration);
        text(image, label, {a.x(iteration) - textWidth(label, 0.45) / 2, a.area.y + a.area.height + 22}, 0.45);
    }
    cv::rectangle(image, a.area, kInk, 1);
    text(image, "iteration", {a.area.x + a.area.width / 2 - 35, a.area.y + a.area.height + 45}, 0.5);
}

void drawCurves(cv::Mat& image, const TrainingReport& report, const Axes& a)
{
    std::vector<cv::Point> loss, batch;
    for (const auto& p : report.series()) {
        if (std::isfinite(p.averageLoss))
            loss.emplace_back(a.x(double(p.iteration)), a.yLoss(std::min(p.averageLoss, a.lossMax)));
        batch.emplace_back(a.x(double(p.iteration)), a.yShare(p.accuracy));
    }
    cv::polylines(image, batch, false, kBatch, 1, cv::LINE_AA);
    cv::polylines(image, loss, false, kLoss, 2, cv::LINE_AA);
    for (const auto& e : report.evaluations())
        cv::circle(image, {a.x(double(e.iteration)), a.yShare(e.top1)}, 5, kValid, cv::FILLED, cv::LINE_AA);
    if (report.bestIndex() >= 0) {
        const auto& b = report.evaluations()[size_t(report.bestIndex())];
        const cv::Point at(a.x(double(b.iteration)), a.yShare(b.top1));
        cv::circle(image, at, 10, kBest, 2, cv::LINE_AA);
        const std::string label = format("best %.2f %%", 100.0 * b.top1);
        const int x = std::min(at.x + 12, a.area.x + a.area.width - textWidth(label, 0.5) - 4);
        // Above the ring, or below it when the ring sits at the top of the plot.
        const int y = at.y - 14 < a.area.y + 18 ? at.y + 28 : at.y - 14;
        text(image, label, {x, y}, 0.55, kBest, 1);
    }
}

void drawLegend(cv::Mat& image, const TrainingReport& report, cv::Point at)
{
    const auto entry = [&](const cv::Scalar& colour, const std::string& label, bool dot) {
        if (dot)
            cv::circle(image, {at.x + 10, at.y - 5}, 5, colour, cv::FILLED, cv::LINE_AA);
        else
            cv::line(image, {at.x, at.y - 5}, {at.x + 20, at.y - 5}, colour, 2, cv::LINE_AA);
        text(image, label, {at.x + 26, at.y}, 0.5);
        at.x += 40 + textWidth(label, 0.5);
    };
    entry(kLoss, "avg loss (left)", false);
    entry(kBatch, "batch accuracy (right)", false);
    if (report.hasValidation())
        entry(kValid, "validation top-1 (right)", true);
}

// White through blue by the share of the row's images in the cell.
cv::Scalar cellColour(double share)
{
    const double s = std::clamp(share, 0.0, 1.0);
    return cv::Scalar(255 - 75 * s, 255 - 185 * s, 255 - 215 * s);
}

void drawConfusion(cv::Mat& image, const TrainingReport& report, const cv::Rect& area)
{
    const ValidationResult& best = report.bestResult();
    const int k = int(best.confusion.size());
    text(image, "confusion (rows true, columns predicted)", {area.x, area.y - 36}, 0.55);
    if (k == 0) {
        text(image, "no evaluation yet", {area.x, area.y + 20}, 0.55);
        return;
    }
    const int labelWidth = 130;
    const int cell = std::max(4, std::min(80, std::min(area.width - labelWidth, area.height - 20) / k));
    const int left = area.x + labelWidth;
    const int top = area.y;
    const double nameScale = std::clamp(cell / 40.0, 0.3, 0.45);
    for (int r = 0; r < k; ++r) {
        const int rowTotal = std::accumulate(best.confusion[size_t(r)].begin(), best.confusion[size_t(r)].end(), 0);
        const std::string name = r < int(report.classes().size()) ? report.classes()[size_t(r)] : std::to_string(r);
        if (cell >= 10)
            text(image, fitted(std::to_string(r) + " " + name, nameScale, labelWidth - 8),
                 {area.x, top + r * cell + cell / 2 + 5}, nameScale);
        for (int c = 0; c < k; ++c) {
            const int n = best.confusion[size_t(r)][size_t(c)];
            const cv::Rect box(left + c * cell, top + r * cell, cell, cell);
            cv::rectangle(image, box, cellColour(rowTotal > 0 ? double(n) / rowTotal : 0), cv::FILLED);
            cv::rectangle(image, box, r == c ? kValid : kGrid, 1);
            if (cell >= 22 && n > 0) {
                const std::string count = std::to_string(n);
                const double scale = std::min(0.6, cell / 50.0);
                const bool dark = rowTotal > 0 && double(n) / rowTotal > 0.55;
                text(image, count, {box.x + (cell - textWidth(count, scale)) / 2, box.y + cell / 2 + 5}, scale,
                     dark ? cv::Scalar(255, 255, 255) : kInk);
            }
        }
    }
    // Columns carry the class numbers; the row labels name them.
    if (cell >= 14) {
        for (int c = 0; c < k; ++c) {
            const std::string number = std::to_string(c);
            text(image, number, {left + c * cell + (cell - textWidth(number, 0.4)) / 2, top - 8}, 0.4);
        }
    }
    text(image, format("%.0f images", double(best.images)) +
                    (best.skipped > 0 ? ", " + std::to_string(best.skipped) + " unreadable" : std::string()) +
                    ", iteration " + std::to_string(best.iteration),
         {area.x, top + k * cell + 24}, 0.5);
}

std::string title(const TrainingReport& report)
{
    std::string words = report.model() + "   iteration " + std::to_string(report.iterations()) + "   " +
                        std::to_string(report.images()) + " images   " + format("%.0f s", report.wallSeconds());
    if (report.bestIndex() >= 0) {
        const auto& b = report.evaluations()[size_t(report.bestIndex())];
        words += "   validation best " + format("%.2f %%", 100.0 * b.top1) + " at " + std::to_string(b.iteration);
    }
    return words;
}

cv::Mat draw(const TrainingReport& report)
{
    cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(255, 255, 255));
    text(image, title(report), {20, 34}, 0.65, kInk, 1);
    const bool split = report.hasValidation();
    const cv::Rect plot(80, 110, split ? 560 : 1040, 590);
    drawLegend(image, report, {80, 80});
    drawFrame(image, axesFor(report, plot));
    drawCurves(image, report, axesFor(report, plot));
    if (split)
        drawConfusion(image, report, cv::Rect(720, 150, 460, 590));
    return image;
}

} // namespace

bool encode(const TrainingReport& report, std::string* png)
{
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(".png", draw(report), bytes))
            return false;
    } catch (const cv::Exception&) {
        return false;
    }
    png->assign(bytes.begin(), bytes.end());
    return true;
}

} // namespace TrainingReportPicture
