// SPDX-License-Identifier: MIT
// The per-user "Resize with Pixmill ▸ preset" entries of the file managers (a Dolphin service menu
// and Nemo actions), written again whenever the presets change.
#pragma once

#include <string>
#include <vector>

// The user's folder of application data: $XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share.
std::string userDataFolder();

// Writes, below dataFolder, kio/servicemenus/pixmill-presets.desktop (one submenu with an entry
// per preset) and nemo/actions/pixmill-preset-N.nemo_action (one per preset), making the folders
// when missing, whether or not those file managers are installed: the entries then appear once
// they are. Files whose text is unchanged are left alone; Nemo actions of ours past the last
// preset are removed, and with no presets every file of ours is. False with why when a file could
// not be written or removed.
bool writePresetMenus(const std::string& dataFolder, const std::vector<std::string>& names, std::string& why);

// The text of the Dolphin service menu for the presets, and of the Nemo action of one preset.
std::string serviceMenuText(const std::vector<std::string>& names);
std::string nemoActionText(const std::string& name);

// One argument of a desktop file's Exec line, quoted as the desktop entry format asks (inside
// double quotes, with " ` $ and \ escaped, the escapes doubled for the string value, and % as %%).
std::string execArgument(const std::string& argument);
