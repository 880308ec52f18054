// SPDX-License-Identifier: MIT
// One pixmill-cli batch: every input offered to the engine's intake, then the jobs watched to their end.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/InputPaths.h"
#include "cli/JobReport.h"

class Pixmill;
class ProgressView;

struct BatchOutcome {
    BatchCounts counts;
    // The paths to list at the end, each in the order given.
    std::vector<JobRecord> refused;
    std::vector<JobRecord> damaged;
    std::vector<JobRecord> failed;
};

// Runs the batch; every path's record goes to report (when open) as soon as it is known.
// A second interrupt removes the temporary files of the running jobs and ends the program.
BatchOutcome runBatch(Pixmill& engine, const std::vector<InputItem>& inputs, ProgressView& view,
                      ReportFile& report);

// Intake only (--dry-run): each path's output path or refusal is written to text and to report;
// no folder is made and no job is queued.
BatchOutcome planBatch(Pixmill& engine, const std::vector<InputItem>& inputs, FILE* text, ReportFile& report);
