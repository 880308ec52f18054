// SPDX-License-Identifier: MIT
// One pixmill-cli batch: every input offered to the engine's intake, then the jobs watched to their end.
#pragma once

#include <cstdio>
#include <memory>
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

// A batch that takes more inputs while its jobs run (a watched folder). Between offers, look()
// now and then reports the jobs that ended and takes the interrupts as runBatch does; finish()
// waits for the jobs queued and gives the outcome.
class OpenBatch {
  public:
    OpenBatch(Pixmill& engine, ProgressView& view, ReportFile& report);
    ~OpenBatch();
    OpenBatch(const OpenBatch&) = delete;
    OpenBatch& operator=(const OpenBatch&) = delete;

    void offer(const std::vector<InputItem>& inputs);
    void look();
    // A record that is no job's (counted and reported like one).
    void add(const JobRecord& record);
    // Whether a job queued has not been reported yet.
    bool busy() const;
    BatchOutcome finish();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts;
};

// Intake only (--dry-run): each path's output path or refusal is written to text and to report;
// no folder is made and no job is queued.
BatchOutcome planBatch(Pixmill& engine, const std::vector<InputItem>& inputs, FILE* text, ReportFile& report);
