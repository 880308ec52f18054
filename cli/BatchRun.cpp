// One pixmill-cli batch: every input offered to the engine's intake, then the jobs watched to their end.
#include "cli/BatchRun.h"

#include <unistd.h>

#include "cli/Interrupt.h"
#include "cli/ProgressView.h"
#include "cli/StatusBoard.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

const useconds_t kPollMicroseconds = 50 * 1000;

struct WatchedJob {
    ImageResizeTask* task;
    bool reported;
};

class BatchWatch {
  public:
    BatchWatch(Pixmill& owner, ProgressView& progress, BatchOutcome& result)
        : engine(owner), view(progress), outcome(result) {}

    void offer(const std::vector<InputItem>& inputs);
    void waitForJobs();

  private:
    Pixmill& engine;
    ProgressView& view;
    BatchOutcome& outcome;
    std::vector<WatchedJob> jobs;
    size_t ended = 0;

    void takeInterrupt();
    void collectEnded();
};

// Intake runs as for a window drop; the signals stay blocked meanwhile so that the workers
// addFile starts inherit a mask that leaves Ctrl-C to the main thread.
void BatchWatch::offer(const std::vector<InputItem>& inputs) {
    for (const InputItem& input : inputs) {
        if (interruptRequested()) {
            if (input.refusal.empty()) ++outcome.notStarted;
            continue;
        }
        if (!input.refusal.empty()) {
            outcome.refused.push_back(input);
            continue;
        }
        bool queued;
        {
            InterruptsBlocked blocked;
            queued = pxmHandleFileDrop(input.path.c_str());
        }
        if (!queued) {
            outcome.refused.push_back(InputItem{input.path, intakeRefusalReason(engine, input.path)});
            continue;
        }
        EnterCriticalSection(&engine.taskMutex);
        jobs.push_back(WatchedJob{engine.tasks.back(), false});
        LeaveCriticalSection(&engine.taskMutex);
    }
}

void BatchWatch::takeInterrupt() {
    if (!interruptRequested() || engine.stopRequested) return;
    engine.stopRequested = true;
    outcome.interrupted = true;
    view.note(
        "pixmill-cli: interrupted: letting the running files finish, starting no more (Ctrl-C again quits at "
        "once)");
}

// A job's message and output path are written before its done flag, so they are complete once done is seen.
void BatchWatch::collectEnded() {
    for (WatchedJob& job : jobs) {
        if (job.reported || !job.task->done) continue;
        job.reported = true;
        ++ended;
        if (job.task->failed) {
            view.finished(ended, jobs.size(), job.task->sourcePath, false, job.task->message);
        } else {
            ++outcome.resized;
            view.finished(ended, jobs.size(), job.task->sourcePath, true, job.task->outputPath);
        }
    }
}

// Ends when every job has ended, or when no worker is left to run the rest (after an interrupt).
void BatchWatch::waitForJobs() {
    for (;;) {
        takeInterrupt();
        const bool noWorker = engine.runningThreads == 0;
        collectEnded();
        view.update(ended, jobs.size(), latestStatus());
        if (ended == jobs.size() || noWorker) break;
        usleep(kPollMicroseconds);
    }
    // Failures are listed in the order the files were given, not the order they ended.
    for (const WatchedJob& job : jobs) {
        if (job.reported && job.task->failed)
            outcome.failed.push_back(FailedJob{job.task->sourcePath, job.task->message});
    }
    outcome.notStarted += jobs.size() - ended;
    if (interruptRequested()) outcome.interrupted = true;
    view.clear();
}

}  // namespace

std::string intakeRefusalReason(const Pixmill& engine, const std::string& path) {
    if (!CPicture::isValidFileType(path)) return "not a JPEG, PNG, GIF or BMP file name";
    const std::vector<std::string> sides = strsplit(engine.resolution, "x");
    if (sides.size() == 2 && (strToInt(strtrim(sides[0])) == 0 || strToInt(strtrim(sides[1])) == 0)) {
        return "the resolution \"" + engine.resolution + "\" has a zero or unreadable side";
    }
    return "the name template \"" + engine.outputFileName + "\" gives no output name";
}

BatchOutcome runBatch(Pixmill& engine, const std::vector<InputItem>& inputs, ProgressView& view) {
    BatchOutcome outcome;
    BatchWatch watch(engine, view, outcome);
    watch.offer(inputs);
    watch.waitForJobs();
    return outcome;
}
