// SPDX-License-Identifier: MIT
// Presets: named sets of settings kept in presets.xml beside config.xml, shared by the window, the
// command line and the file managers' menus.
#pragma once

#include <string>
#include <vector>

class Pixmill;

// The names of the presets in the settings folder, in their stored order (the shipped defaults
// when the folder has no presets file yet).
std::vector<std::string> presetNames(const std::string& settingsFolder);

// Sets the engine's settings from the named preset of its settings folder; false, with why in
// words for people and nothing changed, when there is no such preset or it cannot be read.
bool applyPreset(Pixmill& engine, const std::string& name, std::string& why);
