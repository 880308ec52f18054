// SPDX-License-Identifier: MIT
// The per-user file manager entries of the presets: a Dolphin (KIO) service menu and Nemo actions.
#include "engine/PresetMenus.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "engine/SafeSave.h"
#include "tools/modTools.h"

namespace {

// The image types that intake takes, as the desktop entry of the window lists them.
const char* const kMimeTypes =
    "image/jpeg;image/png;image/gif;image/bmp;image/x-bmp;image/heic;image/heif;image/avif;image/webp;"
    "image/tiff;image/jxl;";
const char* const kSubmenu = "Resize with Pixmill";
const char* const kNemoPrefix = "pixmill-preset-";
const char* const kNemoSuffix = ".nemo_action";

// A desktop file's string value: a backslash is written doubled (names hold no control characters).
std::string stringValue(const std::string& text) {
    return strreplace(text, "\\", "\\\\");
}

std::string execLine(const std::string& name) {
    return "Exec=pixmill --preset " + execArgument(name) + " %F\n";
}

// Writes text at path unless it holds it already.
bool writeIfChanged(const std::string& path, const std::string& text, unsigned mode, std::string& why) {
    if (FileExist(path) && readFileContents(path) == text) return true;
    return replaceFileContents(path, text, mode, why);
}

bool removeIfThere(const std::string& path, std::string& why) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    why = "could not remove " + path + ": " + strerror(errno);
    return false;
}

// The number N of a file name "pixmill-preset-N.nemo_action", or 0.
size_t nemoIndexOf(const std::string& file) {
    const std::string prefix = kNemoPrefix, suffix = kNemoSuffix;
    if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
        !isRight(file, suffix))
        return 0;
    const std::string digits = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return size_t(std::strtoul(digits.c_str(), nullptr, 10));
}

// Removes our Nemo actions numbered past count.
bool removeStaleNemoActions(const std::string& folder, size_t count, std::string& why) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return true;
    std::vector<std::string> stale;
    while (const struct dirent* entry = readdir(dir))
        if (nemoIndexOf(entry->d_name) > count) stale.push_back(folder + "/" + entry->d_name);
    closedir(dir);
    bool ok = true;
    for (const std::string& path : stale) ok = removeIfThere(path, why) && ok;
    return ok;
}

}  // namespace

std::string userDataFolder() {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    return getUserFolder() + "/.local/share";
}

std::string execArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string serviceMenuText(const std::vector<std::string>& names) {
    std::string actions;
    for (size_t i = 1; i <= names.size(); ++i) actions += "preset" + std::to_string(i) + ";";
    std::string text =
        "# Written by Pixmill whenever its presets change: changes made here are lost.\n"
        "[Desktop Entry]\nType=Service\nName=" +
        std::string(kSubmenu) + "\nX-KDE-ServiceTypes=KonqPopupMenu/Plugin\nMimeType=" + kMimeTypes +
        "\nActions=" + actions + "\nX-KDE-Submenu=" + kSubmenu + "\nIcon=pixmill\n";
    for (size_t i = 0; i < names.size(); ++i) {
        text += "\n[Desktop Action preset" + std::to_string(i + 1) + "]\nName=" + stringValue(names[i]) +
                "\nIcon=pixmill\n" + execLine(names[i]);
    }
    return text;
}

std::string nemoActionText(const std::string& name) {
    return "# Written by Pixmill whenever its presets change: changes made here are lost.\n"
           "[Nemo Action]\nName=" +
           std::string(kSubmenu) + " \xE2\x96\xB8 " + stringValue(name) +
           "\nComment=Resize the selected images with the Pixmill preset " + stringValue(name) + "\n" +
           execLine(name) + "Icon-Name=pixmill\nSelection=notnone\nMimetypes=" + kMimeTypes + "\n";
}

bool writePresetMenus(const std::string& dataFolder, const std::vector<std::string>& names,
                      std::string& why) {
    const std::string kioFolder = dataFolder + "/kio/servicemenus";
    const std::string nemoFolder = dataFolder + "/nemo/actions";
    const std::string serviceMenu = kioFolder + "/pixmill-presets.desktop";
    if (names.empty()) {
        bool ok = removeIfThere(serviceMenu, why);
        return removeStaleNemoActions(nemoFolder, 0, why) && ok;
    }
    bool ok = true;
    for (const std::string& folder : {kioFolder, nemoFolder}) {
        if (makeDirectories(folder)) continue;
        why = "could not make the folder " + folder;
        ok = false;
    }
    if (!ok) return false;
    // Dolphin runs a service menu from a folder the user can write only when it is executable.
    ok = writeIfChanged(serviceMenu, serviceMenuText(names), 0755, why);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string path = nemoFolder + "/" + kNemoPrefix + std::to_string(i + 1) + kNemoSuffix;
        ok = writeIfChanged(path, nemoActionText(names[i]), 0644, why) && ok;
    }
    return removeStaleNemoActions(nemoFolder, names.size(), why) && ok;
}
