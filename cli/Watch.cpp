// SPDX-License-Identifier: MIT
// pixmill-cli --watch FOLDER on Linux: inotify tells which files land in the folder, a read lease
// tells whether one is still open for writing, and an open batch resizes them.
#include "cli/Watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "cli/CliOptions.h"
#include "cli/InputPaths.h"
#include "cli/Interrupt.h"
#include "cli/ProgressView.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "tools/modTools.h"

namespace {

// Files that land (closed after writing, moved in), files that leave (their entries are dropped),
// and the folder itself going away. IN_EXCL_UNLINK: a file removed while open says no more.
const uint32_t kFolderEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                               IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
const uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
// How often the jobs are looked at while some run; with none, the wait lasts until an event.
const int kLookIntervalMs = 50;
// A file found open for writing is looked at again after these waits, doubled each time: the
// kernel sends the close event before it counts the writer out, and a writer may hold a file
// without ever closing it.
const int kFirstRetryMs = 10;
const int kLastRetryMs = 2000;

using Clock = std::chrono::steady_clock;

// What tells one state of a file from the next: a file written again or replaced by a move differs
// in one of these.
struct FileState {
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {};

    bool operator==(const FileState& other) const {
        return inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// False for anything but a regular file (folders, links to nothing, pipes named like images).
bool regularFileState(const std::string& path, FileState& state) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    state = FileState{info.st_ino, info.st_size, info.st_mtim};
    return true;
}

// True when some process has the file open for writing: the kernel refuses a read lease then
// (EAGAIN). Where no lease can be had (another user's file, a file system without leases) the file
// counts as complete, as the event that named it says. The lease is held for the two calls only; a
// writer opening the file meanwhile waits that long (SIGIO, which would tell us, is ignored).
bool openForWriting(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool writing = fcntl(fd, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
    close(fd);  // gives the lease back
    return writing;
}

// The names of the image files in folder, in name order.
std::vector<std::string> imageNamesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (Pixmill::isImageFileName(name)) names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Where intake would write path (every output of it), with nothing made and the name counter left
// as it was; empty when intake would refuse it.
std::vector<std::string> plannedOutputs(Pixmill& engine, const std::string& path) {
    const uint64_t counter = engine.fileCounter;
    const std::vector<std::string> outputs = engine.planFiles(path);
    engine.fileCounter = counter;
    return outputs;
}

// The paths a queued job writes: every one of them is an output, never a source.
std::vector<std::string> outputsOf(const ImageResizeTask& task) {
    if (task.outputs.empty()) return {task.outputPath};
    std::vector<std::string> paths;
    for (const JobOutput& output : task.outputs) paths.push_back(output.path);
    return paths;
}

// An inotify instance watching one folder; the descriptor is closed with it.
class FolderEvents {
  public:
    ~FolderEvents() {
        if (fd >= 0) close(fd);
    }
    // False with error set (errno's words) when the folder cannot be watched.
    bool open(const std::string& folder, std::string& error) {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            error = errno == EMFILE ? "too many inotify instances (fs.inotify.max_user_instances)"
                                    : strerror(errno);
            return false;
        }
        if (inotify_add_watch(fd, folder.c_str(), kFolderEvents) < 0) {
            error =
                errno == ENOSPC ? "too many inotify watches (fs.inotify.max_user_watches)" : strerror(errno);
            return false;
        }
        return true;
    }
    int descriptor() const { return fd; }

  private:
    int fd = -1;
};

// What one read of the events asks for.
struct EventBatch {
    std::vector<std::string> landed;  // names closed after writing or moved in, each once
    std::vector<std::string> left;    // names removed or moved away
    bool overflow = false;            // events were lost: look at the whole folder
    bool folderGone = false;
};

enum class Verdict { Take, Leave, Later };

// When a file still open for writing is looked at again.
struct Retry {
    Clock::time_point at;
    int delayMs = 0;
};

class FolderWatch {
  public:
    FolderWatch(Pixmill& owner, const std::string& watched, OpenBatch& open, ProgressView& progress)
        : engine(owner), folder(watched), batch(open), view(progress) {}

    bool start(std::string& error) { return events.open(folder, error); }
    void takeFilesThere();
    // Until an interrupt (true) or until the folder goes away (false).
    bool run();

  private:
    Pixmill& engine;
    const std::string folder;
    OpenBatch& batch;
    ProgressView& view;
    FolderEvents events;
    std::map<std::string, FileState> taken;  // by name: the state each file was taken in
    std::set<std::string> outputs;           // every output path this process planned
    std::map<std::string, Retry> pending;    // by name: files found open for writing
    size_t jobsSeen = 0;

    std::string pathOf(const std::string& name) const { return folder + "/" + name; }
    Verdict verdict(const std::string& name, FileState& state) const;
    void retryLater(const std::string& name);
    std::vector<std::string> retriesDue() const;
    int msToNextRetry() const;
    void take(const std::vector<std::string>& names);
    void rememberOutputs();
    void waitForEvents(int timeoutMs);
    EventBatch readEvents();
};

// A file to take now: not an output of ours, a regular file changed since it was last taken, and
// closed by every writer (one still writing is looked at again later).
Verdict FolderWatch::verdict(const std::string& name, FileState& state) const {
    const std::string path = pathOf(name);
    if (!Pixmill::isImageFileName(name) || outputs.count(path) || !regularFileState(path, state))
        return Verdict::Leave;
    const auto known = taken.find(name);
    if (known != taken.end() && known->second == state) return Verdict::Leave;
    return openForWriting(path) ? Verdict::Later : Verdict::Take;
}

void FolderWatch::retryLater(const std::string& name) {
    const auto known = pending.find(name);
    const int delayMs =
        known == pending.end() ? kFirstRetryMs : std::min(2 * known->second.delayMs, kLastRetryMs);
    pending[name] = Retry{Clock::now() + std::chrono::milliseconds(delayMs), delayMs};
}

std::vector<std::string> FolderWatch::retriesDue() const {
    std::vector<std::string> due;
    const Clock::time_point now = Clock::now();
    for (const auto& [name, retry] : pending)
        if (retry.at <= now) due.push_back(name);
    return due;
}

// -1 when no file waits for its writer.
int FolderWatch::msToNextRetry() const {
    if (pending.empty()) return -1;
    Clock::time_point next = pending.begin()->second.at;
    for (const auto& entry : pending) next = std::min(next, entry.second.at);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return int(std::max<int64_t>(left, 0));
}

void FolderWatch::take(const std::vector<std::string>& names) {
    std::vector<InputItem> inputs;
    for (const std::string& name : names) {
        FileState state;
        const Verdict decided = verdict(name, state);
        if (decided == Verdict::Later) retryLater(name);
        if (decided != Verdict::Later) pending.erase(name);
        if (decided != Verdict::Take) continue;
        taken[name] = state;
        inputs.push_back(InputItem{pathOf(name), std::string(), std::string()});
    }
    if (inputs.empty()) return;
    batch.offer(inputs);
    rememberOutputs();
}

// The outputs of the jobs queued since the last call. Called before the next events are read,
// so the event of an output landing in the folder always finds it here.
void FolderWatch::rememberOutputs() {
    EnterCriticalSection(&engine.taskMutex);
    for (; jobsSeen < engine.tasks.size(); ++jobsSeen)
        for (const std::string& output : outputsOf(*engine.tasks[jobsSeen])) outputs.insert(output);
    LeaveCriticalSection(&engine.taskMutex);
}

// The files there already, but not those whose outputs exist, nor those that are another file's
// output (an earlier run's, when the outputs land in the folder itself).
void FolderWatch::takeFilesThere() {
    const std::vector<std::string> names = imageNamesIn(folder);
    std::map<std::string, std::vector<std::string>> planned;
    std::set<std::string> plannedPaths;
    for (const std::string& name : names) {
        planned[name] = plannedOutputs(engine, pathOf(name));
        plannedPaths.insert(planned[name].begin(), planned[name].end());
    }
    std::vector<std::string> fresh;
    size_t done = 0;
    for (const std::string& name : names) {
        FileState state;
        const bool isOutput = plannedPaths.count(pathOf(name)) > 0;
        // As --skip-existing decides: a file is done when every one of its outputs exists.
        const std::vector<std::string>& mine = planned[name];
        const bool hasOutput = !mine.empty() && std::all_of(mine.begin(), mine.end(), FileExist);
        if (!isOutput && !hasOutput) {
            fresh.push_back(name);
        } else if (regularFileState(pathOf(name), state)) {
            if (isOutput) outputs.insert(pathOf(name));
            taken[name] = state;  // taken again only once it changes
            done += hasOutput && !isOutput ? 1 : 0;
        }
    }
    take(fresh);
    view.note("pixmill-cli: watching " + folder + " (" + std::to_string(done) +
              (done == 1 ? " file there has its output" : " files there have their outputs") +
              "); Ctrl-C ends");
}

// Signals are let in only inside ppoll, so an interrupt that arrives just before the wait still
// ends it at once.
void FolderWatch::waitForEvents(int timeoutMs) {
    InterruptsBlocked blocked;
    if (interruptRequested()) return;
    struct pollfd ready = {events.descriptor(), POLLIN, 0};
    const struct timespec timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    ppoll(&ready, 1, timeoutMs < 0 ? nullptr : &timeout, &blocked.previousMask());
}

EventBatch FolderWatch::readEvents() {
    EventBatch batchOfEvents;
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = read(events.descriptor(), buffer, sizeof buffer);
        if (length <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(struct inotify_event)) <= length;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += ssize_t(sizeof(struct inotify_event)) + event->len;
            const std::string name = event->len ? std::string(event->name) : std::string();
            if (event->mask & IN_Q_OVERFLOW) batchOfEvents.overflow = true;
            if (event->mask & kFolderGone) batchOfEvents.folderGone = true;
            if (name.empty() || (event->mask & IN_ISDIR)) continue;
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) batchOfEvents.left.push_back(name);
            if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) &&
                std::find(batchOfEvents.landed.begin(), batchOfEvents.landed.end(), name) ==
                    batchOfEvents.landed.end())
                batchOfEvents.landed.push_back(name);
        }
    }
    return batchOfEvents;
}

bool FolderWatch::run() {
    for (;;) {
        batch.look();
        if (interruptRequested()) return true;
        const int retryMs = msToNextRetry();
        const int lookMs = batch.busy() ? kLookIntervalMs : -1;
        waitForEvents(retryMs < 0 || (lookMs >= 0 && lookMs < retryMs) ? lookMs : retryMs);
        const EventBatch landed = readEvents();
        for (const std::string& name : landed.left) {
            taken.erase(name);
            pending.erase(name);
        }
        if (landed.folderGone) return false;
        std::vector<std::string> names = landed.overflow ? imageNamesIn(folder) : landed.landed;
        for (const std::string& name : retriesDue())
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        take(names);
    }
}

JobRecord folderGoneRecord(const std::string& folder) {
    JobRecord record;
    record.source = folder;
    record.status = JobStatus::Failed;
    record.message = "no longer watched";
    record.reason = "the folder was removed, moved or unmounted";
    return record;
}

JobRecord unwatchableRecord(const std::string& folder, const std::string& error) {
    JobRecord record;
    record.source = folder;
    record.status = JobStatus::Failed;
    record.message = "cannot be watched";
    record.reason = error;
    return record;
}

}  // namespace

std::string watchUsageError(const CliOptions& options) {
    if (!options.watchFolder) return std::string();
    const std::string& folder = *options.watchFolder;
    struct stat info;
    if (stat(folder.c_str(), &info) != 0) return "--watch: " + folder + ": " + strerror(errno);
    if (!S_ISDIR(info.st_mode)) return "--watch: " + folder + " is not a folder";
    FolderEvents trial;
    std::string error;
    if (!trial.open(folder, error)) return "--watch: " + folder + " cannot be watched: " + error;
    return std::string();
}

std::string watchSettingsError(Pixmill& engine, const std::string& folder) {
    const std::string watched = withoutTrailingSlashes(absolutePath(folder));
    const std::vector<std::string> outputs = plannedOutputs(engine, watched + "/a.jpg");
    const bool counter = engine.outputFileName.find("%N") != std::string::npos;
    if (counter && !outputs.empty() && withoutTrailingSlashes(getFilePath(outputs.front())) == watched)
        return "--watch: the outputs land in the watched folder, where names with a counter (%N%) cannot be "
               "told from new files: give a name without one (-n) or another destination";
    return std::string();
}

BatchOutcome watchFolder(Pixmill& engine, const std::string& given, ProgressView& view, ReportFile& report) {
    const std::string folder = withoutTrailingSlashes(absolutePath(given));
    // A lease broken while it is held would otherwise end the program.
    signal(SIGIO, SIG_IGN);
    // A file whose output exists ends as skipped, not failed.
    if (engine.overwrite == OverwriteMode::No) engine.skipExisting = true;
    if (engine.destination == Destination::FixedFolder) makeDirectories(engine.outputFixedFolder);
    OpenBatch batch(engine, view, report);
    FolderWatch watch(engine, folder, batch, view);
    std::string error;
    if (!watch.start(error)) {
        batch.add(unwatchableRecord(folder, error));
    } else {
        watch.takeFilesThere();
        if (!watch.run()) {
            view.note("pixmill-cli: " + folder + " was removed, moved or unmounted: no longer watching it");
            batch.add(folderGoneRecord(folder));
        }
    }
    return batch.finish();
}
