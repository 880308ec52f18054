// SPDX-License-Identifier: MIT
// One resize job from source file to output file.
#include "engine/ImageResizeTask.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "engine/Pixmill.h"
#include "engine/SafeSave.h"
#include "picture/Exif.h"
#include "picture/ImageSource.h"
#include "picture/ImageWriter.h"
#include "picture/Picture.h"
#include "picture/PixelMemory.h"
#include "picture/RowResampler.h"
#include "picture/RowSink.h"
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

// The EXIF code of the turn the rotation setting asks for a w x h picture, or 0 for none.
int turnFor(int32_t rotation, int32_t w, int32_t h, Exif& exif) {
    switch (rotation) {
        case Rotation::ByExif: {
            if (!exif.loaded) return 0;
            const std::string orientation = exif.getField(kOrientationTag);
            // Mirrored orientations (2, 4, 5, 7) and upright pictures stay as they are.
            return orientation == "6" ? 6 : orientation == "8" ? 8 : orientation == "3" ? 3 : 0;
        }
        case Rotation::Landscape:
            return h > w ? 6 : 0;
        case Rotation::LandscapeCcw:
            return h > w ? 8 : 0;
        case Rotation::Portrait:
            return w > h ? 6 : 0;
        default:
            return 0;
    }
}

// "WxH" in pixels, or "P%" of the current size; anything else is 0 by 0.
void targetSize(const std::string& resolution, int32_t w, int32_t h, int32_t& W, int32_t& H) {
    std::vector<std::string> pieces = strsplit(resolution, "x");
    if (pieces.size() == 2) {
        W = strToInt(strtrim(pieces[0]));
        H = strToInt(strtrim(pieces[1]));
    } else if (isRight(resolution, "%")) {
        const double percent = strToDbl(resolution);
        W = truncateToInt(w * percent / 100);
        H = truncateToInt(h * percent / 100);
    } else {
        W = H = 0;
    }
}

// Shrinks one side of the box so that it has the picture's aspect ratio.
void fitInside(int32_t w, int32_t h, int32_t& W, int32_t& H) {
    const double e = (static_cast<double>(W) / w) * h;
    if (e > H)
        W = truncateToInt(product(w, H) / h + 0.5);
    else
        H = truncateToInt(e + 0.5);
}

// What a job makes of a w x h picture: the box W x H, the part of the picture that goes into it
// (all of it unless the centre crop cuts it), and whether the part is resampled or copied as it is.
struct Plan {
    int32_t W = 0, H = 0;
    int32_t x = 0, y = 0, w = 0, h = 0;
    bool cut = false;
    bool copy = false;
};

// Cuts the centre of the picture to the aspect ratio of W by H; the box itself stays. The
// offsets use the size the cut really gets (a picture is at least one pixel wide and high).
void cropToAspect(Plan& plan) {
    const int32_t W = plan.W, H = plan.H, w = plan.w, h = plan.h;
    if (W == 0 && H == 0) return;
    if (static_cast<double>(w) / h > static_cast<double>(W) / H) {
        const int32_t nw = truncateToInt(product(h, W) / H);
        if (nw >= w) return;
        plan.w = std::max(nw, 1);
        plan.x = w / 2 - plan.w / 2;
    } else {
        const int32_t nh = truncateToInt(product(w, H) / W);
        if (nh >= h) return;
        plan.h = std::max(nh, 1);
        plan.y = h / 2 - plan.h / 2;
    }
    plan.cut = true;
}

Plan planFor(const ImageResizeTask& task, int32_t w, int32_t h) {
    Plan plan;
    plan.w = w;
    plan.h = h;
    targetSize(task.resolution, w, h, plan.W, plan.H);
    const int32_t cropMode = task.engine->cropMode;
    if (cropMode == CropMode::NoCrop)
        fitInside(w, h, plan.W, plan.H);
    else if (cropMode == CropMode::Crop)
        cropToAspect(plan);
    // A box of the part's own size is a plain copy.
    plan.copy = plan.W == plan.w && plan.H == plan.h;
    return plan;
}

// The rows of the source become the result: cut (the source's own bytes, in its own mode) and
// then resampled or copied. With a turn (EXIF code 6, 8 or 3; never for a copy) the plan is made
// for the turned picture of the sourceW x sourceH source, and the cut is the same part of the
// source itself.
class ResultRows {
  public:
    ResultRows(const Plan& plan, int turn, int32_t sourceW, int32_t sourceH, int32_t sourceMode, bool modeKnown,
               int32_t quality, CPicture& result)
        : plan(plan), result(result) {
        opaque = modeKnown && sourceMode == TRANSPARENCY_NONE;
        const int channels = opaque ? 3 : 4;
        if (plan.copy) {
            last.reset(new PictureRows(result));
            window.reset(new RowWindow(*last, plan.x, plan.y, plan.w, plan.h));
            return;
        }
        last.reset(new RowResampler(turn == 6 || turn == 8 ? plan.h : plan.w, turn == 6 || turn == 8 ? plan.w : plan.h,
                                    result, filterCodeFor(quality), channels, turn));
        // The turned picture's part [x, x + w) x [y, y + h), in the source.
        switch (turn) {
            case 6:
                window.reset(new RowWindow(*last, plan.y, sourceH - plan.x - plan.w, plan.h, plan.w));
                break;
            case 8:
                window.reset(new RowWindow(*last, sourceW - plan.y - plan.h, plan.x, plan.h, plan.w));
                break;
            case 3:
                window.reset(
                    new RowWindow(*last, sourceW - plan.x - plan.w, sourceH - plan.y - plan.h, plan.w, plan.h));
                break;
            default:
                window.reset(new RowWindow(*last, plan.x, plan.y, plan.w, plan.h));
        }
    }
    RowSink& sink() { return *window; }

    // The result's mode once the source's is known: a copy keeps it, resampling follows the
    // resampler's rule (a mask becomes alpha); an opaque source resampled on four channels gets
    // the byte 3 an opaque resampling leaves.
    void finish(int32_t sourceMode) {
        if (plan.copy) {
            result.transparencyMode = sourceMode;
            return;
        }
        result.transparencyMode = sourceMode == TRANSPARENCY_MASK ? TRANSPARENCY_ALPHA : sourceMode;
        if (!opaque && sourceMode == TRANSPARENCY_NONE) {
            const size_t count = size_t(result.width) * size_t(result.height);
            for (size_t i = 0; i < count; ++i) result.pixels[i * 4 + 3] = 0;
        }
    }

  private:
    const Plan& plan;
    CPicture& result;
    bool opaque = true;
    std::unique_ptr<RowSink> last;
    std::unique_ptr<RowWindow> window;
};

// Takes rows and does nothing with them: decoding for its own sake tells whether a file opens.
class DiscardRows final : public RowSink {
  public:
    void putRows(int, int, const uint8_t*, size_t) override {}
    bool needsByte3() const override { return false; }
};

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

// The quality setting of the output type (JPEG's for the types that have none).
int32_t qualityFor(OutputType type, const Pixmill& engine) {
    switch (type) {
        case OutputType::Webp:
            return engine.webpQuality;
        case OutputType::Avif:
            return engine.avifQuality;
        case OutputType::Jxl:
            return engine.jxlQuality;
        default:
            return engine.jpegQuality;
    }
}

// Closes file in every outcome.
bool writePicture(CPicture& picture, FILE* file, OutputType type, const Pixmill& engine, const Exif& exif) {
    OutputMetadata metadata;
    // The block was patched to orientation 1 when the picture was turned by it.
    if (engine.copyExif && exif.loaded) metadata.exif = exif.exifBlock;
    // The colour profile is colour meaning: it goes with the pixels whatever the EXIF setting.
    metadata.icc = picture.iccProfile;
    WriteOptions options;
    options.quality = qualityFor(type, engine);
    return writeImage(type, picture, metadata, options, file);
}

// A save that failed, saying why in the system's words when it knows.
std::string saveFailure(ImageResizeTask& task, int error) {
    // A folder intake could not make is missing; the reason it could not be made is the cause.
    if (error == ENOENT && task.folderError != 0 && !DirExist(getFilePath(task.outputPath)))
        error = task.folderError;
    if (error != 0) task.cause = strerror(error);
    return failureMessage(task, Step::Save);
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
    const OutputType type = outputTypeOfPath(outputPath);
    if (type == OutputType::None) return failureMessage(task, Step::Save);
    int error = 0;
    FILE* file = nullptr;
    const std::string temp = createTempFileBeside(outputPath, &error, &file);
    if (temp.empty()) return saveFailure(task, error);
    bool written = false;
    errno = 0;
    try {
        written = writePicture(result, file, type, engine, exif);
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        error = errno;
        discardTempFile(temp);
        return saveFailure(task, error);
    }
    switch (commitTempFile(temp, outputPath, replace, &error)) {
        case CommitResult::Done:
            task.outputWidth = result.width;
            task.outputHeight = result.height;
            task.outputBytes = fileSize(outputPath);
            return std::string();
        case CommitResult::Exists:
            if (engine.skipExisting) task.skipped = true;
            return "File already exists : " + outputPath;
        default:
            return saveFailure(task, error);
    }
}

// The picture the job resamples when it turns: decoded and turned in one pass.
PicturePtr turnedPicture(ImageSource& source, int turnCode, bool& decoded) {
    PicturePtr picture(new CPicture());
    decoded = source.putTurned(*picture, turnCode);
    picture->iccProfile = source.iccProfile();
    return picture;
}

// A source that did not open or decode fails the job's open step, saying why.
std::string openFailure(ImageResizeTask& task, const ImageSource& source) {
    task.cause = source.failure();
    return failureMessage(task, Step::Open);
}

// When memory ran out before the rows were decoded, the job fails to open a file that does not
// decode, and to resize one that does.
Step stepOfShortage(const ImageResizeTask& task) {
    std::unique_ptr<ImageSource> again = ImageSource::open(task.sourcePath);
    DiscardRows nothing;
    return again->isOpen() && again->putRows(nothing) ? Step::Resize : Step::Open;
}

// Bytes of a w x h picture, held below 2^60 so that sums of a few cannot overflow.
uint64_t bytesOf(int64_t w, int64_t h) {
    return std::min<uint64_t>(uint64_t(w) * uint64_t(h) * 4, uint64_t(1) << 60);
}

// What a job needs: for its source alone and in all (the source beside the result).
struct Need {
    uint64_t source = 0, total = 0;
};

// What the job holds at once, by its plan: the picture a source decoded whole (whole) or else a
// few streamed rows, and the turned copy when it turns a copy; beside them the result, which the encoder later doubles.
Need memoryNeeded(const ImageResizeTask& task, int32_t w, int32_t h, int turnCode, bool whole) {
    const bool quarter = turnCode == 6 || turnCode == 8;
    const Plan plan = planFor(task, quarter ? h : w, quarter ? w : h);
    const uint64_t result = bytesOf(plan.W, plan.H);
    uint64_t source = whole ? bytesOf(w, h) : bytesOf(w, 64);
    if (turnCode != 0 && plan.copy) source += bytesOf(w, h);
    return Need{source, std::max(source + result, 2 * result)};
}

uint64_t mebibytes(uint64_t bytes) {
    return (bytes + (uint64_t(1) << 20) - 1) >> 20;
}

// Waits until the job's memory fits beside the other jobs'; a job that needs more than the whole
// budget fails to open its file, or to resize it when the source alone would fit. Returns the
// failure message, or "" once the memory is reserved.
std::string reserveMemory(ImageResizeTask& task, MemoryReservation& memory, const Need& need) {
    Pixmill& engine = *task.engine;
    const uint64_t limit = engine.memoryLimitBytes(), bytes = need.total;
    switch (memory.reserve(bytes, limit, engine.stopRequested)) {
        case MemoryBudget::Grant::Granted:
            return std::string();
        case MemoryBudget::Grant::TooLarge:
            task.cause = "needs " + std::to_string(mebibytes(bytes)) + " MiB of memory, " +
                         std::to_string(limit >> 20) + " MiB allowed";
            return failureMessage(task, need.source <= limit ? Step::Resize : Step::Open);
        default:
            task.cause = "stopped while waiting for memory";
    }
    return failureMessage(task, Step::Open);
}

// The message of a job whose output exists and is to be skipped, or "". Looked at before the
// source is decoded, so a resumed batch passes over its finished files at once; the save looks
// again for an output that appears meanwhile.
std::string skipIfDone(ImageResizeTask& task) {
    const Pixmill& engine = *task.engine;
    if (!engine.skipExisting || engine.overwrite == OverwriteMode::Yes || !FileExist(task.outputPath))
        return std::string();
    task.skipped = true;
    return "File already exists : " + task.outputPath;
}

// The whole pipeline; step tells the caller in which step an exception (out of memory) arose.
std::string runJob(ImageResizeTask& task, Step& step) {
    const Pixmill& engine = *task.engine;
    step = Step::Open;
    const std::string done = skipIfDone(task);
    if (!done.empty()) return done;
    MemoryReservation memory(task.engine->memoryBudget);
    int32_t declaredW = 0, declaredH = 0;
    bool whole = false;
    // Sources that decode when opened take their memory before they are opened. They carry no
    // EXIF block to turn by, and a streamed PNG may learn its mode late.
    if (declaredSize(task.sourcePath, declaredW, declaredH, whole)) {
        Exif none;
        const int turn = turnFor(engine.rotate, declaredW, declaredH, none);
        const std::string failure =
            reserveMemory(task, memory, memoryNeeded(task, declaredW, declaredH, turn, whole));
        if (!failure.empty()) return failure;
    }
    std::unique_ptr<ImageSource> source = ImageSource::open(task.sourcePath);
    if (!source->isOpen()) return openFailure(task, *source);
    Exif exif;
    loadExif(task.sourcePath, exif);
    const int turnCode = turnFor(engine.rotate, source->width, source->height, exif);
    if (!memory.held()) {
        const std::string failure = reserveMemory(task, memory,
                                                  memoryNeeded(task, source->width, source->height, turnCode,
                                                               !source->streams()));
        if (!failure.empty()) return failure;
    }

    step = Step::Resize;
    // Turned pictures are resampled from the source's own rows; only a copy (a box of the part's
    // own size) makes the turned picture whole, decoded and turned in one pass.
    const bool quarter = turnCode == 6 || turnCode == 8;
    const Plan plan =
        planFor(task, quarter ? source->height : source->width, quarter ? source->width : source->height);
    const bool turnWhole = turnCode != 0 && plan.copy;
    bool decoded = false;
    PicturePtr picture;
    try {
        if (turnWhole) picture = turnedPicture(*source, turnCode, decoded);
    } catch (const std::bad_alloc&) {
        if (source->streams()) step = stepOfShortage(task);
        throw;
    }
    if (turnWhole) {
        if (!decoded) return openFailure(task, *source);
        task.warning = source->warning();
        // The decoder's memory goes before the result's is taken.
        source.reset();
    }
    if (turnCode != 0 && engine.rotate == Rotation::ByExif) exif.setField(kOrientationTag, 1);
    PicturePtr result;
    try {
        result.reset(new CPicture(plan.W, plan.H));
    } catch (const std::bad_alloc&) {
        if (!picture && source->streams()) step = stepOfShortage(task);
        throw;
    }
    const int32_t sourceMode = picture ? picture->transparencyMode : source->mode;
    const bool modeKnown = picture ? true : source->modeKnown;
    {
        ResultRows rows(plan, picture ? 0 : turnCode, picture ? picture->width : source->width,
                        picture ? picture->height : source->height, sourceMode, modeKnown, engine.resizeQuality,
                        *result);
        if (picture) {
            putPictureRows(*picture, rows.sink());
        } else if (!source->putRows(rows.sink())) {
            return openFailure(task, *source);
        } else {
            task.warning = source->warning();
        }
        rows.finish(picture ? picture->transparencyMode : source->mode);
    }
    // The colour profile is colour meaning: it goes with the pixels whatever is done to them.
    result->iccProfile = picture ? picture->iccProfile : source->iccProfile();
    picture.reset();
    source.reset();
    if (result->isEmpty()) return failureMessage(task, Step::Resize);
    // Saving needs about two result pictures' worth (the encoder keeps its coefficients); that
    // much of the memory this worker keeps for its next picture goes back to the system.
    trimKeptPixels(2 * size_t(result->width) * size_t(result->height) * 4);

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
    } catch (const std::bad_alloc&) {
        failure = failureMessage(*this, step);
        cause = "out of memory";
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
