// SPDX-License-Identifier: MIT
// Writing output files so that a failed or refused save never destroys a file already there.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Creates a new, empty file with an unused hidden name (".pixmill-XXXXXX.tmp") in the folder of
// target, so the final rename stays within one file system. The name ends in ".tmp" so that a
// later drop of the folder never takes it for an image. Returns its path, or "" when the folder
// cannot take a new file (or once removeTempFilesInFlight has run); error (when given) then
// receives errno. The file counts as in flight until commitTempFile or discardTempFile takes it
// away. With stream given, the file is left open there for writing (the caller closes it): a
// writer that opened it again by name would create it anew after removeTempFilesInFlight.
std::string createTempFileBeside(const std::string& target, int* error = nullptr, FILE** stream = nullptr);

enum class CommitResult { Done, Exists, Failed };

// Puts the finished file temp at target in one step and removes temp in every outcome.
// replace true: an existing target is replaced atomically (never deleted first).
// replace false: an existing target, even one that appeared a moment ago, is kept and Exists is
// returned. On Failed, error (when given) receives errno of the step that failed.
CommitResult commitTempFile(const std::string& temp, const std::string& target, bool replace,
                            int* error = nullptr);

// Removes a temporary file that will not be committed (its write failed).
void discardTempFile(const std::string& temp);

// Removes every temporary file in flight and makes later createTempFileBeside calls fail, so a
// program that ends at once, with jobs still writing, leaves no hidden file behind. Safe to call
// from any thread (not from a signal handler). Returns how many files it removed.
size_t removeTempFilesInFlight();

// Replaces the file at target with text in one step (a temporary file beside it, renamed over
// it), so a reader never sees it half written. A target that is a symbolic link stays one: the
// file it names is replaced. mode, when not 0, is given to the new file (e.g. 0755). False with
// why in words for people when it could not be written; the old file is then left as it was.
bool replaceFileContents(const std::string& target, const std::string& text, unsigned mode, std::string& why);
