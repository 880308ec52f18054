// SPDX-License-Identifier: MIT
// One resize job from source file to output file.
#include "engine/ImageResizeTask.h"

#include <fcntl.h>
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
#include <optional>
#include <vector>

#include "engine/OutputPlan.h"
#include "engine/Pixmill.h"
#include "engine/SafeSave.h"
#include "engine/SizeSearch.h"
#include "picture/ColourConvert.h"
#include "picture/ColourProfile.h"
#include "picture/Exif.h"
#include "picture/ImageSource.h"
#include "picture/ImageWriter.h"
#include "picture/LinearRows.h"
#include "picture/NearestRows.h"
#include "picture/Picture.h"
#include "picture/PixelMemory.h"
#include "picture/RowResampler.h"
#include "picture/RowSink.h"
#include "picture/Sharpen.h"
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

// The orientation a source asks for, 1 to 8 as EXIF counts it, or 0 when it asks for none: a
// decoder that turned the picture itself leaves nothing to do; an orientation the file declares
// outside EXIF (TIFF's tag) comes before the EXIF block's.
int orientationOf(const ImageSource& source, Exif& exif) {
    if (source.oriented) return 0;
    if (source.orientation != 0) return source.orientation;
    return exif.loaded ? strToInt(exif.getField(kOrientationTag)) : 0;
}

// The EXIF code of the turn the rotation setting asks for a w x h picture, or 0 for none.
int turnFor(int32_t rotation, int32_t w, int32_t h, int orientation) {
    switch (rotation) {
        case Rotation::ByExif:
            // Mirrored orientations (2, 4, 5, 7) and upright pictures stay as they are.
            return orientation == 6 || orientation == 8 || orientation == 3 ? orientation : 0;
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

// Where the outputs along one axis of a draft sample its reduced picture: at the places the full
// picture's outputs sample, output o at at + o * size / outputs over the part [at, at + size) of
// the full axis. Reduced pixel i, spanning `span` full pixels, has its centre at (i + 0.5) * span
// - 0.5 in full pixels; a reversed axis (a turn runs it backwards) counts from the far edge, which
// the reduced picture may overshoot by a part of a pixel.
SampleAxis draftAxis(int32_t at, int32_t size, int32_t outputs, int32_t fullSize, int32_t reducedSize,
                     double span, bool reversed) {
    const double overshoot = reversed ? reducedSize * span - fullSize : 0;
    SampleAxis axis;
    axis.start = (at + 0.5 + overshoot) / span - 0.5;
    axis.step = double(size) / outputs / span;
    return axis;
}

// The rows of the source become the result: cut (the source's own bytes, in its own mode) and
// then resampled or copied. With a turn (EXIF code 6, 8 or 3; never for a copy) the plan is made
// for the turned picture of the sourceW x sourceH source, and the cut is the same part of the
// source itself.
class ResultRows {
  public:
    ResultRows(const Plan& plan, int turn, int32_t sourceW, int32_t sourceH, int32_t sourceMode, bool modeKnown,
               int32_t quality, bool linear, CPicture& result, const SampleGrid* grid = nullptr)
        : plan(plan), result(result) {
        opaque = modeKnown && sourceMode == TRANSPARENCY_NONE;
        const int channels = opaque ? 3 : 4;
        if (plan.copy) {
            last.reset(new PictureRows(result));
            window.reset(new RowWindow(*last, plan.x, plan.y, plan.w, plan.h));
            return;
        }
        const int partW = turn == 6 || turn == 8 ? plan.h : plan.w, partH = turn == 6 || turn == 8 ? plan.w : plan.h;
        nearest = quality == ResizeQuality::Nearest;
        if (nearest)
            last.reset(new NearestRows(partW, partH, result, channels, turn));
        else if (linear)  // never with a turn: the job turns the picture first
            last.reset(new LinearRows(partW, partH, result, filterCodeFor(quality), channels));
        else
            last.reset(new RowResampler(partW, partH, result, filterCodeFor(quality), channels, turn, grid));
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
        // Nearest neighbour copies pixels, so a mask stays a mask.
        result.transparencyMode = sourceMode == TRANSPARENCY_MASK && !nearest ? TRANSPARENCY_ALPHA : sourceMode;
        if (!opaque && sourceMode == TRANSPARENCY_NONE) {
            const size_t count = size_t(result.width) * size_t(result.height);
            for (size_t i = 0; i < count; ++i) result.pixels[i * 4 + 3] = 0;
        }
    }

  private:
    const Plan& plan;
    CPicture& result;
    bool opaque = true;
    bool nearest = false;
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

// The source's EXIF block as Exif reads and patches it: behind JPEG's APP1 identifier. A source
// without one leaves it unloaded: the job goes on without turning by it or copying it.
void takeExif(const ImageSource& source, Exif& exif) {
    if (source.exifBlock.empty()) return;
    exif.exifBlock = std::string("Exif\0\0", 6) + source.exifBlock;
    exif.loaded = true;
}

// What the job tells about a source that is not damage: the frames it left out, and the
// source's own note, joined by "; ".
std::string noteOf(const ImageSource& source) {
    std::string note;
    if (source.frameCount > 1) note = "first of " + std::to_string(source.frameCount) + " frames";
    if (!source.note.empty()) note += (note.empty() ? "" : "; ") + source.note;
    return note;
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

// Types whose quality the file-size limit may lower.
bool takesSizeLimit(OutputType type) {
    return type == OutputType::Jpeg || type == OutputType::Webp || type == OutputType::Avif ||
           type == OutputType::Jxl;
}

// The highest quality up to the set one whose file fits the limit, written into `file` (closed in
// every outcome). 100 means lossless for some types, which a limit never asks for: at most 99 there.
bool writeWithinLimit(CPicture& picture, FILE* file, OutputType type, const OutputMetadata& metadata,
                      WriteOptions options, JobOutput& output, uint64_t maxBytes) {
    const int highest = type == OutputType::Jpeg ? options.quality : std::min(options.quality, 99);
    const SizeSearch search = searchQuality(highest, maxBytes, [&](int quality, std::string& bytes) {
        char* buffer = nullptr;
        size_t size = 0;
        FILE* memory = open_memstream(&buffer, &size);
        if (!memory) return false;
        options.quality = quality;
        const bool written = writeImage(type, picture, metadata, options, memory);
        if (written) bytes.assign(buffer, size);
        free(buffer);
        return written;
    });
    if (!search.encoded || !search.fits) {
        if (search.encoded) output.cause = sizeLimitCause(maxBytes, search.bytes.size());
        fclose(file);
        errno = 0;
        return false;
    }
    output.quality = search.quality;
    const bool written = fwrite(search.bytes.data(), 1, search.bytes.size(), file) == search.bytes.size();
    return fclose(file) == 0 && written;
}

// Closes file in every outcome.
bool writePicture(CPicture& picture, FILE* file, OutputType type, const Pixmill& engine, JobOutput& output,
                  const SourceBlocks& blocks) {
    // The EXIF block was patched to orientation 1 when the picture was turned by it.
    OutputMetadata metadata = chooseMetadata(engine.metadataMode(), type, blocks, output.note);
    // The colour profile is colour meaning: it goes with the pixels whatever the metadata setting.
    // Outputs hold red, green and blue, so a grey or CMYK source's profile does not describe them
    // (a reader would take the file as invalid or misread its colours): it stays behind.
    if (isRgbProfile(picture.iccProfile)) metadata.icc = picture.iccProfile;
    WriteOptions options;
    options.quality = qualityFor(type, engine);
    options.progressive = engine.output.progressive;
    const uint64_t maxBytes = engine.output.maxBytes;
    if (maxBytes > 0 && takesSizeLimit(type))
        return writeWithinLimit(picture, file, type, metadata, options, output, maxBytes);
    return writeImage(type, picture, metadata, options, file);
}

// Gives the output the source's modification time (its access time stays); a failure leaves the
// output's own time, which is no reason to fail a written file.
void copyModificationTime(const std::string& source, const std::string& output) {
    struct stat info;
    if (stat(source.c_str(), &info) != 0) return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, info.st_mtim};
    utimensat(AT_FDCWD, output.c_str(), times, 0);
}

// The result in sRGB, which is what a picture without a profile means: no profile is written.
void toSrgb(std::string& note, CPicture& result) {
    if (convertToSrgb(result, result.iccProfile) == ColourResult::Unreadable)
        note += std::string(note.empty() ? "" : "; ") + "colour profile unusable: colours not converted";
    result.iccProfile.clear();
}

std::string saveFailureMessage(const JobOutput& output) {
    return "Error saving " + output.path;
}

// A save that failed, saying why in the system's words when it knows.
std::string saveFailure(const ImageResizeTask& task, JobOutput& output, int error) {
    // A folder intake could not make is missing; the reason it could not be made is the cause.
    if (error == ENOENT && task.folderError != 0 && !DirExist(getFilePath(output.path)))
        error = task.folderError;
    if (error != 0) output.cause = strerror(error);
    return saveFailureMessage(output);
}

// Writes the result into a temporary file beside the output and moves it into place only when
// it is complete, so neither a failed save nor a file that appears meanwhile is ever lost.
// Returns the failure message, or "" when the output is in place.
std::string saveResult(const ImageResizeTask& task, JobOutput& output, CPicture& result,
                       const SourceBlocks& blocks) {
    const Pixmill& engine = *task.engine;
    const std::string& outputPath = output.path;
    const bool replace = engine.overwrite == OverwriteMode::Yes;
    if (!replace && FileExist(outputPath)) {
        if (engine.skipExisting) output.skipped = true;
        return "File already exists : " + outputPath;
    }
    const OutputType type = outputTypeOfPath(outputPath);
    if (type == OutputType::None) return saveFailureMessage(output);
    int error = 0;
    FILE* file = nullptr;
    const std::string temp = createTempFileBeside(outputPath, &error, &file);
    if (temp.empty()) return saveFailure(task, output, error);
    bool written = false;
    errno = 0;
    try {
        written = writePicture(result, file, type, engine, output, blocks);
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        error = errno;
        discardTempFile(temp);
        return saveFailure(task, output, error);
    }
    switch (commitTempFile(temp, outputPath, replace, &error)) {
        case CommitResult::Done:
            if (engine.output.keepDates) copyModificationTime(task.sourcePath, outputPath);
            output.width = result.width;
            output.height = result.height;
            output.bytes = fileSize(outputPath);
            return std::string();
        case CommitResult::Exists:
            if (engine.skipExisting) output.skipped = true;
            return "File already exists : " + outputPath;
        default:
            return saveFailure(task, output, error);
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

// What a job needs: for its source alone and in all (the source beside the results).
struct Need {
    uint64_t source = 0, total = 0;
};

// The outputs a job still has to write, each with the plan and the result it is made in.
struct Target {
    JobOutput* output;
    Plan plan;
    PicturePtr result;
    // Where a draft's resampler samples the reduced picture (see draftPlans).
    std::optional<SampleGrid> grid;
};

// What the job holds at once, by its plans: the picture a source decoded whole (whole) or else a
// few streamed rows, and the turned copy when it turns a copy; beside them every output's result,
// the largest of which the encoder later doubles (the results are written one by one).
// `extra` is what the source holds beside its rows while it decodes (a streamed GIF's image
// indices, a HEIF decoder's own planes).
Need memoryNeeded(const ImageResizeTask& task, const std::vector<Target>& targets, int32_t w, int32_t h,
                  int turnCode, bool whole, uint64_t extra = 0) {
    const Pixmill& engine = *task.engine;
    const bool quarter = turnCode == 6 || turnCode == 8;
    uint64_t results = 0, largest = 0;
    bool copies = false;
    for (const Target& target : targets) {
        const Plan plan = ::planFor(target.output->resolution, engine.cropMode, engine.output.noEnlarge,
                                    quarter ? h : w, quarter ? w : h);
        const uint64_t result = bytesOf(plan.W, plan.H);
        results = std::min<uint64_t>(results + result, uint64_t(1) << 60);
        largest = std::max(largest, result);
        copies = copies || plan.copy;
    }
    uint64_t source = (whole ? bytesOf(w, h) : bytesOf(w, 64)) + std::min<uint64_t>(extra, uint64_t(1) << 60);
    if (turnCode != 0 && (copies || engine.output.linear)) source += bytesOf(w, h);
    return Need{source, std::max(source + results, results + largest)};
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

// The outputs still to write. Looked at before the source is decoded, so a resumed batch passes
// over its finished files at once: an output that exists is skipped when the engine is told to
// skip such files (the source is not decoded at all when every output exists); the save looks
// again for an output that appears meanwhile.
std::vector<Target> outputsToWrite(ImageResizeTask& task, std::vector<JobOutput>& outputs) {
    const Pixmill& engine = *task.engine;
    const bool skip = engine.skipExisting && engine.overwrite != OverwriteMode::Yes;
    std::vector<Target> targets;
    for (JobOutput& output : outputs) {
        if (skip && FileExist(output.path)) {
            output.skipped = true;
            output.message = "File already exists : " + output.path;
        } else {
            targets.push_back(Target{&output, Plan(), nullptr, std::nullopt});
        }
    }
    return targets;
}

// Draft decoding: a source that can decode at a reduced scale is asked for the smallest that
// still gives each output's resampler 1.5 times the pixels its plan takes from it in each
// direction (the turned picture's plans, asked in the source's own orientation). Each box stays
// the one the full picture gets. When `gridded` (the tapped filters) the reduced picture is taken
// whole and each output's grid puts its samples where the full picture's would be; otherwise the
// part taken is the same part, scaled, in whole reduced pixels.
void draftPlans(ImageSource& source, std::vector<Target>& targets, int turn, bool gridded) {
    const bool quarter = turn == 6 || turn == 8;
    const int32_t turnedW = quarter ? source.height : source.width;
    const int32_t turnedH = quarter ? source.width : source.height;
    double needW = 0, needH = 0;
    for (const Target& target : targets) {
        const Plan& full = target.plan;
        if (full.copy || full.W <= 0 || full.H <= 0) return;
        needW = std::max(needW, std::ceil(1.5 * double(full.W) * turnedW / full.w));
        needH = std::max(needH, std::ceil(1.5 * double(full.H) * turnedH / full.h));
    }
    if (needW >= turnedW || needH >= turnedH) return;
    const int32_t minW = truncateToInt(needW), minH = truncateToInt(needH);
    if (!source.reduceTo(quarter ? minH : minW, quarter ? minW : minH)) return;
    const int32_t reducedW = quarter ? source.height : source.width;
    const int32_t reducedH = quarter ? source.width : source.height;
    const double sx = double(reducedW) / turnedW, sy = double(reducedH) / turnedH;
    const double sourceSpanX = quarter ? source.spanY : source.spanX;
    const double sourceSpanY = quarter ? source.spanX : source.spanY;
    const double spanX = sourceSpanX > 0 ? sourceSpanX : 1 / sx;
    const double spanY = sourceSpanY > 0 ? sourceSpanY : 1 / sy;
    for (Target& target : targets) {
        const Plan full = target.plan;
        Plan& plan = target.plan;
        if (gridded) {
            target.grid.emplace();
            // Code 6 runs the turned picture's columns backwards, 8 its rows, 3 both.
            target.grid->x = draftAxis(full.x, full.w, full.W, turnedW, reducedW, spanX, turn == 6 || turn == 3);
            target.grid->y = draftAxis(full.y, full.h, full.H, turnedH, reducedH, spanY, turn == 8 || turn == 3);
            plan.x = plan.y = 0;
            plan.w = reducedW;
            plan.h = reducedH;
            plan.copy = false;
            continue;
        }
        plan.w = std::max(1, std::min(reducedW, truncateToInt(full.w * sx + 0.5)));
        plan.h = std::max(1, std::min(reducedH, truncateToInt(full.h * sy + 0.5)));
        plan.x = std::min(reducedW - plan.w, truncateToInt(full.x * sx + 0.5));
        plan.y = std::min(reducedH - plan.h, truncateToInt(full.y * sy + 0.5));
        plan.copy = plan.W == plan.w && plan.H == plan.h;
    }
}

// Every output's result made from one pass over the source's rows (or the turned picture's).
// Returns the failure message, or "".
std::string makeResults(ImageResizeTask& task, std::vector<Target>& targets, ImageSource* source,
                        const CPicture* picture, int turnCode, bool linear) {
    const Pixmill& engine = *task.engine;
    const int32_t sourceMode = picture ? picture->transparencyMode : source->mode;
    const bool modeKnown = picture ? true : source->modeKnown;
    std::vector<std::unique_ptr<ResultRows>> rows;
    std::vector<RowSink*> sinks;
    for (Target& target : targets) {
        rows.emplace_back(new ResultRows(target.plan, picture ? 0 : turnCode,
                                         picture ? picture->width : source->width,
                                         picture ? picture->height : source->height, sourceMode, modeKnown,
                                         engine.resizeQuality, linear, *target.result,
                                         target.grid ? &*target.grid : nullptr));
        sinks.push_back(&rows.back()->sink());
    }
    // One output takes the rows straight; several share them.
    FanOutRows fanOut(sinks);
    RowSink& sink = sinks.size() == 1 ? *sinks[0] : fanOut;
    if (picture) {
        putPictureRows(*picture, sink);
    } else if (!source->putRows(sink)) {
        return openFailure(task, *source);
    } else {
        task.warning = source->warning();
    }
    for (auto& each : rows) each->finish(picture ? picture->transparencyMode : source->mode);
    return std::string();
}

// Sharpens, converts and saves one output's result; the result goes once it is written.
void finishOutput(ImageResizeTask& task, Target& target, const SourceBlocks& blocks) {
    const Pixmill& engine = *task.engine;
    JobOutput& output = *target.output;
    CPicture& result = *target.result;
    Step step = Step::Resize;
    try {
        if (result.isEmpty()) {
            output.message = failureMessage(task, Step::Resize);
        } else {
            sharpenPicture(result,
                           64 * std::max(0, std::min<int32_t>(engine.output.sharpen, SharpenLevel::Strong)));
            if (engine.output.colour == ColourMode::Srgb) toSrgb(output.note, result);
            // Saving needs about two result pictures' worth (the encoder keeps its coefficients);
            // that much of the memory this worker keeps for its next picture goes back to the system.
            trimKeptPixels(2 * size_t(result.width) * size_t(result.height) * 4);
            step = Step::Save;
            output.message = saveResult(task, output, result, blocks);
        }
    } catch (const std::exception& error) {
        output.message = step == Step::Save ? saveFailureMessage(output) : failureMessage(task, step);
        if (dynamic_cast<const std::bad_alloc*>(&error)) output.cause = "out of memory";
    }
    if (!output.message.empty() && !output.skipped) output.failed = true;
    target.result.reset();
}

// The whole pipeline; step tells the caller in which step an exception (out of memory) arose.
// Returns the failure of the job as a whole (it opened or resized nothing), or "" once every
// output has its own outcome.
std::string runJob(ImageResizeTask& task, std::vector<JobOutput>& outputs, Step& step) {
    const Pixmill& engine = *task.engine;
    step = Step::Open;
    std::vector<Target> targets = outputsToWrite(task, outputs);
    if (targets.empty()) return std::string();
    MemoryReservation memory(task.engine->memoryBudget);
    int32_t declaredW = 0, declaredH = 0;
    bool whole = false;
    uint64_t held = 0;
    // Sources that decode when opened take their memory before they are opened. They carry no
    // EXIF block to turn by, and a streamed PNG may learn its mode late.
    if (declaredSize(task.sourcePath, declaredW, declaredH, whole, &held)) {
        const int turn = turnFor(engine.rotate, declaredW, declaredH, 0);
        const std::string failure =
            reserveMemory(task, memory, memoryNeeded(task, targets, declaredW, declaredH, turn, whole, held));
        if (!failure.empty()) return failure;
    }
    std::unique_ptr<ImageSource> source = ImageSource::open(task.sourcePath);
    if (!source->isOpen()) return openFailure(task, *source);
    // CMYK with its own profile becomes sRGB through it as it is decoded: the rows are resampled
    // as RGB, and the conversion after resampling finds no profile left.
    if (engine.output.colour == ColourMode::Srgb) source->convertCmykToSrgb();
    Exif exif;
    takeExif(*source, exif);
    task.note = noteOf(*source);
    SourceBlocks blocks{std::string(), source->xmpPacket, source->iptcBlock};
    const int turnCode = turnFor(engine.rotate, source->width, source->height, orientationOf(*source, exif));
    if (!memory.held()) {
        const std::string failure =
            reserveMemory(task, memory,
                          memoryNeeded(task, targets, source->width, source->height, turnCode,
                                       !source->streams(), source->decoderBytes()));
        if (!failure.empty()) return failure;
    }

    step = Step::Resize;
    // Turned pictures are resampled from the source's own rows; only a copy (a box of the part's
    // own size) makes the turned picture whole, decoded and turned in one pass.
    const bool quarter = turnCode == 6 || turnCode == 8;
    bool copies = false;
    for (Target& target : targets) {
        target.plan =
            ::planFor(target.output->resolution, engine.cropMode, engine.output.noEnlarge,
                      quarter ? source->height : source->width, quarter ? source->width : source->height);
        copies = copies || target.plan.copy;
    }
    if (engine.fastDraft) {
        // The tapped filters sample a draft where the full picture's outputs would be.
        const bool gridded = engine.resizeQuality != ResizeQuality::Nearest && !engine.output.linear;
        draftPlans(*source, targets, turnCode, gridded);
        copies = false;
        for (const Target& target : targets) copies = copies || target.plan.copy;
    }
    const bool decoderTurned = source->oriented;
    // Linear light is resampled from the turned picture's rows, so it turns the picture whole too.
    const bool linear = engine.output.linear && engine.resizeQuality != ResizeQuality::Nearest;
    const bool turnWhole = turnCode != 0 && (copies || linear);
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
        // The decoder's memory goes before the results' is taken.
        source.reset();
    }
    // A picture turned by its EXIF orientation, or by its decoder, is upright as written.
    if ((turnCode != 0 && engine.rotate == Rotation::ByExif) || decoderTurned)
        exif.setField(kOrientationTag, 1);
    if (exif.loaded) blocks.exif = exif.exifBlock.substr(6);
    try {
        for (Target& target : targets) target.result.reset(new CPicture(target.plan.W, target.plan.H));
    } catch (const std::bad_alloc&) {
        if (!picture && source->streams()) step = stepOfShortage(task);
        throw;
    }
    const std::string failure = makeResults(task, targets, source.get(), picture.get(), turnCode, linear);
    if (!failure.empty()) return failure;
    // The colour profile is colour meaning: it goes with the pixels whatever is done to them.
    const std::string profile = picture ? picture->iccProfile : source->iccProfile();
    for (Target& target : targets) target.result->iccProfile = profile;
    picture.reset();
    source.reset();

    step = Step::Save;
    for (Target& target : targets) {
        target.output->note = task.note;
        finishOutput(task, target, blocks);
    }
    return std::string();
}

// The job's own fields from its outputs' outcomes (see ImageResizeTask::outputs); a failure of
// the job as a whole is every output's.
void settleOutcome(ImageResizeTask& task, std::vector<JobOutput>& outputs, const std::string& jobFailure) {
    for (JobOutput& output : outputs) {
        const bool ended = output.failed || output.skipped || !output.message.empty() || output.width > 0;
        if (ended || jobFailure.empty()) continue;
        output.message = jobFailure;
        output.cause = task.cause;
        output.note = task.note;
        output.failed = true;
    }
    const JobOutput& first = outputs.front();
    const JobOutput* failure = nullptr;
    bool allSkipped = true;
    for (const JobOutput& output : outputs) {
        if (output.failed && !failure) failure = &output;
        allSkipped = allSkipped && output.skipped;
    }
    task.outputWidth = first.width;
    task.outputHeight = first.height;
    task.outputBytes = first.bytes;
    task.outputQuality = first.quality;
    task.note = first.note;
    task.skipped = allSkipped;
    task.failed = failure != nullptr;
    task.message = failure ? failure->message : allSkipped ? first.message : std::string();
    task.cause = failure ? failure->cause : std::string();
}

}  // namespace

ImageResizeTask::ImageResizeTask(Pixmill* owner) : engine(owner) {}

void ImageResizeTask::execute() {
    started = true;
    failed = false;
    const auto start = std::chrono::steady_clock::now();
    // One output is the job's own path and size word.
    std::vector<JobOutput> single;
    if (outputs.empty()) {
        single.push_back(JobOutput());
        single.back().path = outputPath;
        single.back().resolution = resolution;
    }
    std::vector<JobOutput>& all = outputs.empty() ? single : outputs;
    Step step = Step::Open;
    std::string failure;
    try {
        failure = runJob(*this, all, step);
    } catch (const std::bad_alloc&) {
        failure = failureMessage(*this, step);
        cause = "out of memory";
    } catch (const std::exception&) {
        failure = failureMessage(*this, step);
    }
    settleOutcome(*this, all, failure);
    elapsedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // A worker never sees a job available again once it was taken.
    done = true;
    started = false;
}
