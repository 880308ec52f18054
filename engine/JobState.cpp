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
