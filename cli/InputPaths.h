// Turning the command line's paths into the list of files offered to the engine.
#pragma once

#include <string>
#include <vector>

// One path for intake, or one refused before intake (refusal says why).
struct InputItem {
    std::string path;
    std::string refusal;
};

// Which folders a recursive walk leaves out, so a rerun does not resize its own outputs.
struct WalkRules {
    bool recursive = false;
    std::string skipFolderName;  // the sub-folder setting; "" skips nothing by name
    std::string skipFolderPath;  // the fixed output folder, or ""
};

// Absolute form of path ("/" separated, "." segments and repeated slashes removed).
std::string absolutePath(const std::string& path);

// Every argument in order: files as they are, folders expanded (with rules.recursive) into the
// supported files inside them in name order; missing paths and folders without -r refused.
// A file named twice is offered once.
std::vector<InputItem> collectInputs(const std::vector<std::string>& arguments, const WalkRules& rules);
