#include "training_report_files.h"

#include "json_value.h"
#include "text_lines.h"
#include "training_report_picture.h"
#include "whole_file.h"

#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>
#include <unistd.h>
#include <vector>

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

// The report is rewritten at every backup: it must be whole, but is not worth a sync. False with
// one line naming the file and the cause.
bool writeWhole(const std::string& path, const std::string& bytes, std::string* error)
{
    const auto fill = [&bytes](int fd, const std::string&) {
        return ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    };
    return WholeFile::write(path, fill, WholeFile::Durability::Unsynced, error);
}

} // namespace

std::string TrainingReportFiles::json(const TrainingReport& report)
{
    const std::vector<TrainingReport::Point>& points = report.series();
    const std::vector<TrainingReport::Evaluation>& evals = report.evaluations();
    const std::vector<std::string>& classNames = report.classes();
    std::ostringstream out;
    out << "{\n  \"model\": " << quoted(report.model()) << ",\n  \"classes\": [";
    for (size_t i = 0; i < classNames.size(); ++i)
        out << (i ? ", " : "") << quoted(classNames[i]);
    out << "],\n  \"iterations\": " << report.iterations() << ",\n  \"images\": " << report.images()
        << ",\n  \"wall_seconds\": " << number(report.wallSeconds()) << ",\n  \"series\": [";
    for (size_t i = 0; i < points.size(); ++i)
        out << (i ? ",\n    " : "\n    ") << "{\"iteration\": " << points[i].iteration
            << ", \"avg_loss\": " << number(points[i].averageLoss) << ", \"accuracy\": " << number(points[i].accuracy)
            << "}";
    out << (points.empty() ? "]" : "\n  ]");
    if (report.hasValidation()) {
        out << ",\n  \"validation\": {\n    \"held_out\": " << quoted(report.heldOut()) << ",\n    \"evaluations\": [";
        for (size_t i = 0; i < evals.size(); ++i)
            out << (i ? ",\n      " : "\n      ") << "{\"iteration\": " << evals[i].iteration
                << ", \"top1\": " << number(evals[i].top1) << ", \"top5\": " << number(evals[i].top5)
                << ", \"images\": " << evals[i].images << ", \"seconds\": " << number(evals[i].seconds) << "}";
        out << (evals.empty() ? "]" : "\n    ]");
        if (report.bestIndex() >= 0) {
            const ValidationResult& b = report.bestResult();
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

bool TrainingReportFiles::write(const TrainingReport& report, const std::string& folder, std::string* error)
{
    std::string png;
    if (!TrainingReportPicture::encode(report, &png)) {
        *error = "the training report picture " + folder + "/report.png could not be drawn";
        return false;
    }
    return writeWhole(folder + "/report.json", json(report), error) && writeWhole(folder + "/report.png", png, error);
}

bool TrainingReportFiles::read(const std::string& folder, TrainingReport* report)
{
    std::string text;
    JsonValue doc;
    if (!TextLines::readFile(folder + "/report.json", &text) || !JsonValue::parse(text, &doc) ||
        doc.kind != JsonValue::Kind::Object)
        return false;
    std::vector<std::string> classes;
    for (const JsonValue& name : doc["classes"].items)
        classes.push_back(name.text);
    const JsonValue& validation = doc["validation"];
    *report = TrainingReport(doc["model"].text, classes, validation.kind == JsonValue::Kind::Object);
    for (const JsonValue& point : doc["series"].items)
        report->addIteration(int64_t(point["iteration"].numberOr(0)), point["avg_loss"].numberOr(NAN),
                             point["accuracy"].numberOr(0));
    report->setHeldOut(validation["held_out"].text);
    const double bestIteration = validation["best_iteration"].numberOr(-1);
    const double bestTop1 = validation["best_top1"].numberOr(-1);
    for (const JsonValue& evaluation : validation["evaluations"].items) {
        ValidationResult result;
        result.iteration = int64_t(evaluation["iteration"].numberOr(0));
        result.top1 = evaluation["top1"].numberOr(0);
        result.top5 = evaluation["top5"].numberOr(0);
        result.images = int(evaluation["images"].numberOr(0));
        result.seconds = evaluation["seconds"].numberOr(0);
        if (double(result.iteration) == bestIteration && result.top1 == bestTop1) {
            result.skipped = int(validation["unreadable"].numberOr(0));
            int right = 0, all = 0;
            for (const JsonValue& row : validation["confusion"].items) {
                result.confusion.emplace_back();
                for (const JsonValue& count : row.items) {
                    result.confusion.back().push_back(int(count.numberOr(0)));
                    all += result.confusion.back().back();
                }
                if (result.confusion.size() <= result.confusion.back().size())
                    right += result.confusion.back()[result.confusion.size() - 1];
            }
            // The file keeps six digits; later evaluations must beat the best as it was measured.
            if (all == result.images && all > 0)
                result.top1 = double(right) / double(all);
        }
        report->addEvaluation(result);
    }
    report->setProgress(int64_t(doc["iterations"].numberOr(0)), uint64_t(doc["images"].numberOr(0)),
                        doc["wall_seconds"].numberOr(0));
    return true;
}
