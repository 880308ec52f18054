// SPDX-License-Identifier: MIT
// The job list and the worker threads: progress reports, the worker limit, shutdown, and load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>

#include "engine_testutil.h"
#include "tools/modTools.h"

namespace {

ImageResizeTask* newJob(Pixmill& engine, const std::string& source, const std::string& output = "") {
    ImageResizeTask* task = new ImageResizeTask(&engine);
    task->sourcePath = source;
    task->outputPath = output.empty() ? source + "_out.jpg" : output;
    task->resolution = "4x4";
    return task;
}

std::vector<std::string> statusTexts() {
    std::vector<std::string> texts;
    for (const AppEvent& e : recordedAppEvents())
        if (e.kind == "status") texts.push_back(e.text);
    return texts;
}

class Queue : public ::testing::Test {
  protected:
    TempDir settings;
    TempDir dir;
    void SetUp() override { clearRecordedAppEvents(); }
};

TEST_F(Queue, ProgressAndStatusForOneFileThenASecondBatch) {
    Pixmill engine(settings.path());
    engine.addTask(newJob(engine, dir.file("first.jpg")));
    engine.waitUntilIdle();
    auto events = recordedAppEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, "progress");
    EXPECT_EQ(events[0].value, 0.0);
    EXPECT_EQ(events[1].kind, "status");
    EXPECT_EQ(events[1].text, "Resizing first.jpg");
    EXPECT_EQ(events[2].kind, "progress");
    EXPECT_EQ(events[2].value, 0.0);
    EXPECT_EQ(events[3].kind, "status");
    EXPECT_EQ(events[3].text, "Finished");

    clearRecordedAppEvents();
    engine.addTask(newJob(engine, dir.file("second.jpg")));
    engine.waitUntilIdle();
    events = recordedAppEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].value, 0.5);
    EXPECT_EQ(events[1].text, "Resizing second.jpg");
    EXPECT_EQ(events[2].value, 0.0);
    EXPECT_EQ(events[3].text, "Finished");
    EXPECT_EQ(engine.runningThreads, 0);
    for (ImageResizeTask* task : engine.tasks) {
        EXPECT_TRUE(task->done);
        EXPECT_FALSE(task->started);
    }
}

TEST_F(Queue, StartsOneWorkerPerJobUpToTheProcessorCount) {
    Pixmill engine(settings.path());
    const int32_t cores = getNbCores();
    for (int batch : {3, 20, 2 * cores + 1}) {
        // While the test holds the lock, no worker can take a job or end.
        EnterCriticalSection(&engine.taskMutex);
        for (int i = 0; i < batch; ++i)
            engine.addTask(newJob(engine, dir.file("w" + std::to_string(i) + ".jpg")));
        EXPECT_EQ(engine.runningThreads, std::min(batch, cores)) << "batch of " << batch;
        LeaveCriticalSection(&engine.taskMutex);
        engine.waitUntilIdle();
        EXPECT_EQ(engine.runningThreads, 0);
    }
    for (ImageResizeTask* task : engine.tasks) EXPECT_TRUE(task->done);
}

TEST_F(Queue, ShutdownLeavesQueuedJobsUnrunAndSavesSettingsLast) {
    Pixmill* engine = new Pixmill(settings.path());
    engine->resolution = "77x77";
    EnterCriticalSection(&engine->taskMutex);
    for (int i = 0; i < 40; ++i) engine->addTask(newJob(*engine, dir.file("s" + std::to_string(i) + ".jpg")));
    const int32_t workers = engine->runningThreads;
    engine->stopRequested = true;  // what the destructor does first
    LeaveCriticalSection(&engine->taskMutex);
    while (engine->runningThreads > 0) usleep(1000);

    // Each worker took one more job and left it unrun.
    int taken = 0;
    for (ImageResizeTask* task : engine->tasks) {
        EXPECT_FALSE(task->done);
        taken += task->started ? 1 : 0;
    }
    EXPECT_EQ(taken, workers);
    EXPECT_FALSE(FileExist(settings.file("config.xml")));
    delete engine;
    EXPECT_NE(readBytes(settings.file("config.xml")).find("<RESOLUTION>77x77</RESOLUTION>"),
              std::string::npos);
}

TEST_F(Queue, ShutdownDuringRealWorkCompletesTheRunningJobs) {
    std::string source = dir.file("src.bmp");
    ASSERT_TRUE(patternPicture(64, 48)->saveToBMP(source));
    const int jobs = 200;
    {
        Pixmill engine(settings.path());
        for (int i = 0; i < jobs; ++i)
            engine.addTask(newJob(engine, source, dir.file("out" + std::to_string(i) + ".jpg")));
    }
    EXPECT_TRUE(FileExist(settings.file("config.xml")));
    int written = 0;
    for (int i = 0; i < jobs; ++i) {
        std::string output = dir.file("out" + std::to_string(i) + ".jpg");
        if (!FileExist(output)) continue;
        ++written;
        EXPECT_EQ(loadPicture(output)->width, 4) << output;
    }
    EXPECT_LT(written, jobs);
    // No job was cut off halfway.
    EXPECT_TRUE(tempFilesIn(dir.path()).empty());
}

// Stop asked for while the third job runs (from the worker itself, so the moment is exact): the
// running job finishes, the waiting ones end as skipped unrun, and the engine takes a new batch.
TEST_F(Queue, StopBatchFinishesTheRunningJobAndSkipsTheWaitingOnes) {
    std::string source = dir.file("src.bmp");
    ASSERT_TRUE(patternPicture(64, 48)->saveToBMP(source));
    Pixmill engine(settings.path());
    engine.maxWorkers = 1;
    auto output = [this](int i) { return dir.file("out" + std::to_string(i) + ".jpg"); };
    setStatusHook([&engine](const std::string& text) {
        if (text == "Resizing src.bmp") engine.stopBatch();
    });
    EnterCriticalSection(&engine.taskMutex);
    for (int i = 0; i < 6; ++i) engine.addTask(newJob(engine, source, output(i)));
    LeaveCriticalSection(&engine.taskMutex);
    engine.waitUntilIdle();
    setStatusHook(nullptr);
    // The first job was taken, then stop came before it ran.
    EXPECT_TRUE(FileExist(output(0)));
    EXPECT_FALSE(engine.tasks[0]->skipped);
    for (int i = 1; i < 6; ++i) {
        const ImageResizeTask& task = *engine.tasks[i];
        EXPECT_TRUE(task.done && task.skipped && !task.failed) << i;
        EXPECT_EQ(task.message, "the batch was stopped");
        EXPECT_FALSE(FileExist(output(i))) << i;
    }
    EXPECT_TRUE(tempFilesIn(dir.path()).empty());
    EXPECT_EQ(statusTexts().back(), "Finished");

    engine.stopBatch();  // nothing waits: nothing changes
    engine.addTask(newJob(engine, source, output(6)));
    engine.waitUntilIdle();
    EXPECT_TRUE(FileExist(output(6)));
    EXPECT_FALSE(engine.tasks[6]->skipped);
}

// A front end polling the queue gets only the jobs whose phase it does not show yet: a waiting,
// a running (held in its status report) and an ended job, then nothing once it shows them all.
TEST_F(Queue, ChangedJobsReturnsOnlyWhatMovedSinceTheLastLook) {
    std::string source = dir.file("src.bmp");
    ASSERT_TRUE(patternPicture(64, 48)->saveToBMP(source));
    Pixmill engine(settings.path());
    engine.maxWorkers = 1;
    std::vector<JobPhase> shown;
    std::vector<JobChange> seenWhileRunning;
    setStatusHook([&](const std::string& text) {
        if (text == "Resizing src.bmp" && seenWhileRunning.empty())
            seenWhileRunning = engine.changedJobs(0, shown);
    });
    EnterCriticalSection(&engine.taskMutex);
    engine.addTask(newJob(engine, source, dir.file("a.jpg")));
    engine.addTask(newJob(engine, dir.file("missing.bmp"), dir.file("b.jpg")));
    LeaveCriticalSection(&engine.taskMutex);
    engine.waitUntilIdle();
    setStatusHook(nullptr);
    ASSERT_EQ(seenWhileRunning.size(), 2u);
    EXPECT_EQ(seenWhileRunning[0].job.phase, JobPhase::Running);
    EXPECT_EQ(seenWhileRunning[1].job.phase, JobPhase::Waiting);
    EXPECT_EQ(seenWhileRunning[1].job.source, dir.file("missing.bmp"));

    shown = {JobPhase::Running, JobPhase::Failed};
    std::vector<JobChange> changes = engine.changedJobs(0, shown);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].position, 0u);
    EXPECT_EQ(changes[0].job.phase, JobPhase::Resized);
    EXPECT_EQ(changes[0].job.width, 4);
    shown[0] = JobPhase::Resized;
    EXPECT_TRUE(engine.changedJobs(0, shown).empty());
    // Looking from a later position compares shown with the jobs from there.
    changes = engine.changedJobs(1, {JobPhase::Waiting});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].job.phase, JobPhase::Failed);
    EXPECT_FALSE(changes[0].job.message.empty());
    EXPECT_EQ(engine.jobCount(), 2u);
}

// Jobs racing for one output path: without overwrite exactly one of them writes it, the others
// fail on the existing file; with overwrite all succeed. Either way the file is whole.
TEST_F(Queue, JobsWritingTheSameOutputNeverLeaveAPartialFile) {
    std::string source = dir.file("same.bmp");
    ASSERT_TRUE(patternPicture(40, 30)->saveToBMP(source));
    for (int32_t overwrite : {OverwriteMode::No, OverwriteMode::Yes}) {
        SCOPED_TRACE(overwrite == OverwriteMode::Yes ? "overwrite" : "keep");
        std::string output = dir.file("same" + std::to_string(overwrite) + ".jpg");
        Pixmill engine(settings.path());
        engine.overwrite = overwrite;
        for (int i = 0; i < 24; ++i) engine.addTask(newJob(engine, source, output));
        engine.waitUntilIdle();
        int written = 0;
        for (ImageResizeTask* task : engine.tasks) {
            if (!task->failed)
                ++written;
            else
                EXPECT_EQ(task->message, "File already exists : " + output);
        }
        EXPECT_EQ(written, overwrite == OverwriteMode::Yes ? 24 : 1);
        EXPECT_EQ(loadPicture(output)->width, 4);
        EXPECT_TRUE(tempFilesIn(dir.path()).empty());
    }
}

// getNextTask remembers where the available jobs start; it must take exactly the job, and report
// exactly the progress, that a walk from the front of the list would.
TEST_F(Queue, GetNextTaskAgreesWithAWalkFromTheFront) {
    Pixmill engine(settings.path());
    std::mt19937 random(7);
    // Driven by hand: no worker runs, and the count a worker would lower is given room.
    engine.runningThreads = 1000000;
    std::vector<ImageResizeTask*> running;
    for (int step = 0; step < 3000; ++step) {
        int action = random() % 4;
        if (action == 0) {
            for (int k = random() % 4; k > 0; --k) {
                EnterCriticalSection(&engine.taskMutex);
                engine.tasks.push_back(newJob(engine, "/nowhere/" + std::to_string(step) + ".jpg"));
                LeaveCriticalSection(&engine.taskMutex);
            }
        } else if (action == 1 && !running.empty()) {
            size_t k = random() % running.size();
            running[k]->done = true;
            running[k]->started = false;
            running.erase(running.begin() + k);
        } else {
            size_t literal = 0;
            while (literal < engine.tasks.size() &&
                   (engine.tasks[literal]->started || engine.tasks[literal]->done))
                ++literal;
            clearRecordedAppEvents();
            ImageResizeTask* taken = engine.getNextTask();
            auto events = recordedAppEvents();
            ASSERT_EQ(events.size(), 2u);
            if (literal == engine.tasks.size()) {
                EXPECT_EQ(taken, nullptr);
                EXPECT_EQ(events[1].text, "Finished");
                continue;
            }
            ASSERT_EQ(taken, engine.tasks[literal]);
            EXPECT_TRUE(taken->started);
            EXPECT_EQ(events[0].value, static_cast<double>(literal) / engine.tasks.size());
            running.push_back(taken);
        }
    }
    engine.runningThreads = 0;
}

TEST_F(Queue, WaitUntilIdleRunsJobsLeftWithoutAWorker) {
    Pixmill engine(settings.path());
    // As after a failed thread start: jobs queued, no worker alive.
    EnterCriticalSection(&engine.taskMutex);
    for (int i = 0; i < 5; ++i) engine.tasks.push_back(newJob(engine, dir.file(std::to_string(i) + ".jpg")));
    LeaveCriticalSection(&engine.taskMutex);
    engine.waitUntilIdle();
    for (ImageResizeTask* task : engine.tasks) EXPECT_TRUE(task->done);
    EXPECT_EQ(engine.runningThreads, 0);
}

// Many small jobs dropped in bursts while workers come and go: every job is taken exactly once,
// the worker count never passes the limit, and the work ends with "Finished". Most sources do
// not exist and end at once; every tenth is a small picture.
TEST_F(Queue, ManyTinyJobsEachRunExactlyOnce) {
    std::string picture = dir.file("tiny.bmp");
    ASSERT_TRUE(patternPicture(3, 2)->saveToBMP(picture));
    const int32_t cores = getNbCores();
    const int jobs = 2000;
    Pixmill engine(settings.path());
    int32_t mostWorkers = 0;
    for (int i = 0; i < jobs; ++i) {
        std::string name = "job" + std::to_string(i);
        bool withPicture = i % 10 == 0;
        engine.addTask(withPicture ? newJob(engine, picture, dir.file(name + ".bmp"))
                                   : newJob(engine, dir.file(name + ".png")));
        mostWorkers = std::max(mostWorkers, engine.runningThreads.load());
        if (i % 97 == 0) usleep(1000);
    }
    engine.waitUntilIdle();
    EXPECT_LE(mostWorkers, cores);
    EXPECT_EQ(engine.runningThreads, 0);

    std::map<std::string, int> taken;
    for (const std::string& text : statusTexts()) taken[text]++;
    EXPECT_EQ(statusTexts().back(), "Finished");
    for (int i = 0; i < jobs; ++i) {
        ImageResizeTask* task = engine.tasks[i];
        EXPECT_TRUE(task->done);
        EXPECT_FALSE(task->started);
        if (i % 10 == 0) {
            // Overwrite is off: a job run twice would fail on its own first output.
            EXPECT_EQ(task->message, "") << i;
        } else {
            EXPECT_EQ(taken["Resizing job" + std::to_string(i) + ".png"], 1) << i;
        }
    }
    EXPECT_EQ(taken["Resizing tiny.bmp"], jobs / 10);
}

}  // namespace
