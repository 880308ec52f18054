// SPDX-License-Identifier: MIT
// Job list and worker threads.
#include <unistd.h>

#include <algorithm>

#include "engine/AppCallbacks.h"
#include "engine/ImageResizeTask.h"
#include "engine/JobState.h"
#include "engine/Pixmill.h"
#include "tools/modTools.h"

namespace {

// Holds the engine's recursive lock for one scope.
class TaskLock {
  public:
    explicit TaskLock(CRITICAL_SECTION* lock) : lock(lock) { EnterCriticalSection(lock); }
    ~TaskLock() { LeaveCriticalSection(lock); }
    TaskLock(const TaskLock&) = delete;
    TaskLock& operator=(const TaskLock&) = delete;

  private:
    CRITICAL_SECTION* lock;
};

bool isAvailable(const ImageResizeTask* task) {
    return !task->started && !task->done;
}

}  // namespace

size_t Pixmill::findAvailableTask() {
    // Jobs are never reset, so every job before the first available one stays unavailable and
    // the walk need not start from the front each time.
    while (firstAvailableTask < tasks.size() && !isAvailable(tasks[firstAvailableTask])) ++firstAvailableTask;
    return firstAvailableTask;
}

bool Pixmill::startWorker() {
    ThreadHandle* handle = createThread(taskThread, this, 0, "TaskThread");
    if (!handle) return false;
    ++runningThreads;
    // Workers end by themselves and are never joined.
    detachThread(handle);
    return true;
}

void Pixmill::addTask(ImageResizeTask* task) {
    TaskLock hold(&taskMutex);
    tasks.push_back(task);
    // A failed start leaves the job for the running workers or the next addTask.
    if (runningThreads < workerLimit()) startWorker();
}

void* Pixmill::taskThread(void* argument) {
    Pixmill* engine = static_cast<Pixmill*>(argument);
    // getNextTask itself counts the worker out when it finds nothing.
    while (ImageResizeTask* task = engine->getNextTask()) {
        if (engine->stopRequested) {
            // The job just taken stays started and is never run.
            TaskLock hold(&engine->taskMutex);
            --engine->runningThreads;
            return nullptr;
        }
        task->execute();
    }
    return nullptr;
}

ImageResizeTask* Pixmill::takeAvailableTask(bool countOutWhenNone) {
    ImageResizeTask* task = nullptr;
    size_t position = 0, count = 0;
    {
        TaskLock hold(&taskMutex);
        position = findAvailableTask();
        count = tasks.size();
        if (position < count) {
            task = tasks[position];
            task->started = true;
        } else if (countOutWhenNone) {
            // Counted out under the lock: a job appended now either is seen by this worker or
            // makes addTask start a new one.
            --runningThreads;
        }
    }
    if (task) {
        appSetProgressBar(static_cast<double>(position) / static_cast<double>(count));
        appSetStatusField("Resizing " + getFileName(task->sourcePath));
    }
    return task;
}

ImageResizeTask* Pixmill::getNextTask() {
    if (ImageResizeTask* task = takeAvailableTask(false)) return task;
    // Reported before the worker counts itself out, so that once the last worker is seen to end
    // (by waitUntilIdle or the destructor) nothing more of this engine's work is reported.
    appSetProgressBar(0.0);
    appSetStatusField("Finished");
    // After the count-out the engine may be destroyed at any moment: touch nothing more.
    return takeAvailableTask(true);
}

void Pixmill::stopBatch() {
    TaskLock hold(&taskMutex);
    for (size_t i = findAvailableTask(); i < tasks.size(); ++i) {
        ImageResizeTask* task = tasks[i];
        if (!isAvailable(task)) continue;
        // Taken by no worker while the lock is held; the texts are written before done is set.
        task->message = "the batch was stopped";
        task->skipped = true;
        task->done = true;
    }
}

size_t Pixmill::jobCount() {
    TaskLock hold(&taskMutex);
    return tasks.size();
}

std::vector<JobChange> Pixmill::changedJobs(size_t first, const std::vector<JobPhase>& shown) {
    std::vector<JobChange> changes;
    TaskLock hold(&taskMutex);
    for (size_t i = first; i < tasks.size(); ++i) {
        const size_t known = i - first;
        if (known < shown.size() && phaseOf(*tasks[i]) == shown[known]) continue;
        changes.push_back(JobChange{i, snapshotOf(*tasks[i])});
    }
    return changes;
}

bool Pixmill::isIdle() {
    TaskLock hold(&taskMutex);
    if (runningThreads > 0) return false;
    if (stopRequested || findAvailableTask() >= tasks.size()) return true;
    // Jobs wait but no worker runs: a thread start failed earlier. Try again.
    startWorker();
    return false;
}

void Pixmill::waitUntilIdle() {
    useconds_t pause = 500;
    while (!isIdle()) {
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 20000);
    }
}
