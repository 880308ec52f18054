// SPDX-License-Identifier: MIT
// One pixmill-cli batch: every input offered to the engine's intake, then the jobs watched to their end.
#include "cli/BatchRun.h"

#include <unistd.h>

#include <chrono>

#include "cli/Interrupt.h"
#include "cli/ProgressView.h"
#include "cli/StatusBoard.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "engine/SafeSave.h"
#include "tools/modTools.h"

namespace {

const auto kPollInterval = std::chrono::milliseconds(50);
const int kExitInterrupted = 130;

struct WatchedJob {
    ImageResizeTask* task;
    bool reported;
};

class BatchWatch {
  public:
    BatchWatch(Pixmill& owner, ProgressView& progress, ReportFile& reportFile, BatchOutcome& result)
        : engine(owner), view(progress), report(reportFile), outcome(result) {}

    void offer(const std::vector<InputItem>& inputs);
    void waitForJobs();
    // Reports the jobs that ended and takes an interrupt; a second one quits.
    void poll();
    bool allReported() const { return firstUnreported == jobs.size(); }
    void record(const JobRecord& job);

  private:
    Pixmill& engine;
    ProgressView& view;
    ReportFile& report;
    BatchOutcome& outcome;
    std::vector<WatchedJob> jobs;
    size_t ended = 0;
    size_t total = 0;            // the count the lines and the bar show: inputs, then queued jobs
    size_t firstUnreported = 0;  // every job before it has been reported
    std::chrono::steady_clock::time_point lastPoll;

    bool queue(const InputItem& input);
    void offerOne(const InputItem& input);
    void takeInterrupt();
    void collectEnded();
    bool allEnded() const;
    void sleepUntilNextLook();
    [[noreturn]] void quitNow();
};

// Counts the record, sends it to the report and keeps it for the final list when it needs one.
void BatchWatch::record(const JobRecord& job) {
    outcome.counts.count(job.status);
    report.add(reportObject(job));
    if (job.status == JobStatus::Refused) outcome.refused.push_back(job);
    if (job.status == JobStatus::Damaged) outcome.damaged.push_back(job);
    if (job.status == JobStatus::Failed) outcome.failed.push_back(job);
}

// Intake runs as for a window drop; the signals stay blocked meanwhile so that the workers
// addFile starts inherit a mask that leaves Ctrl-C to the main thread. While every worker runs,
// addFile starts none and the two mask changes are saved (a signal sent to the process goes to
// its main thread first, so one that a worker started later could take stays rare and harmless).
bool BatchWatch::queue(const InputItem& input) {
    if (engine.runningThreads >= engine.workerLimit()) return engine.addFile(input.path, input.folderBelow);
    InterruptsBlocked blocked;
    return engine.addFile(input.path, input.folderBelow);
}

void BatchWatch::offerOne(const InputItem& input) {
    if (!input.refusal.empty()) return record(recordOfRefusal(input));
    if (interruptRequested()) return record(recordNotStarted(input.path, std::string()));
    const bool queued = queue(input);
    if (!queued) return record(recordOfRefusal(InputItem{input.path, engine.refusalReason(input.path), ""}));
    EnterCriticalSection(&engine.taskMutex);
    jobs.push_back(WatchedJob{engine.tasks.back(), false});
    LeaveCriticalSection(&engine.taskMutex);
}

// The first frame is drawn before any job is queued, so it always shows "0/N"; during a long
// intake the jobs that end are reported as they end. A batch that stays open is offered inputs
// again and again; its count grows with each offer.
void BatchWatch::offer(const std::vector<InputItem>& inputs) {
    for (const InputItem& input : inputs) total += input.refusal.empty() ? 1 : 0;
    view.update(ended, total, std::string());
    lastPoll = std::chrono::steady_clock::now();
    for (const InputItem& input : inputs) {
        offerOne(input);
        if (std::chrono::steady_clock::now() - lastPoll >= kPollInterval) poll();
    }
    total = jobs.size();
}

void BatchWatch::poll() {
    if (quitRequested()) quitNow();
    takeInterrupt();
    collectEnded();
    view.update(ended, total, latestStatus());
    lastPoll = std::chrono::steady_clock::now();
}

void BatchWatch::takeInterrupt() {
    if (!interruptRequested() || engine.stopRequested) return;
    engine.stopRequested = true;
    outcome.counts.interrupted = true;
    view.note(
        "pixmill-cli: interrupted: letting the running files finish, starting no more (Ctrl-C again stops "
        "them "
        "and quits)");
}

// Workers take the jobs in queue order, so the first job that is neither started nor done is
// followed only by jobs that are not taken yet: each look walks the running and newly ended jobs,
// never the whole queue (a batch of N jobs costs O(N) looks in all, not O(N) per look). A job's
// fields are written before its done flag, so they are complete once done is seen; done is set
// before started is cleared.
bool notTakenYet(const ImageResizeTask& task) {
    return !task.done && !task.started;
}

void BatchWatch::collectEnded() {
    for (size_t i = firstUnreported; i < jobs.size(); ++i) {
        WatchedJob& job = jobs[i];
        if (notTakenYet(*job.task)) break;
        if (job.reported || !job.task->done) continue;
        job.reported = true;
        ++ended;
        for (const JobRecord& result : recordsOfJob(*job.task)) {
            record(result);
            if (view.showsEachJob()) view.finished(ended, total, recordText(result));
        }
    }
    while (firstUnreported < jobs.size() && jobs[firstUnreported].reported) ++firstUnreported;
    report.flush();
}

// The running jobs are left unfinished: their temporary files go, the lines already in the report
// stay (it has no summary, like the report of a killed run).
void BatchWatch::quitNow() {
    report.flush();
    const size_t removed = removeTempFilesInFlight();
    view.clear();
    view.note("pixmill-cli: interrupted again: quitting (" + std::to_string(removed) +
              (removed == 1 ? " temporary file" : " temporary files") + " removed)");
    fflush(stdout);
    _exit(kExitInterrupted);
}

bool BatchWatch::allEnded() const {
    for (size_t i = firstUnreported; i < jobs.size(); ++i)
        if (!jobs[i].reported && !jobs[i].task->done) return false;  // the first such job ends the walk
    return true;
}

// Jobs are looked at every kPollInterval, which keeps the order of their lines as it always was;
// a signal (the handler runs on this thread) or the last job's end cuts the sleep short, so a
// batch ends as soon as its work does.
void BatchWatch::sleepUntilNextLook() {
    const auto until = std::chrono::steady_clock::now() + kPollInterval;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return;
        const bool woken = waitForIdleWorker(int(left));
        if (quitRequested() || (interruptRequested() && !engine.stopRequested)) return;
        if (woken && allEnded()) return;
    }
}

// Ends when every job has ended, or when no worker is left to run the rest (after an interrupt).
void BatchWatch::waitForJobs() {
    for (;;) {
        if (quitRequested()) quitNow();
        takeInterrupt();
        const bool noWorker = engine.runningThreads == 0;
        collectEnded();
        view.update(ended, total, latestStatus());
        if (ended == jobs.size() || noWorker) break;
        sleepUntilNextLook();
    }
    for (const WatchedJob& job : jobs) {
        if (job.reported) continue;
        if (job.task->outputs.empty()) record(recordNotStarted(job.task->sourcePath, job.task->outputPath));
        for (const JobOutput& output : job.task->outputs)
            record(recordNotStarted(job.task->sourcePath, output.path));
    }
    if (interruptRequested()) outcome.counts.interrupted = true;
    view.clear();
}

}  // namespace

BatchOutcome runBatch(Pixmill& engine, const std::vector<InputItem>& inputs, ProgressView& view,
                      ReportFile& report) {
    BatchOutcome outcome;
    BatchWatch watch(engine, view, report, outcome);
    holdQuitForCleanup(true);
    watch.offer(inputs);
    watch.waitForJobs();
    holdQuitForCleanup(false);
    return outcome;
}

struct OpenBatch::Parts {
    BatchOutcome outcome;
    BatchWatch watch;
    Parts(Pixmill& engine, ProgressView& view, ReportFile& report) : watch(engine, view, report, outcome) {}
};

OpenBatch::OpenBatch(Pixmill& engine, ProgressView& view, ReportFile& report)
    : parts(new Parts(engine, view, report)) {
    holdQuitForCleanup(true);
}

OpenBatch::~OpenBatch() {
    holdQuitForCleanup(false);
}

void OpenBatch::offer(const std::vector<InputItem>& inputs) {
    parts->watch.offer(inputs);
}

void OpenBatch::look() {
    parts->watch.poll();
}

void OpenBatch::add(const JobRecord& record) {
    parts->watch.record(record);
}

bool OpenBatch::busy() const {
    return !parts->watch.allReported();
}

BatchOutcome OpenBatch::finish() {
    parts->watch.waitForJobs();
    holdQuitForCleanup(false);
    return parts->outcome;
}

BatchOutcome planBatch(Pixmill& engine, const std::vector<InputItem>& inputs, FILE* text,
                       ReportFile& report) {
    BatchOutcome outcome;
    outcome.counts.dryRun = true;
    for (const InputItem& input : inputs) {
        JobRecord plan = recordOfRefusal(input);
        // Several outputs from one decode: one line for each.
        std::vector<std::string> outputs{std::string()};
        if (input.refusal.empty()) {
            outputs = engine.planFiles(input.path, input.folderBelow);
            if (outputs.empty()) outputs.push_back(std::string());
            plan.status = outputs[0].empty() ? JobStatus::Refused : JobStatus::Planned;
            if (outputs[0].empty()) plan.reason = engine.refusalReason(input.path);
        }
        for (const std::string& output : outputs) {
            plan.output = output;
            outcome.counts.count(plan.status);
            report.add(reportObject(plan));
            fprintf(text, "%s\n", recordText(plan).c_str());
        }
    }
    fflush(text);
    return outcome;
}
