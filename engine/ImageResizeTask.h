// ImageResizeTask: one resize job, one source file and one output file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class Pixmill;

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

    explicit ImageResizeTask(Pixmill* engine);
    virtual ~ImageResizeTask() {}

    void execute();
};
