#include "training_report.h"

#include "diagnostic_line.h"
#include "training_report_picture.h"
#include "whole_file.h"

#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>
#include <unistd.h>

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// JSON has no NaN or infinity: a diverged loss reads as null.
std::string number(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The report is rewritten at every backup: it must be whole, but is not worth a sync.
bool writeWhole(const std::string& path, const std::string& bytes)
{
    const auto fill = [&bytes](int fd, const std::string&) {
        return ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    };
    return WholeFile::write(path, fill, WholeFile::Durability::Unsynced);
}

} // namespace

void TrainingReport::addIteration(int64_t iteration, double averageLoss, double accuracy)
{
    if (iteration % stride != 0 && !points.empty())
        return;
    points.push_back({iteration, averageLoss, accuracy});
    if (points.size() <= kMaxPoints)
        return;
    // Twice as sparse from the start: every other point goes, and so do later ones.
    for (size_t i = 0; 2 * i < points.size(); ++i)
        points[i] = points[2 * i];
    points.resize((points.size() + 1) / 2);
    stride *= 2;
}

bool TrainingReport::addEvaluation(const ValidationResult& result)
{
    evals.push_back({result.iteration, result.top1, result.top5, result.seconds, result.images});
    if (best >= 0 && result.top1 <= evals[size_t(best)].top1)
        return false;
    best = int(evals.size()) - 1;
    bestEvaluation = result;
    return true;
}

void TrainingReport::setProgress(int64_t iterations, uint64_t images, double wallSeconds)
{
    iterationCount = iterations;
    imageCount = images;
    seconds = wallSeconds;
}

std::string TrainingReport::json() const
{
    std::ostringstream out;
    out << "{\n  \"model\": " << quoted(modelName) << ",\n  \"classes\": [";
    for (size_t i = 0; i < classNames.size(); ++i)
        out << (i ? ", " : "") << quoted(classNames[i]);
    out << "],\n  \"iterations\": " << iterationCount << ",\n  \"images\": " << imageCount
        << ",\n  \"wall_seconds\": " << number(seconds) << ",\n  \"series\": [";
    for (size_t i = 0; i < points.size(); ++i)
        out << (i ? ",\n    " : "\n    ") << "{\"iteration\": " << points[i].iteration
            << ", \"avg_loss\": " << number(points[i].averageLoss) << ", \"accuracy\": " << number(points[i].accuracy)
            << "}";
    out << (points.empty() ? "]" : "\n  ]");
    if (validation) {
        out << ",\n  \"validation\": {\n    \"evaluations\": [";
        for (size_t i = 0; i < evals.size(); ++i)
            out << (i ? ",\n      " : "\n      ") << "{\"iteration\": " << evals[i].iteration
                << ", \"top1\": " << number(evals[i].top1) << ", \"top5\": " << number(evals[i].top5)
                << ", \"images\": " << evals[i].images << ", \"seconds\": " << number(evals[i].seconds) << "}";
        out << (evals.empty() ? "]" : "\n    ]");
        if (best >= 0) {
            const ValidationResult& b = bestEvaluation;
            out << ",\n    \"best_iteration\": " << b.iteration << ",\n    \"best_top1\": " << number(b.top1)
                << ",\n    \"best_top5\": " << number(b.top5) << ",\n    \"images\": " << b.images
                << ",\n    \"unreadable\": " << b.skipped << ",\n    \"per_class\": [";
            for (size_t c = 0; c < b.confusion.size(); ++c) {
                const int count = std::accumulate(b.confusion[c].begin(), b.confusion[c].end(), 0);
                const double top1 = count > 0 ? double(b.confusion[c][c]) / double(count) : 0;
                out << (c ? ",\n      " : "\n      ") << "{\"class\": "
                    << quoted(c < classNames.size() ? classNames[c] : std::to_string(c)) << ", \"images\": " << count
                    << ", \"top1\": " << (count > 0 ? number(top1) : "null") << "}";
            }
            out << "\n    ],\n    \"confusion\": [";
            for (size_t r = 0; r < b.confusion.size(); ++r) {
                out << (r ? ",\n      [" : "\n      [");
                for (size_t c = 0; c < b.confusion[r].size(); ++c)
                    out << (c ? ", " : "") << b.confusion[r][c];
                out << "]";
            }
            out << "\n    ]";
        }
        out << "\n  }";
    }
    out << "\n}\n";
    return out.str();
}

void TrainingReport::write(const std::string& folder) const
{
    const std::string jsonPath = folder + "/report.json";
    if (!writeWhole(jsonPath, json()))
        DiagnosticLine::warning("the training report " + jsonPath + " could not be written");
    const std::string picturePath = folder + "/report.png";
    std::string png;
    if (!TrainingReportPicture::encode(*this, &png) || !writeWhole(picturePath, png))
        DiagnosticLine::warning("the training report picture " + picturePath + " could not be written");
}
