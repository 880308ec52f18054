// SPDX-License-Identifier: MIT
// What pixmill-cli shows on standard error while it works: a bar on a terminal, else a line per job.
#pragma once

#include <cstddef>
#include <string>

class ProgressView {
  public:
    // quiet: neither the bar nor the lines per job, only notes.
    explicit ProgressView(bool terminal, bool quiet = false);

    // On a terminal, redraws the bar with the count done and the worker's latest status.
    void update(size_t done, size_t total, const std::string& status);
    // Elsewhere, "[done/total] text" for a job that just ended.
    void finished(size_t done, size_t total, const std::string& text);
    // Whether finished() shows anything (the text need not be made otherwise).
    bool showsEachJob() const { return !terminal && !quiet; }
    // A line of its own (the bar is redrawn afterwards).
    void note(const std::string& text);
    // Removes the bar before the final report.
    void clear();

  private:
    bool terminal;
    bool quiet;
    std::string shown;
    size_t columns() const;
};

// True when standard error is a terminal that can redraw a line.
bool stderrIsTerminal();
