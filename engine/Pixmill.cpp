// SPDX-License-Identifier: MIT
// Pixmill engine: construction, destruction, and the settings file config.xml.
#include "engine/Pixmill.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "engine/ImageResizeTask.h"
#include "tools/modTools.h"

namespace {

const char* const kCropWords[] = {"nocrop", "crop", "stretch"};
const char* const kQualityWords[] = {"basic", "high", "best", "nearest"};
const char* const kDestinationWords[] = {"samefolder", "subfolder", "fixedfolder"};
const char* const kOverwriteWords[] = {"no", "yes"};
const char* const kRotationWords[] = {"none", "exif", "landscape", "landscapeccw", "portrait"};

template <size_t N>
const char* wordOf(const char* const (&words)[N], int32_t code) {
    return (code >= 0 && static_cast<size_t>(code) < N) ? words[code] : nullptr;
}

// Stores the code of the word when the element holds one of the table's words (any letter case).
template <size_t N>
void getSettingWord(const std::string& xml, std::string& lowerXml, const std::string& name,
                    const char* const (&words)[N], std::atomic<int32_t>& out) {
    std::string content = getXMLElementCIFast(xml, lowerXml, name, std::string());
    for (size_t code = 0; code < N; ++code) {
        if (strIsEqualCI(content, words[code])) {
            out = static_cast<int32_t>(code);
            return;
        }
    }
}

// A quality of 1 to 100 from the element; anything else leaves out unchanged.
void getSettingQuality(const std::string& xml, std::string& lowerXml, const std::string& name,
                       std::atomic<int32_t>& out) {
    int32_t quality = 0;
    getSettingInt(xml, lowerXml, name, quality);
    if (quality >= 1 && quality <= 100) out = quality;
}

// A list of words joined by ","; an element that is present but empty clears the list.
void getSettingList(const std::string& xml, std::string& lowerXml, const std::string& name,
                    std::vector<std::string>& out) {
    const std::string open = "<" + name + ">";
    if (lowerXml.find(open) == std::string::npos && lowerXml.find("<" + name + "/>") == std::string::npos) return;
    out.clear();
    for (std::string word : strsplit(getXMLElementCIFast(xml, lowerXml, name, std::string()), ",")) {
        word = strtrim(word);
        if (!word.empty()) out.push_back(word);
    }
}

std::string elementLine(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">\n";
}

template <size_t N>
std::string enumLine(const std::string& name, const char* const (&words)[N], int32_t code) {
    const char* word = wordOf(words, code);
    return word ? elementLine(name, word) : std::string();
}

}  // namespace

void getSettingString(const std::string& xml, std::string& lowerXml, const std::string& name, std::string& out) {
    std::string content = getXMLElementCIFast(xml, lowerXml, name, std::string());
    if (!content.empty()) out = content;
}

void getSettingInt(const std::string& xml, std::string& lowerXml, const std::string& name, int32_t& out) {
    std::string content = getXMLElementCIFast(xml, lowerXml, name, std::string());
    if (!content.empty()) out = strToInt(content);
}

void getSettingBool(const std::string& xml, std::string& lowerXml, const std::string& name, bool& out) {
    std::string content = getXMLElementCIFast(xml, lowerXml, name, std::string());
    if (!content.empty()) out = strToBool(content);
}

std::string Pixmill::defaultSettingsFolder() {
#ifdef __APPLE__
    return getUserFolder() + "/Library/Application Support/" + "pixmill";
#else
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/pixmill";
    return getUserFolder() + "/.config/pixmill";
#endif
}

Pixmill::Pixmill() { construct(defaultSettingsFolder()); }

Pixmill::Pixmill(const std::string& folder) { construct(folder); }

void Pixmill::construct(const std::string& folder) {
    InitializeCriticalSection(&taskMutex);
    settingsFolder = folder;
    // A fresh account may lack every parent of the folder; creating only the last level would
    // silently lose every setting.
    if (!DirExist(settingsFolder)) makeDirectories(settingsFolder);
    fileCounter = 1;
    resolution = "1024x768";
    outputFileType = "jpg";
    outputFileName = "%SRC%_%DSTX%x%DSTY%";
    outputFixedFolder = "";
    outputSubFolder = "resized";
    loadSettings();
}

Pixmill::~Pixmill() {
    while (runningThreads.load() > 0) {
        stopRequested = true;
        memoryBudget.wake();
        usleep(30 * 1000);
    }
    // The last worker counts itself out while it holds the lock; taking the lock once waits
    // until it has let go, so the lock and the engine are not destroyed under it.
    EnterCriticalSection(&taskMutex);
    LeaveCriticalSection(&taskMutex);
    if (saveSettingsOnExit) saveSettings();
    for (ImageResizeTask* task : tasks) delete task;
    tasks.clear();
    DeleteCriticalSection(&taskMutex);
}

void Pixmill::loadSettings() {
    std::string xml = readFileContents(settingsFolder + "/" + "config.xml");
    if (xml.empty()) return;
    applySettingsText(xml);
}

void Pixmill::applySettingsText(const std::string& xml) {
    std::string lowerXml = strtolower(xml);

    getSettingString(xml, lowerXml, "resolution", resolution);
    getSettingString(xml, lowerXml, "outputfiletype", outputFileType);
    getSettingString(xml, lowerXml, "outputfilename", outputFileName);
    getSettingString(xml, lowerXml, "outputsubfolder", outputSubFolder);
    getSettingString(xml, lowerXml, "outputfixedfolder", outputFixedFolder);

    int32_t quality = jpegQuality;
    getSettingInt(xml, lowerXml, "jpegquality", quality);
    jpegQuality = quality;
    bool exif = copyExif;
    getSettingBool(xml, lowerXml, "copyexif", exif);
    copyExif = exif;
    bool draft = fastDraft;
    getSettingBool(xml, lowerXml, "fastdraft", draft);
    fastDraft = draft;

    getSettingWord(xml, lowerXml, "cropmode", kCropWords, cropMode);
    getSettingWord(xml, lowerXml, "resizequality", kQualityWords, resizeQuality);
    getSettingWord(xml, lowerXml, "destination", kDestinationWords, destination);
    getSettingWord(xml, lowerXml, "overwrite", kOverwriteWords, overwrite);
    getSettingWord(xml, lowerXml, "rotate", kRotationWords, rotate);

    getSettingQuality(xml, lowerXml, "webpquality", webpQuality);
    getSettingQuality(xml, lowerXml, "avifquality", avifQuality);
    getSettingQuality(xml, lowerXml, "jxlquality", jxlQuality);
    getSettingList(xml, lowerXml, "moresizes", moreSizes);
    getSettingList(xml, lowerXml, "moretypes", moreTypes);
    // A file that says only COPYEXIF false means no metadata; a METADATA element decides both.
    if (!copyExif) output.metadata = MetadataMode::None;
    output.load(xml, lowerXml);
    copyExif = output.metadata != MetadataMode::None;
}

std::string Pixmill::settingsText() const {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
    text += "<CONFIG>\n";
    text += elementLine("RESOLUTION", resolution);
    text += elementLine("OUTPUTFILETYPE", outputFileType);
    text += elementLine("OUTPUTFILENAME", outputFileName);
    text += elementLine("OUTPUTFIXEDFOLDER", outputFixedFolder);
    text += elementLine("OUTPUTSUBFOLDER", outputSubFolder);
    text += elementLine("JPEGQUALITY", intToStr(static_cast<int32_t>(jpegQuality)));
    text += elementLine("COPYEXIF", boolToStr(copyExif));
    text += enumLine("CROPMODE", kCropWords, cropMode);
    text += enumLine("RESIZEQUALITY", kQualityWords, resizeQuality);
    text += enumLine("DESTINATION", kDestinationWords, destination);
    text += enumLine("OVERWRITE", kOverwriteWords, overwrite);
    text += enumLine("ROTATE", kRotationWords, rotate);
    text += "</CONFIG>";
    // Newer settings follow the 15 lines, one element a line, so that those keep their bytes and
    // their order; a setting at its default is left out, so a default file is the 15 lines alone,
    // and the file still ends without a line feed.
    auto laterQuality = [&text](const std::string& name, int32_t value, int32_t byDefault) {
        if (value == byDefault) return;
        text += "\n" + elementLine(name, intToStr(value));
        text.pop_back();
    };
    laterQuality("WEBPQUALITY", webpQuality, kDefaultWebpQuality);
    laterQuality("AVIFQUALITY", avifQuality, kDefaultAvifQuality);
    laterQuality("JXLQUALITY", jxlQuality, kDefaultJxlQuality);
    // Metadata is written as it takes effect (none while COPYEXIF is false, which says it already).
    OutputSettings written;
    for (const char* name : kOutputSettingNames) written.set(name, output.word(name));
    written.metadata = metadataMode();
    text += written.text();
    // Draft decoding, only when on.
    if (fastDraft) text += "\n<FASTDRAFT>true</FASTDRAFT>";
    // Further sizes and types, only when there are any.
    auto laterList = [&text](const std::string& name, const std::vector<std::string>& words) {
        if (words.empty()) return;
        std::string joined;
        for (const std::string& word : words) joined += (joined.empty() ? "" : ",") + word;
        text += "\n" + elementLine(name, joined);
        text.pop_back();
    };
    laterList("MORESIZES", moreSizes);
    laterList("MORETYPES", moreTypes);
    return text;
}

void Pixmill::saveSettings() {
    // Written beside the old file and renamed over it, so a crash or a full disk mid-write never
    // leaves a truncated or empty settings file.
    std::string target = settingsFolder + "/" + "config.xml";
    // A config.xml that is a link (kept with other dotfiles) stays one: the file it names is replaced.
    if (char* real = realpath(target.c_str(), nullptr)) {
        target = real;
        free(real);
    }
    // Created with 0666 so that the process's file-creation mask applies, as to any new file.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = target + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return;
    }
    if (fd < 0) return;
    struct stat old;
    if (stat(target.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);
    const std::string text = settingsText();
    bool ok = true;
    for (size_t written = 0; ok && written < text.size();) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n > 0)
            written += static_cast<size_t>(n);
        else
            ok = false;
    }
    ok = fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), target.c_str()) != 0) unlink(temp.c_str());
}
