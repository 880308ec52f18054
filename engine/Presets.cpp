// SPDX-License-Identifier: MIT
// Presets: named sets of settings kept in presets.xml beside config.xml.
#include "engine/Presets.h"

#include "engine/Pixmill.h"

std::vector<std::string> presetNames(const std::string&) { return {}; }

bool applyPreset(Pixmill&, const std::string& name, std::string& why) {
    why = "there is no preset \"" + name + "\"";
    return false;
}
