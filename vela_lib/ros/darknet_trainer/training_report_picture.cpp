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
    double lossStep = 0.25;

    int x(double iteration) const { return area.x + int(std::lround((iteration - x0) / (x1 - x0) * area.width)); }
    int yLoss(double loss) const { return area.y + area.height - int(std::lround(loss / lossMax * area.height)); }
    int yShare(double share) const { return area.y + area.height - int(std::lround(share * area.height)); }
};

// The 1-2-5 step that divides range into the number of parts nearest to `wanted`.
double roundStep(double range, int wanted)
{
    const double magnitude = std::pow(10.0, std::floor(std::log10(range / std::max(1, wanted))));
    double step = magnitude;
    for (const double m : {2.0, 5.0, 10.0})
        if (std::abs(range / (m * magnitude) - wanted) < std::abs(range / step - wanted))
            step = m * magnitude;
    return step;
}

// Decimals that show every multiple of a 1-2-5 step exactly.
int decimalsOf(double step)
{
    return step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9));
}

// The last iteration the picture plots: of a curve point or an evaluation.
double lastPlotted(const TrainingReport& report)
{
    double last = -1;
    if (!report.series().empty())
        last = double(report.series().back().iteration);
    for (const auto& e : report.evaluations())
        last = std::max(last, double(e.iteration));
    return last;
}

Axes axesFor(const TrainingReport& report, const cv::Rect& area)
{
    Axes axes;
    axes.area = area;
    double first = 1e300, lossMax = 0;
    for (const auto& p : report.series()) {
        first = std::min(first, double(p.iteration));
        if (std::isfinite(p.averageLoss))
            lossMax = std::max(lossMax, p.averageLoss);
    }
    for (const auto& e : report.evaluations())
        first = std::min(first, double(e.iteration));
    double last = lastPlotted(report);
    if (first > last)
        first = 0, last = 1;
    if (last - first < 1)
        last = first + 1;
    axes.x0 = first;
    axes.x1 = last;
    // The loss axis ends on a tick: a round multiple of its step above the largest loss.
    const double top = lossMax > 0 ? lossMax * 1.05 : 1;
    axes.lossStep = roundStep(top, 5);
    axes.lossMax = std::ceil(top / axes.lossStep - 1e-9) * axes.lossStep;
    return axes;
}

void drawFrame(cv::Mat& image, const Axes& a)
{
    const int left = a.area.x, right = a.area.x + a.area.width, bottom = a.area.y + a.area.height;
    for (int percent = 0; percent <= 100; percent += 20) {
        const int y = a.yShare(percent / 100.0);
        cv::line(image, {left, y}, {right, y}, kGrid, 1);
        text(image, format("%.0f %%", percent), {right + 8, y + 5}, 0.45, kValid);
    }
    const int decimals = decimalsOf(a.lossStep);
    for (int i = 0; i * a.lossStep <= a.lossMax * (1 + 1e-9); ++i) {
        const double loss = i * a.lossStep;
        const int y = a.yLoss(loss);
        cv::line(image, {left - 5, y}, {left, y}, kLoss, 1);
        char label[32];
        std::snprintf(label, sizeof label, "%.*f", decimals, loss);
        text(image, label, {left - 9 - textWidth(label, 0.45), y + 5}, 0.45, kLoss);
    }
    for (const double iteration : roundTicks(a.x0, a.x1, 5)) {
        if (iteration != std::floor(iteration))
            continue; // iterations are whole numbers
        const int x = a.x(iteration);
        cv::line(image, {x, a.area.y}, {x, bottom}, kGrid, 1);
        cv::line(image, {x, bottom}, {x, bottom + 5}, kInk, 1);
        const std::string label = format("%.0f", iteration);
        text(image, label, {x - textWidth(label, 0.45) / 2, bottom + 22}, 0.45);
    }
    cv::rectangle(image, a.area, kInk, 1);
    text(image, "iteration", {a.area.x + a.area.width / 2 - 35, bottom + 45}, 0.5);
}

// Pixel points of the curves and the validation dots, for drawing and for keeping the best
// label clear of them.
struct Plotted
{
    std::vector<cv::Point> loss, batch, valid;
};

Plotted plotted(const TrainingReport& report, const Axes& a)
{
    Plotted p;
    for (const auto& point : report.series()) {
        if (std::isfinite(point.averageLoss))
            p.loss.emplace_back(a.x(double(point.iteration)), a.yLoss(std::min(point.averageLoss, a.lossMax)));
        p.batch.emplace_back(a.x(double(point.iteration)), a.yShare(point.accuracy));
    }
    for (const auto& e : report.evaluations())
        p.valid.emplace_back(a.x(double(e.iteration)), a.yShare(e.top1));
    return p;
}

// Mixes colour into the pixels of box by weight (0..1).
void tint(cv::Mat& image, const cv::Rect& box, const cv::Scalar& colour, double weight)
{
    const cv::Rect inside = box & cv::Rect(0, 0, image.cols, image.rows);
    if (inside.area() <= 0)
        return;
    cv::Mat roi = image(inside);
    cv::addWeighted(roi, 1 - weight, cv::Mat(roi.size(), roi.type(), colour), weight, 0, roi);
}

Interval intervalOf(const TrainingReport::Evaluation& e)
{
    return wilson95(int(std::lround(e.top1 * e.images)), e.images);
}

constexpr int kLineHeight = 20;
constexpr int kLabelPadding = 5;
constexpr double kLabelScale = 0.5;

std::vector<std::string> bestLines(const TrainingReport& report)
{
    if (report.bestIndex() < 0)
        return {};
    const auto& b = report.evaluations()[size_t(report.bestIndex())];
    const Interval interval = intervalOf(b);
    std::vector<std::string> lines{format("best %.2f %%", 100.0 * b.top1) + " of " + std::to_string(b.images) +
                                   " images",
                                   format("95 %% interval %.0f", 100.0 * interval.low) +
                                       format("-%.0f %%", 100.0 * interval.high)};
    if (report.evaluations().size() > 1)
        lines.push_back("best of " + std::to_string(report.evaluations().size()) + " evaluations");
    return lines;
}

int pointsIn(const cv::Rect& box, const Plotted& p)
{
    int count = 0;
    for (const auto* points : {&p.loss, &p.batch, &p.valid})
        for (const cv::Point& point : *points)
            count += box.contains(point) ? 1 : 0;
    return count;
}

// Beside the ring and its interval bar, on the side where the fewest plotted points lie, inside
// the plot.
cv::Rect labelBox(const std::vector<std::string>& lines, const cv::Rect& marker, const Axes& a, const Plotted& p)
{
    const cv::Point ring(marker.x + marker.width / 2, marker.y + marker.height / 2);
    int width = 0;
    for (const auto& line : lines)
        width = std::max(width, textWidth(line, kLabelScale));
    const cv::Size size(width + 2 * kLabelPadding, int(lines.size()) * kLineHeight + kLabelPadding);
    const int gap = 16;
    const std::vector<cv::Point> corners{{ring.x + gap, ring.y - gap - size.height}, {ring.x + gap, ring.y + gap},
                                         {ring.x - gap - size.width, ring.y - gap - size.height},
                                         {ring.x - gap - size.width, ring.y + gap}};
    cv::Rect best;
    int fewest = -1;
    for (const cv::Point& corner : corners) {
        const cv::Point inside(std::clamp(corner.x, a.area.x + 2, a.area.x + a.area.width - size.width - 2),
                               std::clamp(corner.y, a.area.y + 2, a.area.y + a.area.height - size.height - 2));
        const cv::Rect box(inside, size);
        const int count = pointsIn(box, p) + ((box & marker).area() > 0 ? 1000 : 0);
        if (fewest < 0 || count < fewest)
            best = box, fewest = count;
    }
    return best;
}

// The 95 % interval of the best evaluation as a band across the plot (later points inside it
// are no worse than the best, as far as these images tell), and as a bar at the ringed point.
void drawBestInterval(cv::Mat& image, const TrainingReport::Evaluation& best, const Axes& a, bool band)
{
    const Interval interval = intervalOf(best);
    if (band) {
        tint(image, cv::Rect(cv::Point(a.area.x + 1, a.yShare(interval.high)),
                             cv::Point(a.area.x + a.area.width, a.yShare(interval.low) + 1)),
             kBest, 0.08);
        return;
    }
    const int x = a.x(double(best.iteration));
    cv::line(image, {x, a.yShare(interval.low)}, {x, a.yShare(interval.high)}, kBest, 2);
    for (const double share : {interval.low, interval.high})
        cv::line(image, {x - 6, a.yShare(share)}, {x + 6, a.yShare(share)}, kBest, 2);
}

// Drawn last, on its own background: nothing covers it.
void drawBestLabel(cv::Mat& image, const std::vector<std::string>& lines, const cv::Rect& box)
{
    cv::rectangle(image, box, cv::Scalar(255, 255, 255), cv::FILLED);
    cv::rectangle(image, box, kBest, 1);
    for (size_t i = 0; i < lines.size(); ++i)
        text(image, lines[i], {box.x + kLabelPadding, box.y + int(i + 1) * kLineHeight - 4}, kLabelScale,
             i == 0 ? kBest : kInk, 1);
}

// The ringed best point and its interval bar.
cv::Rect bestMarker(const TrainingReport::Evaluation& best, const Axes& a)
{
    const Interval interval = intervalOf(best);
    const int x = a.x(double(best.iteration));
    return cv::Rect(cv::Point(x - 11, std::min(a.yShare(interval.high), a.yShare(best.top1) - 11)),
                    cv::Point(x + 12, std::max(a.yShare(interval.low), a.yShare(best.top1) + 11) + 1));
}

void drawCurves(cv::Mat& image, const TrainingReport& report, const Axes& a)
{
    const Plotted p = plotted(report, a);
    const bool hasBest = report.bestIndex() >= 0;
    if (hasBest)
        drawBestInterval(image, report.evaluations()[size_t(report.bestIndex())], a, true);
    cv::polylines(image, p.batch, false, kBatch, 1, cv::LINE_AA);
    cv::polylines(image, p.loss, false, kLoss, 2, cv::LINE_AA);
    for (const cv::Point& point : p.valid)
        cv::circle(image, point, 5, kValid, cv::FILLED, cv::LINE_AA);
    if (!hasBest)
        return;
    const auto& best = report.evaluations()[size_t(report.bestIndex())];
    drawBestInterval(image, best, a, false);
    cv::circle(image, {a.x(double(best.iteration)), a.yShare(best.top1)}, 10, kBest, 2, cv::LINE_AA);
    const std::vector<std::string> lines = bestLines(report);
    drawBestLabel(image, lines, labelBox(lines, bestMarker(best, a), a, p));
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
    // The iteration the curves end at, so that the title and the plot agree.
    const double last = lastPlotted(report);
    const int64_t iteration = last >= 0 ? int64_t(last) : report.iterations();
    std::string words = report.model() + "   iteration " + std::to_string(iteration) + "   " +
                        std::to_string(report.images()) + " images   " + format("%.0f s", report.wallSeconds());
    if (report.bestIndex() >= 0) {
        const auto& b = report.evaluations()[size_t(report.bestIndex())];
        words += "   validation best " + format("%.2f %%", 100.0 * b.top1) + " at " + std::to_string(b.iteration);
    }
    return words;
}

cv::Rect plotArea(const TrainingReport& report)
{
    return cv::Rect(80, 110, report.hasValidation() ? 560 : 1040, 590);
}

cv::Mat draw(const TrainingReport& report)
{
    cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar(255, 255, 255));
    text(image, title(report), {20, 34}, 0.65, kInk, 1);
    const bool split = report.hasValidation();
    const cv::Rect plot = plotArea(report);
    drawLegend(image, report, {80, 80});
    drawFrame(image, axesFor(report, plot));
    drawCurves(image, report, axesFor(report, plot));
    if (split)
        drawConfusion(image, report, cv::Rect(720, 150, 460, 590));
    return image;
}

} // namespace

std::vector<double> roundTicks(double low, double high, int wanted)
{
    if (!(high > low))
        return {low};
    const double step = roundStep(high - low, wanted);
    std::vector<double> ticks;
    const double first = std::ceil(low / step - 1e-9);
    for (double n = first; n * step <= high + step * 1e-9; ++n)
        ticks.push_back(n * step);
    return ticks;
}

Interval wilson95(int correct, int total)
{
    if (total <= 0)
        return {};
    const double z = 1.959963984540054, n = total, p = double(correct) / n;
    const double centre = (p + z * z / (2 * n)) / (1 + z * z / n);
    const double half = z / (1 + z * z / n) * std::sqrt(p * (1 - p) / n + z * z / (4 * n * n));
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

BestLabel bestLabel(const TrainingReport& report)
{
    BestLabel label;
    label.lines = bestLines(report);
    if (label.lines.empty())
        return label;
    const Axes a = axesFor(report, plotArea(report));
    const auto& b = report.evaluations()[size_t(report.bestIndex())];
    label.box = labelBox(label.lines, bestMarker(b, a), a, plotted(report, a));
    return label;
}

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
