// SPDX-License-Identifier: MIT
// ImageResizeTask: one resize job, one source file and one output file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class Pixmill;

// One file a job writes when it writes several (sizes or types from one decode): where it goes,
// the size word it is made at, and how it ended. The outcome fields are written before the job's
// done flag is set.
struct JobOutput {
    std::string path;
    std::string resolution;
    std::string message;  // a failed or skipped output's
    std::string cause;
    std::string note;
    bool failed = false;
    bool skipped = false;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t bytes = 0;
    int32_t quality = 0;  // chosen by a file-size limit; 0 when none applied
};

class ImageResizeTask {
public:
    Pixmill* engine = nullptr;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::string message;
    std::string sourcePath;
    std::string outputPath;
    std::string resolution;
    int32_t targetWidth = 0;
    int32_t targetHeight = 0;
    // errno of intake's failed attempt to make the output folder; 0 when it was there or made.
    int folderError = 0;

    // What the front ends show beyond the message. Each is written before done is set.
    // warning: the source was damaged (truncated or corrupt) but its output was still written.
    std::string warning;
    // cause: why the job failed, in the system's or the decoder's words ("Permission denied",
    // "not a PNG file"); shown after the message.
    std::string cause;
    // note: what the user should know that is neither damage nor failure ("first of 12 frames", a
    // source's own note, "IPTC left out: PNG has no place for it"); "" when there is nothing.
    std::string note;
    // The output existed and the engine was told to skip such files: not a failure.
    std::atomic<bool> skipped{false};
    // The file written: its size in pixels and bytes, and the time the job took.
    int32_t outputWidth = 0;
    int32_t outputHeight = 0;
    uint64_t outputBytes = 0;
    // The quality a file-size limit chose; 0 when no limit applied.
    int32_t outputQuality = 0;
    double elapsedMs = 0;
    // Several outputs from one decode: every output, outputPath's (with resolution) first; empty
    // when the job writes only outputPath. Then the job's own fields tell the first output's
    // size, bytes and quality, and it fails when any output fails (with the first failure's
    // message) and is skipped when all are.
    std::vector<JobOutput> outputs;

    explicit ImageResizeTask(Pixmill* engine);
    virtual ~ImageResizeTask() {}

    void execute();
};
