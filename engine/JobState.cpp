// SPDX-License-Identifier: MIT
// What a job is at one moment, as every front end shows it.
#include "engine/JobState.h"

#include "engine/ImageResizeTask.h"

JobPhase phaseOf(const ImageResizeTask& task) {
    if (!task.done) return task.started ? JobPhase::Running : JobPhase::Waiting;
    if (task.failed) return JobPhase::Failed;
    if (task.skipped) return JobPhase::Skipped;
    return task.warning.empty() ? JobPhase::Resized : JobPhase::Damaged;
}

JobSnapshot snapshotOf(const ImageResizeTask& task) {
    JobSnapshot job;
    job.phase = phaseOf(task);
    job.source = task.sourcePath;
    job.output = task.outputPath;
    if (!hasEnded(job.phase)) return job;
    job.message = task.message;
    job.note = task.note;
    if (job.phase == JobPhase::Failed) job.reason = task.cause;
    if (job.phase == JobPhase::Damaged) job.reason = task.warning;
    job.width = task.outputWidth;
    job.height = task.outputHeight;
    job.bytes = task.outputBytes;
    job.quality = task.outputQuality;
    job.ms = task.elapsedMs;
    return job;
}

std::vector<JobSnapshot> outputSnapshotsOf(const ImageResizeTask& task) {
    if (task.outputs.empty() || !task.done) return {snapshotOf(task)};
    std::vector<JobSnapshot> jobs;
    for (const JobOutput& output : task.outputs) {
        JobSnapshot job;
        job.phase = output.failed          ? JobPhase::Failed
                    : output.skipped       ? JobPhase::Skipped
                    : task.warning.empty() ? JobPhase::Resized
                                           : JobPhase::Damaged;
        job.source = task.sourcePath;
        job.output = output.path;
        job.message = output.message;
        job.note = output.note;
        if (job.phase == JobPhase::Failed) job.reason = output.cause;
        if (job.phase == JobPhase::Damaged) job.reason = task.warning;
        job.width = output.width;
        job.height = output.height;
        job.bytes = output.bytes;
        job.quality = output.quality;
        job.ms = task.elapsedMs;
        jobs.push_back(job);
    }
    return jobs;
}
