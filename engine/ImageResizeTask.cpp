// One resize job from source file to output file.
#include "engine/ImageResizeTask.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "engine/Pixmill.h"
#include "engine/SafeSave.h"
#include "picture/Exif.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

using PicturePtr = std::unique_ptr<CPicture>;

const int kOrientationTag = 274;

// The message of a failure names the step it happened in. Running out of memory (or any other
// exception) in a step fails the job like any other failure of that step; the worker goes on.
enum class Step { Open, Resize, Save };

uint64_t fileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Truncates toward zero like a C cast, but saturates instead of overflowing; NaN gives 0.
int32_t truncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// An integer product of two sizes as a double; 64-bit so that large pictures cannot overflow.
double product(int32_t a, int32_t b) {
    return static_cast<double>(static_cast<int64_t>(a) * b);
}

int filterCodeFor(int32_t quality) {
    switch (quality) {
        case ResizeQuality::Basic:
            return 1;
        case ResizeQuality::Best:
            return 3;
        default:
            return 2;
    }
}

// Replaces the picture by its quarter or half turn; a turn that yields nothing keeps it.
bool turn(PicturePtr& picture, int code) {
    PicturePtr turned(picture->rotate90(code));
    if (!turned) return false;
    picture = std::move(turned);
    return true;
}

void turnByExif(PicturePtr& picture, Exif& exif) {
    if (!exif.loaded) return;
    const std::string orientation = exif.getField(kOrientationTag);
    int code = orientation == "6" ? 6 : orientation == "8" ? 8 : orientation == "3" ? 3 : 0;
    // Mirrored orientations (2, 4, 5, 7) and upright pictures stay as they are.
    if (code != 0 && turn(picture, code)) exif.setField(kOrientationTag, 1);
}

void applyRotation(PicturePtr& picture, Exif& exif, int32_t rotation) {
    const int32_t w = picture->width, h = picture->height;
    switch (rotation) {
        case Rotation::ByExif:
            turnByExif(picture, exif);
            break;
        case Rotation::Landscape:
            if (h > w) turn(picture, 6);
            break;
        case Rotation::LandscapeCcw:
            if (h > w) turn(picture, 8);
            break;
        case Rotation::Portrait:
            if (w > h) turn(picture, 6);
            break;
        default:
            break;
    }
}

// "WxH" in pixels, or "P%" of the current size; anything else is 0 by 0.
void targetSize(const std::string& resolution, const CPicture& picture, int32_t& W, int32_t& H) {
    std::vector<std::string> pieces = strsplit(resolution, "x");
    if (pieces.size() == 2) {
        W = strToInt(strtrim(pieces[0]));
        H = strToInt(strtrim(pieces[1]));
    } else if (isRight(resolution, "%")) {
        const double percent = strToDbl(resolution);
        W = truncateToInt(picture.width * percent / 100);
        H = truncateToInt(picture.height * percent / 100);
    } else {
        W = H = 0;
    }
}

// Shrinks one side of the box so that it has the picture's aspect ratio.
void fitInside(const CPicture& picture, int32_t& W, int32_t& H) {
    const int32_t w = picture.width, h = picture.height;
    const double e = (static_cast<double>(W) / w) * h;
    if (e > H)
        W = truncateToInt(product(w, H) / h + 0.5);
    else
        H = truncateToInt(e + 0.5);
}

// A new picture holding the w by h rectangle of source that starts at (x, y).
PicturePtr cut(CPicture& source, int32_t w, int32_t h, int32_t x, int32_t y) {
    PicturePtr part(new CPicture(w, h));
    CPicture::bitblt(part.get(), 0, 0, part->width, part->height, &source, x, y);
    return part;
}

// Cuts the centre of the picture to the aspect ratio of W by H; the box itself stays. The
// offsets use the size the cut really gets (a picture is at least one pixel wide and high).
void cropToAspect(PicturePtr& picture, int32_t W, int32_t H) {
    if (W == 0 && H == 0) return;
    const int32_t w = picture->width, h = picture->height;
    if (static_cast<double>(w) / h > static_cast<double>(W) / H) {
        const int32_t nw = truncateToInt(product(h, W) / H);
        if (nw >= w) return;
        const int32_t cw = std::max(nw, 1);
        picture = cut(*picture, cw, h, w / 2 - cw / 2, 0);
    } else {
        const int32_t nh = truncateToInt(product(w, H) / W);
        if (nh >= h) return;
        const int32_t ch = std::max(nh, 1);
        picture = cut(*picture, w, ch, 0, h / 2 - ch / 2);
    }
}

// A picture of exactly W by H: a plain copy when the size already matches, else resampled.
PicturePtr resample(CPicture& picture, int32_t W, int32_t H, int32_t quality) {
    if (W == picture.width && H == picture.height) return cut(picture, W, H, 0, 0);
    return PicturePtr(picture.resize(W, H, filterCodeFor(quality), false));
}

enum class SaveFormat { Bmp, Jpeg, None };

SaveFormat formatOf(const std::string& outputPath) {
    if (isRightCI(outputPath, ".bmp")) return SaveFormat::Bmp;
    if (isRightCI(outputPath, ".jpg") || isRightCI(outputPath, ".jpeg")) return SaveFormat::Jpeg;
    return SaveFormat::None;
}

std::string failureMessage(const ImageResizeTask& task, Step step) {
    switch (step) {
        case Step::Open:
            return "Error opening " + task.sourcePath;
        case Step::Resize:
            return "Error resizing " + task.sourcePath;
        default:
            return "Error saving " + task.outputPath;
    }
}

// Only JPEG sources carry an EXIF block. A block that cannot be read, for whatever reason, is
// simply absent: the job goes on without turning by it or copying it.
void loadExif(const std::string& sourcePath, Exif& exif) {
    if (!isRightCI(sourcePath, "jpg") && !isRightCI(sourcePath, "jpeg")) return;
    try {
        exif.loadFromJPG(sourcePath);
    } catch (const std::exception&) {
        exif.loaded = false;
        exif.exifBlock.clear();
    }
}

bool writePicture(CPicture& picture, const std::string& path, SaveFormat format, const Pixmill& engine,
                  const Exif& exif) {
    if (format == SaveFormat::Bmp) return picture.saveToBMP(path);
    // The block was patched to orientation 1 when the picture was turned by it.
    if (engine.copyExif && exif.loaded) picture.exifBlock = exif.exifBlock;
    return picture.saveToJPG(path, engine.jpegQuality);
}

// Writes the result into a temporary file beside the output and moves it into place only when
// it is complete, so neither a failed save nor a file that appears meanwhile is ever lost.
// Returns the failure message, or "" when the output is in place.
std::string saveResult(ImageResizeTask& task, CPicture& result, const Exif& exif) {
    const Pixmill& engine = *task.engine;
    const std::string& outputPath = task.outputPath;
    const bool replace = engine.overwrite == OverwriteMode::Yes;
    if (!replace && FileExist(outputPath)) {
        if (engine.skipExisting) task.skipped = true;
        return "File already exists : " + outputPath;
    }
    const SaveFormat format = formatOf(outputPath);
    if (format == SaveFormat::None) return failureMessage(task, Step::Save);
    const std::string temp = createTempFileBeside(outputPath);
    if (temp.empty()) return failureMessage(task, Step::Save);
    bool written = false;
    try {
        written = writePicture(result, temp, format, engine, exif);
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        deleteFile(temp);
        return failureMessage(task, Step::Save);
    }
    switch (commitTempFile(temp, outputPath, replace)) {
        case CommitResult::Done:
            task.outputWidth = result.width;
            task.outputHeight = result.height;
            task.outputBytes = fileSize(outputPath);
            return std::string();
        case CommitResult::Exists:
            if (engine.skipExisting) task.skipped = true;
            return "File already exists : " + outputPath;
        default:
            return failureMessage(task, Step::Save);
    }
}

// The whole pipeline; step tells the caller in which step an exception (out of memory) arose.
std::string runJob(ImageResizeTask& task, Step& step) {
    const Pixmill& engine = *task.engine;
    step = Step::Open;
    PicturePtr picture(new CPicture());
    picture->load(task.sourcePath);
    if (picture->isEmpty()) return failureMessage(task, Step::Open);
    Exif exif;
    loadExif(task.sourcePath, exif);

    step = Step::Resize;
    applyRotation(picture, exif, engine.rotate);
    int32_t W = 0, H = 0;
    targetSize(task.resolution, *picture, W, H);
    const int32_t cropMode = engine.cropMode;
    if (cropMode == CropMode::NoCrop)
        fitInside(*picture, W, H);
    else if (cropMode == CropMode::Crop)
        cropToAspect(picture, W, H);
    PicturePtr result = resample(*picture, W, H, engine.resizeQuality);
    picture.reset();
    if (!result || result->isEmpty()) return failureMessage(task, Step::Resize);

    step = Step::Save;
    return saveResult(task, *result, exif);
}

}  // namespace

ImageResizeTask::ImageResizeTask(Pixmill* owner) : engine(owner) {}

void ImageResizeTask::execute() {
    started = true;
    failed = false;
    const auto start = std::chrono::steady_clock::now();
    Step step = Step::Open;
    std::string failure;
    try {
        failure = runJob(*this, step);
    } catch (const std::exception&) {
        failure = failureMessage(*this, step);
    }
    if (!failure.empty()) {
        message = failure;
        // A skipped output is reported with its message but is no failure.
        if (!skipped) failed = true;
    }
    elapsedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // A worker never sees a job available again once it was taken.
    done = true;
    started = false;
}
