// SPDX-License-Identifier: MIT
// Turning the command line's paths and file lists into the list of files offered to the engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One path for intake, or one refused before intake (refusal says why).
struct InputItem {
    std::string path;
    std::string refusal;
    // With --keep-structure: the source's folder relative to the folder it was found in (given
    // with -r) or to the current folder; "" for a file right there.
    std::string folderBelow;
};

// Which folders a recursive walk leaves out, so a rerun does not resize its own outputs, and how
// the paths are shared out and placed.
struct WalkRules {
    bool recursive = false;
    std::string skipFolderName;  // the sub-folder setting; "" skips nothing by name
    std::string skipFolderPath;  // the fixed output folder, or ""
    bool keepStructure = false;
    uint32_t shardIndex = 1;  // this process takes shard shardIndex of shardCount
    uint32_t shardCount = 1;
};

// Absolute form of path ("/" separated, "." segments and repeated slashes removed).
std::string absolutePath(const std::string& path);

// The bytes a path is shared out by: the path as given, with repeated "/", "." segments and a
// trailing "/" removed (a relative path stays relative). A file found in a folder walked with -r
// has the key of that folder's path joined with the path below it.
std::string shardKey(const std::string& path);
// The shard (1 to count) of a key: FNV-1a (64 bits) over its bytes, mixed by the MurmurHash3
// finaliser, modulo count, plus one.
uint32_t shardOf(const std::string& key, uint32_t count);

// The paths listed in a file ("-": standard input), one a line or, with nulSeparated, each ended
// by a NUL; empty entries are dropped. False with error set when the file cannot be read.
bool readPathList(const std::string& file, bool nulSeparated, std::vector<std::string>& paths,
                  std::string& error);

// Every argument in order: files as they are, folders expanded (with rules.recursive) into the
// supported files inside them in name order; missing paths and folders without -r refused.
// Only the paths of this process's shard are kept. A file named twice is offered once.
std::vector<InputItem> collectInputs(const std::vector<std::string>& arguments, const WalkRules& rules);
