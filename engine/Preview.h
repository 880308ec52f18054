// SPDX-License-Identifier: MIT
// The preview: what the batch would write for one source at the current settings, and pictures
// small enough to show on screen.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ImageResizeTask;
class Pixmill;

// A picture for a screen: 4 bytes per pixel in CPicture's order (blue, green, red, alpha) with
// straight alpha, 255 opaque, whatever the file's transparency mode. Empty when it did not decode.
struct DisplayPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;
    int32_t fullWidth = 0;  // the file's own size
    int32_t fullHeight = 0;
    bool isEmpty() const { return width == 0 || height == 0; }
};

// The picture of the file at path fitted inside maxSide x maxSide (never enlarged), decoded by the
// engine's own decoders (every input and output type) and streamed through the resampler.
DisplayPicture displayPictureOf(const std::string& path, int32_t maxSide);

// What the batch would write: the bytes of the output, its size, and the job's texts.
struct PreviewResult {
    bool written = false;
    std::string bytes;  // the whole output file
    int32_t width = 0;
    int32_t height = 0;
    // The job's message and cause when nothing was written; else its warning and note ("" for none).
    std::string message;
    DisplayPicture picture;  // the output decoded again, fitted for the screen
};

// The batch's own job for one source, its output sent to a temporary folder of its own instead of
// the destination, so the preview is byte for byte what the batch writes.
class PreviewJob {
  public:
    // Takes the settings that only the main thread may read (size, type); call it there. The
    // engine must outlive run().
    PreviewJob(Pixmill& engine, const std::string& sourcePath);
    ~PreviewJob();
    PreviewJob(const PreviewJob&) = delete;
    PreviewJob& operator=(const PreviewJob&) = delete;

    // Runs the job on any thread, once; nothing of it is left on disk afterwards.
    PreviewResult run(int32_t maxSide);

  private:
    std::unique_ptr<ImageResizeTask> task;
    std::string extension;
};
