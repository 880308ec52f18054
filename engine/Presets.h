// SPDX-License-Identifier: MIT
// Presets: named sets of settings kept in presets.xml beside config.xml, shared by the window, the
// command line and the file managers' menus.
#pragma once

#include <string>
#include <utility>
#include <vector>

class Pixmill;

// A preset: its name and its settings as the settings file's elements (upper-case name, value).
struct Preset {
    std::string name;
    std::vector<std::pair<std::string, std::string>> elements;
};

// The names of the presets in the settings folder, in their stored order (the shipped defaults
// when the folder has no presets file yet; none when the file cannot be read).
std::vector<std::string> presetNames(const std::string& settingsFolder);

// Sets the engine's settings from the named preset of its settings folder; false, with why in
// words for people and nothing changed, when there is no such preset or it cannot be read.
// Every output setting that the preset does not name takes its default first, so a preset
// decides the outputs whatever the settings were; the name template and the destination, which
// a preset leaves out, keep theirs.
bool applyPreset(Pixmill& engine, const std::string& name, std::string& why);

// The presets of the folder: true with the shipped defaults when it has no presets.xml, false
// with why (and none) when the file is there but cannot be read or parsed.
bool readPresets(const std::string& settingsFolder, std::vector<Preset>& presets, std::string& why);

// The presets shipped while the settings folder has no presets.xml.
std::vector<Preset> defaultPresets();

// The engine's output settings as a preset, every one of them explicit.
Preset presetFromEngine(const Pixmill& engine, const std::string& name);

// Why a preset cannot have this name (empty, too long, control characters, not UTF-8), or "".
std::string presetNameProblem(const std::string& name);

// Changes to presets.xml. Each reads the file at the moment of the change, under a lock of the
// settings folder, and replaces it atomically, so the window and the command line never lose
// each other's changes; a file that cannot be read is never overwritten (false, with why). After
// a change the file managers' menus are written again (engine/PresetMenus.h).
// Stores the engine's settings as preset name, replacing one of that name or added at the end.
bool savePreset(const Pixmill& engine, const std::string& name, std::string& why);
bool renamePreset(const std::string& settingsFolder, const std::string& from, const std::string& to,
                  std::string& why);
bool deletePreset(const std::string& settingsFolder, const std::string& name, std::string& why);

// The text of presets.xml for these presets.
std::string presetsFileText(const std::vector<Preset>& presets);
