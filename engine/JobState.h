// SPDX-License-Identifier: MIT
// What a job is at one moment, as every front end shows it: its phase, texts and sizes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ImageResizeTask;

// Where a job is: not yet taken, being resized, or how it ended.
enum class JobPhase { Waiting, Running, Resized, Damaged, Failed, Skipped };

inline bool hasEnded(JobPhase phase) {
    return phase != JobPhase::Waiting && phase != JobPhase::Running;
}

// A path's texts and sizes, as front ends show and report them.
struct JobResult {
    std::string source;
    std::string output;  // "" when there is none
    std::string message;
    // Why: the cause (failed) or the warning (damaged); empty otherwise.
    std::string reason;
    // What the job tells about its source that is not damage ("first of 12 frames"); "" for none.
    std::string note;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t bytes = 0;
    int32_t quality = 0;  // chosen by a file-size limit; 0 when none applied
    double ms = 0;
};

// Source and output are always filled; the other fields only once the job has ended.
struct JobSnapshot : JobResult {
    JobPhase phase = JobPhase::Waiting;
};

// The phase of a job; safe from any thread at any time.
JobPhase phaseOf(const ImageResizeTask& task);
// The job as it is now; safe from any thread once the job is queued (an ended job's fields are
// written before its done flag, and read only after it).
JobSnapshot snapshotOf(const ImageResizeTask& task);
// One snapshot per file the job writes (several sizes or types from one decode), each with its
// own phase, output, texts and sizes; the job's own snapshot when it writes one file.
std::vector<JobSnapshot> outputSnapshotsOf(const ImageResizeTask& task);
