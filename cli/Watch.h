// SPDX-License-Identifier: MIT
// pixmill-cli --watch FOLDER: every image file that lands in a folder, once complete, is resized.
#pragma once

#include <string>

#include "cli/BatchRun.h"

struct CliOptions;
class Pixmill;
class ProgressView;
class ReportFile;

// What a watched folder does, for the help and the README:
// - A file is taken when it is closed after writing or moved in, by the intake's rules (the name
//   of an image type, a regular file), and only when no process still has it open for writing.
// - Files there at the start are taken unless their outputs exist; a file there that another file
//   there would be written to is an earlier run's output and is left alone.
// - A file written again (closed after writing, or replaced by a move) is taken again when its
//   size, modification time or inode differ from when it was last taken; its output is then
//   replaced only with --overwrite yes, and is reported as skipped otherwise.
// - The outputs this process writes or plans are never taken, wherever they land.

// A usage error of --watch that the engine's settings do not decide: the folder missing, not a
// folder, or not watchable (no inotify, too many watches), or "".
std::string watchUsageError(const CliOptions& options);

// A usage error left by the settings: outputs named with a counter (%N%) that land in the watched
// folder, where an earlier run's outputs could not be told from new files; or "".
std::string watchSettingsError(Pixmill& engine, const std::string& folder);

// Resizes the files in folder as above until an interrupt (running files finish, waiting ones are
// not started) or until the folder is removed or moved (a failed record for the folder; the files
// queued are resized). Lines per job go to view, records to report.
BatchOutcome watchFolder(Pixmill& engine, const std::string& folder, ProgressView& view, ReportFile& report);
