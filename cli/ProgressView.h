// What pixmill-cli shows on standard error while it works: a bar on a terminal, else a line per job.
#pragma once

#include <cstddef>
#include <string>

class ProgressView {
  public:
    explicit ProgressView(bool terminal);

    // On a terminal, redraws the bar with the count done and the worker's latest status.
    void update(size_t done, size_t total, const std::string& status);
    // Elsewhere, one line for a job that just ended; detail is the output path or the job's message.
    void finished(size_t done, size_t total, const std::string& source, bool ok, const std::string& detail);
    // A line of its own (the bar is redrawn afterwards).
    void note(const std::string& text);
    // Removes the bar before the final report.
    void clear();

  private:
    bool terminal;
    std::string shown;
    size_t columns() const;
};

// True when standard error is a terminal that can redraw a line.
bool stderrIsTerminal();
