// SPDX-License-Identifier: MIT
// Presets: named sets of settings kept in presets.xml beside config.xml. The file is read with
// pugixml (names are escaped, and users and other programs edit it), bounded in size and count.
#include "engine/Presets.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <pugixml.hpp>

#include "engine/OutputSettings.h"
#include "engine/Pixmill.h"
#include "engine/PresetMenus.h"
#include "engine/SafeSave.h"
#include "engine/Settings.h"
#include "tools/modTools.h"

namespace {

using Elements = std::vector<std::pair<std::string, std::string>>;

// Bounds against a hostile or runaway file: a real one holds a few kilobytes.
const uint64_t kMaxFileBytes = 1 << 20;
const size_t kMaxPresets = 1000;
const size_t kMaxElementsPerPreset = 100;
const size_t kMaxNameBytes = 200;

std::string presetsPath(const std::string& folder) {
    return folder + "/presets.xml";
}

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

// The output settings at their defaults, in the order a preset lists them.
Elements baselineElements() {
    Elements elements = {{"RESOLUTION", "1024x768"},
                         {"MORESIZES", ""},
                         {"OUTPUTFILETYPE", "jpg"},
                         {"MORETYPES", ""},
                         {"CROPMODE", "nocrop"},
                         {"ROTATE", "exif"},
                         {"RESIZEQUALITY", "high"},
                         {"JPEGQUALITY", "90"},
                         {"WEBPQUALITY", intToStr(kDefaultWebpQuality)},
                         {"AVIFQUALITY", intToStr(kDefaultAvifQuality)},
                         {"JXLQUALITY", intToStr(kDefaultJxlQuality)},
                         {"COPYEXIF", "true"}};
    const OutputSettings defaults;
    for (const char* name : kOutputSettingNames) elements.emplace_back(upper(name), defaults.word(name));
    elements.emplace_back("FASTDRAFT", "false");
    return elements;
}

// Sets name to value in elements, in place when it is there already.
void setElement(Elements& elements, const std::string& name, const std::string& value) {
    for (auto& element : elements) {
        if (element.first == name) {
            element.second = value;
            return;
        }
    }
    elements.emplace_back(name, value);
}

const std::string* findElement(const Elements& elements, const std::string& name) {
    for (const auto& element : elements)
        if (element.first == name) return &element.second;
    return nullptr;
}

Preset makeDefault(const std::string& name, const Elements& changes) {
    Preset preset{name, baselineElements()};
    for (const auto& [element, value] : changes) setElement(preset.elements, element, value);
    return preset;
}

std::string escapeXml(const std::string& text, bool attribute) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// The presets of a parsed document; false with why when it is not a presets file.
bool presetsOf(const pugi::xml_document& document, std::vector<Preset>& presets, std::string& why) {
    const pugi::xml_node root = document.document_element();
    if (!strIsEqualCI(root.name(), "PRESETS")) {
        why = "it does not hold a PRESETS element";
        return false;
    }
    for (const pugi::xml_node node : root.children()) {
        if (node.type() != pugi::node_element || !strIsEqualCI(node.name(), "PRESET")) continue;
        if (presets.size() == kMaxPresets) {
            why = "it holds more than " + intToStr(uint64_t(kMaxPresets)) + " presets";
            return false;
        }
        Preset preset{strtrim(node.attribute("name").value()), {}};
        // A preset without a name cannot be chosen; it is left out.
        if (preset.name.empty()) continue;
        for (const pugi::xml_node element : node.children()) {
            if (element.type() != pugi::node_element) continue;
            if (preset.elements.size() == kMaxElementsPerPreset) {
                why = "the preset \"" + preset.name + "\" holds too many settings";
                return false;
            }
            setElement(preset.elements, upper(element.name()), strtrim(element.child_value()));
        }
        presets.push_back(std::move(preset));
    }
    return true;
}

// The position of the preset called name: the exact name, else the only one that matches it
// with blanks trimmed and letter case ignored; presets.size() when there is none.
size_t findPreset(const std::vector<Preset>& presets, const std::string& name) {
    for (size_t i = 0; i < presets.size(); ++i)
        if (presets[i].name == name) return i;
    size_t found = presets.size();
    for (size_t i = 0; i < presets.size(); ++i) {
        if (!strIsEqualCI(presets[i].name, strtrim(name))) continue;
        if (found != presets.size()) return presets.size();
        found = i;
    }
    return found;
}

// The settings text that applying elements sets: the output settings at their defaults, with
// the preset's own laid over them. A preset that names only one of the EXIF switch and the
// metadata setting gets the other from it.
std::string settingsTextOf(const Elements& presetElements) {
    Elements elements = baselineElements();
    for (const auto& [name, value] : presetElements) {
        // The settings text is read element by element: a value holding "<" would end it early.
        if (value.find('<') == std::string::npos) setElement(elements, name, value);
    }
    const std::string* copyExif = findElement(presetElements, "COPYEXIF");
    const std::string* metadata = findElement(presetElements, "METADATA");
    if (copyExif && !metadata) setElement(elements, "METADATA", kMetadataWords[strToBool(*copyExif) ? 0 : 2]);
    if (metadata && !copyExif)
        setElement(elements, "COPYEXIF", boolToStr(!strIsEqualCI(*metadata, kMetadataWords[2])));
    std::string text = "<PRESET>\n";
    for (const auto& [name, value] : elements) text += "<" + name + ">" + value + "</" + name + ">\n";
    return text + "</PRESET>";
}

// Holds an exclusive lock on the settings folder while presets.xml is read, changed and written.
class FolderLock {
  public:
    explicit FolderLock(const std::string& folder)
        : fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~FolderLock() {
        if (fd >= 0) close(fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd;
};

// Writes the menus of the file managers for the presets; their failure does not undo the change,
// it is only reported in why.
void refreshMenus(const std::vector<Preset>& presets, std::string& why) {
    std::vector<std::string> names;
    for (const Preset& preset : presets) names.push_back(preset.name);
    std::string problem;
    if (!writePresetMenus(userDataFolder(), names, problem)) why = "the file manager menus: " + problem;
}

// Reads the presets, lets change alter them and writes them back, all under the folder's lock.
template <class Change>
bool changePresets(const std::string& folder, Change change, std::string& why) {
    makeDirectories(folder);
    FolderLock lock(folder);
    std::vector<Preset> presets;
    if (!readPresets(folder, presets, why)) {
        why += "; it was left as it is";
        return false;
    }
    if (!change(presets)) return false;
    if (!replaceFileContents(presetsPath(folder), presetsFileText(presets), 0, why)) return false;
    why.clear();
    refreshMenus(presets, why);
    return true;
}

}  // namespace

std::vector<Preset> defaultPresets() {
    return {
        makeDefault("Web 1600", {{"RESOLUTION", "1600"},
                                 {"OUTPUTFILETYPE", "webp"},
                                 {"COPYEXIF", "true"},
                                 {"METADATA", "no-location"},
                                 {"COLOUR", "srgb"},
                                 {"NOENLARGE", "true"}}),
        makeDefault("Email 1024", {{"RESOLUTION", "1024"},
                                   {"OUTPUTFILETYPE", "jpg"},
                                   {"JPEGQUALITY", "85"},
                                   {"METADATA", "no-location"},
                                   {"COLOUR", "srgb"},
                                   {"NOENLARGE", "true"}}),
        makeDefault("Thumbnails 320", {{"RESOLUTION", "320"},
                                       {"OUTPUTFILETYPE", "jpg"},
                                       {"JPEGQUALITY", "80"},
                                       {"COPYEXIF", "false"},
                                       {"METADATA", "none"},
                                       {"COLOUR", "srgb"},
                                       {"SHARPEN", "light"}}),
        makeDefault("Same size, no location",
                    {{"RESOLUTION", "100%"}, {"OUTPUTFILETYPE", "same"}, {"METADATA", "no-location"}}),
    };
}

std::string presetNameProblem(const std::string& name) {
    if (strtrim(name).empty()) return "a preset needs a name";
    if (name.size() > kMaxNameBytes)
        return "a preset's name has at most " + intToStr(uint64_t(kMaxNameBytes)) + " bytes";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "a preset's name cannot hold control characters";
    if (!isUtf8(name)) return "a preset's name must be UTF-8 text";
    return std::string();
}

bool readPresets(const std::string& settingsFolder, std::vector<Preset>& presets, std::string& why) {
    presets.clear();
    const std::string path = presetsPath(settingsFolder);
    struct stat facts;
    if (stat(path.c_str(), &facts) != 0 && errno == ENOENT) {
        presets = defaultPresets();
        return true;
    }
    // A pipe or a device would block or never end.
    if (stat(path.c_str(), &facts) == 0 && !S_ISREG(facts.st_mode)) {
        why = path + " is not a regular file";
        return false;
    }
    uint64_t size = 0;
    FILE* file = fileOpen(path, "rb", &size);
    if (!file) {
        why = path + " cannot be read: " + strerror(errno);
        return false;
    }
    std::string text;
    if (size <= kMaxFileBytes) {
        text.resize(size);
        if (fread(&text[0], 1, size, file) != size) text.clear();
    }
    fclose(file);
    if (size > kMaxFileBytes || text.size() != size) {
        why = path + (size > kMaxFileBytes ? " is too large for a presets file" : " could not be read whole");
        return false;
    }
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (!parsed) {
        why = path + " is not a presets file: " + parsed.description() + " at byte " +
              intToStr(uint64_t(parsed.offset));
        return false;
    }
    if (!presetsOf(document, presets, why)) {
        presets.clear();
        why = path + " is not a presets file: " + why;
        return false;
    }
    return true;
}

std::vector<std::string> presetNames(const std::string& settingsFolder) {
    std::vector<Preset> presets;
    std::string why;
    readPresets(settingsFolder, presets, why);
    std::vector<std::string> names;
    for (const Preset& preset : presets) {
        bool seen = false;
        for (const std::string& name : names) seen = seen || name == preset.name;
        if (!seen) names.push_back(preset.name);
    }
    return names;
}

bool applyPreset(Pixmill& engine, const std::string& name, std::string& why) {
    std::vector<Preset> presets;
    if (!readPresets(engine.settingsFolder, presets, why)) return false;
    const size_t found = findPreset(presets, name);
    if (found == presets.size()) {
        why = "there is no preset \"" + name + "\"";
        if (!presets.empty()) {
            why += " (presets:";
            for (const Preset& preset : presets) why += " \"" + preset.name + "\"";
            why += ")";
        }
        return false;
    }
    engine.applySettingsText(settingsTextOf(presets[found].elements));
    return true;
}

Preset presetFromEngine(const Pixmill& engine, const std::string& name) {
    auto joined = [](const std::vector<std::string>& words) {
        std::string text;
        for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
        return text;
    };
    // The words of the coded settings as the settings file writes them.
    const std::string settings = engine.settingsText();
    std::string lower = strtolower(settings);
    auto stored = [&](const char* element) {
        return getXMLElementCIFast(settings, lower, element, std::string());
    };
    Preset preset{strtrim(name), baselineElements()};
    Elements& e = preset.elements;
    setElement(e, "RESOLUTION", engine.resolution);
    setElement(e, "MORESIZES", joined(engine.moreSizes));
    setElement(e, "OUTPUTFILETYPE", engine.outputFileType);
    setElement(e, "MORETYPES", joined(engine.moreTypes));
    for (const char* element : {"CROPMODE", "ROTATE", "RESIZEQUALITY"})
        setElement(e, element, stored(element));
    setElement(e, "JPEGQUALITY", intToStr(int32_t(engine.jpegQuality)));
    setElement(e, "WEBPQUALITY", intToStr(int32_t(engine.webpQuality)));
    setElement(e, "AVIFQUALITY", intToStr(int32_t(engine.avifQuality)));
    setElement(e, "JXLQUALITY", intToStr(int32_t(engine.jxlQuality)));
    setElement(e, "COPYEXIF", boolToStr(engine.copyExif));
    for (const char* setting : kOutputSettingNames)
        setElement(e, upper(setting), engine.output.word(setting));
    setElement(e, "METADATA", kMetadataWords[engine.metadataMode()]);
    setElement(e, "FASTDRAFT", boolToStr(engine.fastDraft));
    return preset;
}

std::string presetsFileText(const std::vector<Preset>& presets) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PRESETS>\n";
    for (const Preset& preset : presets) {
        text += "<PRESET name=\"" + escapeXml(preset.name, true) + "\">\n";
        for (const auto& [name, value] : preset.elements)
            text += "<" + name + ">" + escapeXml(value, false) + "</" + name + ">\n";
        text += "</PRESET>\n";
    }
    return text + "</PRESETS>\n";
}

bool savePreset(const Pixmill& engine, const std::string& name, std::string& why) {
    why = presetNameProblem(name);
    if (!why.empty()) return false;
    const Preset preset = presetFromEngine(engine, name);
    return changePresets(
        engine.settingsFolder,
        [&preset](std::vector<Preset>& presets) {
            bool replaced = false;
            for (size_t i = 0; i < presets.size();) {
                if (presets[i].name != preset.name) {
                    ++i;
                } else if (!replaced) {
                    presets[i++] = preset;
                    replaced = true;
                } else {
                    presets.erase(presets.begin() + long(i));
                }
            }
            if (!replaced) presets.push_back(preset);
            return true;
        },
        why);
}

bool renamePreset(const std::string& settingsFolder, const std::string& from, const std::string& to,
                  std::string& why) {
    why = presetNameProblem(to);
    if (!why.empty()) return false;
    const std::string name = strtrim(to);
    return changePresets(
        settingsFolder,
        [&](std::vector<Preset>& presets) {
            const size_t found = findPreset(presets, from);
            if (found == presets.size()) {
                why = "there is no preset \"" + from + "\"";
                return false;
            }
            for (size_t i = 0; i < presets.size(); ++i) {
                if (i != found && presets[i].name == name) {
                    why = "there is already a preset \"" + name + "\"";
                    return false;
                }
            }
            presets[found].name = name;
            return true;
        },
        why);
}

bool deletePreset(const std::string& settingsFolder, const std::string& name, std::string& why) {
    return changePresets(
        settingsFolder,
        [&](std::vector<Preset>& presets) {
            const size_t found = findPreset(presets, name);
            if (found == presets.size()) {
                why = "there is no preset \"" + name + "\"";
                return false;
            }
            presets.erase(presets.begin() + long(found));
            return true;
        },
        why);
}
