// SPDX-License-Identifier: MIT
// What pixmill-cli says about each path and the whole batch: the lines for people and the report
// for scripts (JSON Lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/InputPaths.h"
#include "engine/JobState.h"

class ImageResizeTask;

enum class JobStatus { Resized, Damaged, Failed, Refused, Skipped, NotStarted, Planned };

// One path's outcome, copied out of its job (or its refusal) once it has ended; a refusal's reason
// is its `reason`.
struct JobRecord : JobResult {
    JobStatus status = JobStatus::Refused;
};

// The record of a job that has ended (its done flag is set).
JobRecord recordOfJob(const ImageResizeTask& task);
// One record per file the job wrote or meant to write (several sizes or types from one decode).
std::vector<JobRecord> recordsOfJob(const ImageResizeTask& task);
JobRecord recordOfRefusal(const InputItem& input);
JobRecord recordNotStarted(const std::string& source, const std::string& output);

struct BatchCounts {
    size_t resized = 0;
    size_t damaged = 0;
    size_t skipped = 0;
    size_t failed = 0;
    size_t refused = 0;
    size_t notStarted = 0;  // jobs and inputs left when the batch was interrupted
    size_t planned = 0;     // --dry-run: paths that would be resized
    bool interrupted = false;
    bool dryRun = false;

    void count(JobStatus status);
};

const char* statusWord(JobStatus status);

// One line for people, without the count: "resized SRC -> OUT", "damaged SRC -> OUT: WARNING",
// "failed SRC: MESSAGE: CAUSE", each of the first two followed by " (NOTE)" when the job has a note, "skipped SRC: MESSAGE", "refused SRC: REASON", "SRC -> OUT" (planned).
std::string recordText(const JobRecord& record);
// "3 resized, 1 damaged, 1 failed, 0 refused": damaged, skipped and not started only when there are
// any; "3 to resize, 1 refused" for a dry run.
std::string summaryText(const BatchCounts& counts);
// 0 when every path was resized, skipped or planned; 1 when one was damaged, failed or refused;
// 130 when an interrupt left some not started.
int exitStatusOf(const BatchCounts& counts);

// A JSON string holding bytes: UTF-8 as it is, every byte that is not part of a well-formed UTF-8
// sequence as the escape \udc80 to \udcff (Python's surrogateescape gives the bytes back).
std::string jsonString(const std::string& bytes);
// One JSON object, without the line end: source, output, status, message, reason, note, width,
// height, bytes, ms.
std::string reportObject(const JobRecord& record);
// {"status":"summary", and the counts}.
std::string summaryObject(const BatchCounts& counts);

// The report file. Lines are gathered and reach the file whole, several in one write: at each
// flush (the batch flushes at every look at the jobs, so a killed run loses at most the lines of
// its last look) and whenever kFlushBytes are waiting (a long report never grows in memory).
class ReportFile {
  public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // "-" is standard output. False with error set when the file cannot be created.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return fd >= 0; }
    void add(const std::string& object);
    // Writes the lines gathered so far.
    void flush();
    // False once a line could not be written whole (a full disk); flush first.
    bool allWritten() const { return !writeFailed; }

  private:
    static const size_t kFlushBytes = 64 * 1024;
    int fd = -1;
    std::string waiting;
    bool ownsFd = false;
    bool writeFailed = false;
};
