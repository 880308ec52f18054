// SPDX-License-Identifier: MIT
// Pixmill: the engine object: settings, job list, worker bookkeeping and the settings file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/JobState.h"
#include "engine/MemoryBudget.h"
#include "engine/OutputSettings.h"
#include "engine/Settings.h"
#include "tools/PlatformIndependent.h"
#include "tools/modTools.h"

class ImageResizeTask;
struct JobOutput;

// A job whose phase is not the one a front end shows, with its position in the queue.
struct JobChange {
    size_t position;
    JobSnapshot job;
};

class Pixmill {
public:
    // Settings. Those that workers read while jobs run are atomics; strings are main-thread only.
    std::string resolution;
    std::atomic<int32_t> jpegQuality{90};
    std::atomic<int32_t> cropMode{CropMode::NoCrop};
    std::atomic<int32_t> resizeQuality{ResizeQuality::High};
    std::atomic<int32_t> overwrite{OverwriteMode::No};
    std::atomic<int32_t> rotate{Rotation::ByExif};
    std::atomic<bool> copyExif{true};
    std::string outputFileType;
    // Several outputs from one decode: every source is written at each size of resolution and
    // moreSizes, in each type of outputFileType and moreTypes (all pairs). Empty by default;
    // stored after the fixed lines as MORESIZES and MORETYPES, words joined by ",".
    std::vector<std::string> moreSizes, moreTypes;
    std::string outputFileName;
    std::string outputFixedFolder;
    std::string outputSubFolder;
    std::atomic<int32_t> destination{Destination::SubFolder};
    // Qualities of the other lossy output types, 1 to 100 (100: lossless WebP and JPEG XL); their
    // defaults give about what JPEG at 90 gives a resized photo.
    std::atomic<int32_t> webpQuality{kDefaultWebpQuality};
    std::atomic<int32_t> avifQuality{kDefaultAvifQuality};
    std::atomic<int32_t> jxlQuality{kDefaultJxlQuality};
    // Metadata, colour, sharpening and the other output settings; stored after the first 15 lines.
    // The metadata a job writes is output.metadata while copyExif is set, and none otherwise.
    OutputSettings output;
    int32_t metadataMode() const { return copyExif ? output.metadata.load() : int32_t(MetadataMode::None); }
    // Sets the metadata setting and the EXIF switch that goes with it (false only for none).
    void setMetadata(int32_t mode) {
        output.metadata = mode;
        copyExif = mode != MetadataMode::None;
    }
    // Draft decoding: JPEG decoded at a reduced DCT scale that leaves 1.5 times the target size
    // (faster, not exact). Stored after the fixed lines of config.xml, only when on.
    std::atomic<bool> fastDraft{false};
    // With overwrite No, an output that exists ends its job as skipped instead of failed (resuming
    // an interrupted batch). Not a stored setting.
    std::atomic<bool> skipExisting{false};
    // Bytes of pictures that running jobs may hold at once; 0 means half the physical memory.
    // Not a stored setting (pixmill-cli --memory-limit).
    std::atomic<uint64_t> memoryLimit{0};
    // What the running jobs hold of it. A stop must call memoryBudget.wake() after setting
    // stopRequested so that jobs waiting for memory end at once.
    MemoryBudget memoryBudget;
    uint64_t memoryLimitBytes() const {
        const uint64_t limit = memoryLimit;
        return limit ? limit : MemoryBudget::defaultLimit();
    }

    // Queue and workers.
    CRITICAL_SECTION taskMutex;
    std::vector<ImageResizeTask*> tasks;
    std::atomic<bool> stopRequested{false};
    std::atomic<int32_t> runningThreads{0};
    // Cap on live workers set by a front end; 0 means one per core.
    std::atomic<int32_t> maxWorkers{0};
    int32_t workerLimit() const {
        const int32_t cap = maxWorkers;
        return cap > 0 ? cap : getNbCores();
    }

    std::string settingsFolder;
    uint64_t fileCounter = 1;
    // Whether the destructor writes config.xml; a front end that applies one-run overrides turns
    // it off so the stored settings keep their bytes.
    bool saveSettingsOnExit = true;

    // Settings folder of the platform (created when missing), then the settings file read.
    Pixmill();
    // Same, on the given settings folder (tests and the headless front end).
    explicit Pixmill(const std::string& folder);
    virtual ~Pixmill();
    Pixmill(const Pixmill&) = delete;
    Pixmill& operator=(const Pixmill&) = delete;

    void loadSettings();
    // Sets every setting whose element the text holds (the settings file's elements, any letter
    // case, any order, e.g. a preset's); the others keep their values.
    void applySettingsText(const std::string& xml);
    void saveSettings();
    // The exact text of config.xml for the current settings.
    std::string settingsText() const;

    // Intake: true when the path became a queued job. folderBelow, when given, is a relative folder
    // under the destination's folder that takes the output (a mirrored tree); all its levels are
    // created.
    bool addFile(const std::string& path, const std::string& folderBelow = std::string());
    // What addFile would decide, with nothing created and nothing queued: the output path, or ""
    // when the path would be refused. The counter advances as it would in addFile.
    std::string planFile(const std::string& path, const std::string& folderBelow = std::string());
    // Several outputs from one decode: every output path addFile would give path (one per size and
    // type), the first being planFile's; empty when the path would be refused.
    std::vector<std::string> planFiles(const std::string& path, const std::string& folderBelow = std::string());
    // Every (size word, type word) an output is written in: resolution and moreSizes, each in
    // outputFileType and moreTypes, sizes first; a word given twice counts once.
    std::vector<std::pair<std::string, std::string>> outputPairs() const;
    // Why the name template could give two outputs of one source the same name (two size words
    // that fill %DSTX% and %DSTY% alike), or "" when it cannot.
    std::string outputNameClash() const;
    // Why addFile refused path, in words for people (it only answers yes or no).
    std::string refusalReason(const std::string& path) const;
    // Whether the name is one of an image type that intake takes (JPEG, PNG, GIF, BMP, HEIF, AVIF, WebP, TIFF, JPEG XL).
    static bool isImageFileName(const std::string& path);

    // Queue.
    void addTask(ImageResizeTask* task);
    static void* taskThread(void* engine);
    ImageResizeTask* getNextTask();
    // Blocks until no job is available or running and no worker is alive.
    void waitUntilIdle();
    // Ends the batch early from any thread: running jobs finish, every job still waiting ends as
    // skipped without being run. Jobs added afterwards run as usual.
    void stopBatch();
    // How many jobs were ever queued.
    size_t jobCount();
    // Every job from position first on whose phase differs from shown[position - first] (the jobs
    // past the end of shown are all new), in queue order. Costs a look at two flags per job and a
    // copy only of the jobs returned.
    std::vector<JobChange> changedJobs(size_t first, const std::vector<JobPhase>& shown);

    // Pushes every shown setting into the window through the app callbacks.
    void initGUIMac();

    // The extension addFile gives path's output (the preview's output takes it too).
    std::string outputExtension(const std::string& path) const { return outputExtensionFor(path, outputFileType); }

    // Settings folder of this platform: $XDG_CONFIG_HOME/pixmill or ~/.config/pixmill on Linux,
    // ~/Library/Application Support/pixmill on macOS.
    static std::string defaultSettingsFolder();

private:
    void construct(const std::string& folder);
    // Intake: the output folder for a dropped path, and the output name (counter search included).
    std::string outputFolderFor(const std::string& path) const;
    std::string outputNameFor(const std::string& path, const std::string& type, int32_t width, int32_t height,
                              const std::string& folder);
    // The output extension for path in the output type `type`: the type's word, or with "same" the file's own type
    // (by its first bytes).
    std::string outputExtensionFor(const std::string& path, const std::string& type) const;
    // The output folder and name addFile settles for path; false when it refuses the path.
    // createFolder: make the output folder when it is missing (addFile) or not (planFile).
    bool settleOutput(const std::string& path, const std::string& folderBelow, bool createFolder, int& folderError,
                      std::string& folder, std::string& name);
    // Every output of a job that writes several (one per size and type, a path given twice once),
    // the first at folder/name; empty when the job writes one file.
    std::vector<JobOutput> outputsFor(const std::string& path, const std::string& folder, const std::string& name);
    // The output folder intake last found or made, while jobs run; "" when none.
    std::string folderKnownToExist;
    // Queue. The first two are called with taskMutex held: the position of the first available
    // job (tasks.size() when none), and the start of one worker (false when it could not start).
    size_t findAvailableTask();
    bool startWorker();
    // Marks the first available job started and reports it; with none, optionally counts the
    // calling worker out.
    ImageResizeTask* takeAvailableTask(bool countOutWhenNone);
    // True when no worker runs and no job waits; starts a worker when jobs wait without one.
    bool isIdle();
    // No job before this position is available; jobs are never reset, so it only moves forward.
    size_t firstAvailableTask = 0;
};

// Free lookups over the settings text and its lower-case copy; an empty or missing element leaves
// out unchanged.
void getSettingString(const std::string& xml, std::string& lowerXml, const std::string& name, std::string& out);
void getSettingInt(const std::string& xml, std::string& lowerXml, const std::string& name, int32_t& out);
void getSettingBool(const std::string& xml, std::string& lowerXml, const std::string& name, bool& out);
