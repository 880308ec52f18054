// SPDX-License-Identifier: MIT
// The preview: the batch's job run into a temporary folder and read back, and screen-sized pictures.
#include "engine/Preview.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "picture/RowResampler.h"
#include "picture/RowSink.h"

namespace {

// The whole file, or "" when it cannot be read.
std::string readWholeFile(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    char buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

// A fresh folder for one preview's output, or "" when none could be made.
std::string makePreviewFolder() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pixmill-preview.XXXXXX";
    return mkdtemp(&pattern[0]) ? pattern : std::string();
}

// The picture's bytes made straight alpha, 255 opaque.
void makeStraight(CPicture& picture, int32_t mode, std::vector<uint8_t>& bgra) {
    const size_t count = size_t(picture.width) * size_t(picture.height);
    bgra.assign(picture.pixels, picture.pixels + count * 4);
    for (size_t i = 0; i < count; ++i) {
        uint8_t* pixel = &bgra[i * 4];
        if (mode == TRANSPARENCY_NONE) {
            pixel[3] = 255;
        } else if (mode == TRANSPARENCY_MASK) {
            pixel[3] = pixel[3] ? 255 : 0;
        } else if (mode == TRANSPARENCY_PREMULTIPLIED) {
            const int alpha = 255 - pixel[3];
            for (int c = 0; c < 3; ++c) pixel[c] = uint8_t(alpha ? std::min(255, pixel[c] * 255 / alpha) : 0);
            pixel[3] = uint8_t(alpha);
        }
    }
}

}  // namespace

DisplayPicture displayPictureOf(const std::string& path, int32_t maxSide) {
    DisplayPicture shown;
    try {
        std::unique_ptr<ImageSource> source = ImageSource::open(path);
        if (!source->isOpen() || maxSide <= 0) return shown;
        const double scale = std::min(1.0, double(maxSide) / std::max(source->width, source->height));
        const int w = std::max(1, int(source->width * scale + 0.5)),
                  h = std::max(1, int(source->height * scale + 0.5));
        CPicture picture(w, h);
        {
            RowResampler rows(source->width, source->height, picture, 2, 4);
            if (!source->putRows(rows)) return shown;
        }
        // The resampler turns a mask into alpha.
        const int32_t mode = source->mode == TRANSPARENCY_MASK ? TRANSPARENCY_ALPHA : source->mode;
        makeStraight(picture, mode, shown.bgra);
        shown.width = w;
        shown.height = h;
        shown.fullWidth = source->width;
        shown.fullHeight = source->height;
    } catch (const std::exception&) {
        shown = DisplayPicture();
    }
    return shown;
}

PreviewJob::PreviewJob(Pixmill& engine, const std::string& sourcePath) : task(new ImageResizeTask(&engine)) {
    task->sourcePath = sourcePath;
    task->resolution = engine.resolution;
    extension = engine.outputExtension(sourcePath);
}

PreviewJob::~PreviewJob() = default;

PreviewResult PreviewJob::run(int32_t maxSide) {
    PreviewResult result;
    const std::string folder = makePreviewFolder();
    if (folder.empty()) {
        result.message = "no temporary folder for the preview";
        return result;
    }
    task->outputPath = folder + "/preview." + extension;
    task->execute();
    if (task->failed || task->skipped) {
        result.message = task->message + (task->cause.empty() ? "" : ": " + task->cause);
    } else {
        result.bytes = readWholeFile(task->outputPath);
        result.written = !result.bytes.empty();
        result.width = task->outputWidth;
        result.height = task->outputHeight;
        // A damaged source's warning first, as the batch's row gives it.
        result.message = task->warning + (task->warning.empty() || task->note.empty() ? "" : "; ") + task->note;
        result.picture = displayPictureOf(task->outputPath, maxSide);
    }
    unlink(task->outputPath.c_str());
    rmdir(folder.c_str());
    return result;
}
