#pragma once

#include "training_report.h"

#include <string>

// The training report as files in the backup folder: report.json and report.png, each written
// whole.
namespace TrainingReportFiles {

std::string json(const TrainingReport& report);

// Writes both files; false with one line naming the file and the cause when one could not be
// written whole (the earlier file then stays as it was).
bool write(const TrainingReport& report, const std::string& folder, std::string* error);

// The report that report.json in the folder holds, as far as a continuing run takes it over
// (the series as sampled, the evaluations, the best with its confusion, the progress). False
// when there is none or it cannot be read.
bool read(const std::string& folder, TrainingReport* report);

} // namespace TrainingReportFiles
