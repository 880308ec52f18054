// SPDX-License-Identifier: MIT
// The pxm functions: the window's way into the engine, and the settings it shows at start.
#include <cstring>

#include "engine/AppCallbacks.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "tools/modTools.h"

Pixmill* pxm = nullptr;

namespace {

struct BridgeWord {
    const char* word;
    int32_t code;
};

// The window's words, compared exactly: a word in another letter case is not one of them.
const BridgeWord kRotationWords[] = {{"none", Rotation::None},
                                     {"exif", Rotation::ByExif},
                                     {"landscape", Rotation::Landscape},
                                     {"landscapeccw", Rotation::LandscapeCcw},
                                     {"portrait", Rotation::Portrait}};
const BridgeWord kCropWords[] = {
    {"nocrop", CropMode::NoCrop}, {"crop", CropMode::Crop}, {"stretch", CropMode::Stretch}};
const BridgeWord kOverwriteWords[] = {{"no", OverwriteMode::No}, {"yes", OverwriteMode::Yes}};
// Not the settings file's words ("samefolder", "fixedfolder"): these are the window's radio buttons.
const BridgeWord kDestinationWords[] = {{"same", Destination::SameFolder},
                                        {"subfolder", Destination::SubFolder},
                                        {"fixed", Destination::FixedFolder}};

// Stores the code of word into field when the table holds it; any other word leaves field alone.
template <size_t N>
void setByWord(const BridgeWord (&table)[N], const char* word, std::atomic<int32_t>& field) {
    if (!word) return;
    for (const BridgeWord& entry : table) {
        if (std::strcmp(entry.word, word) == 0) {
            field = entry.code;
            return;
        }
    }
}

void setText(std::string& field, const char* text) {
    if (text) field = text;
}

// The output types in the order of the window's format pop-up.
const char* const kOutputFormatWords[] = {"jpg", "bmp", "png", "webp", "avif", "jxl", "tif", "same"};

// The resampling filters in code order (ResizeQuality), as the settings file writes them.
const char* const kResizeQualityWords[] = {"basic", "high", "best", "nearest"};

std::string joinWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
    return text;
}

std::vector<std::string> splitWords(const char* text) {
    std::vector<std::string> words;
    for (std::string word : strsplit(text, ",")) {
        word = strtrim(word);
        if (!word.empty()) words.push_back(word);
    }
    return words;
}

// The quality setting of an output type's word, or null for a type without one.
std::atomic<int32_t>* qualityOf(Pixmill& engine, const char* type) {
    if (std::strcmp(type, "jpg") == 0) return &engine.jpegQuality;
    if (std::strcmp(type, "webp") == 0) return &engine.webpQuality;
    if (std::strcmp(type, "avif") == 0) return &engine.avifQuality;
    if (std::strcmp(type, "jxl") == 0) return &engine.jxlQuality;
    return nullptr;
}

// The settings beyond the first ones, each pushed by its element name.
void pushLaterSettings(const Pixmill& engine) {
    const int32_t filter = engine.resizeQuality;
    if (filter >= 0 && filter < int32_t(sizeof kResizeQualityWords / sizeof *kResizeQualityWords))
        appSetSetting("resizequality", kResizeQualityWords[filter]);
    appSetSetting("jpegquality", std::to_string(engine.jpegQuality.load()));
    appSetSetting("webpquality", std::to_string(engine.webpQuality.load()));
    appSetSetting("avifquality", std::to_string(engine.avifQuality.load()));
    appSetSetting("jxlquality", std::to_string(engine.jxlQuality.load()));
    for (const char* name : kOutputSettingNames) appSetSetting(name, engine.output.word(name));
    // Metadata as jobs apply it: the EXIF switch off means none.
    appSetSetting("metadata", kMetadataWords[engine.metadataMode()]);
    appSetSetting("moresizes", joinWords(engine.moreSizes));
    appSetSetting("moretypes", joinWords(engine.moreTypes));
}

const char* destinationWord(int32_t code) {
    for (const BridgeWord& entry : kDestinationWords) {
        if (entry.code == code) return entry.word;
    }
    return "";
}

}  // namespace

void Pixmill::initGUIMac() {
    appSetResolution(resolution);
    appSetCrop(cropMode);
    appSetOverwrite(overwrite);
    appSetRotation(rotate);
    for (size_t index = 0; index < sizeof kOutputFormatWords / sizeof *kOutputFormatWords; ++index)
        if (outputFileType == kOutputFormatWords[index]) appSetOutputFormat(int(index));
    appSetDestination(destinationWord(destination));
    appSetSubFolder(outputSubFolder);
    appSetFixedFolder(outputFixedFolder);
    appSetOutputFileName(outputFileName);
    appSetFastDraft(fastDraft);
    pushLaterSettings(*this);
}

bool pxmHandleFileDrop(const char* path) {
    return pxm && path && pxm->addFile(path);
}

bool pxmIsImageFileName(const char* path) {
    return path && Pixmill::isImageFileName(path);
}

std::string pxmRefusalReason(const char* path) {
    return pxm && path ? pxm->refusalReason(path) : std::string();
}

void pxmDestroy() {
    // The destructor waits for the workers and writes config.xml.
    delete pxm;
    pxm = nullptr;
}

void pxmStopBatch() {
    if (pxm) pxm->stopBatch();
}

void pxmInitGUI() {
    if (pxm) pxm->initGUIMac();
}

void pxmSetResolution(const char* text) {
    if (pxm) setText(pxm->resolution, text);
}

void pxmSetOutputFormat(const char* text) {
    if (pxm) setText(pxm->outputFileType, text);
}

void pxmSetRotation(const char* word) {
    if (pxm) setByWord(kRotationWords, word, pxm->rotate);
}

void pxmSetOverwrite(const char* word) {
    if (pxm) setByWord(kOverwriteWords, word, pxm->overwrite);
}

void pxmSetCrop(const char* word) {
    if (pxm) setByWord(kCropWords, word, pxm->cropMode);
}

void pxmSetSubFolder(const char* text) {
    if (pxm) setText(pxm->outputSubFolder, text);
}

void pxmSetOutputFileName(const char* text) {
    if (pxm) setText(pxm->outputFileName, text);
}

void pxmSetFastDraft(bool on) {
    if (pxm) pxm->fastDraft = on;
}

void pxmSetDestination(const char* word) {
    if (pxm) setByWord(kDestinationWords, word, pxm->destination);
}

void pxmSetFixedFolder(const char* text) {
    if (pxm) setText(pxm->outputFixedFolder, text);
}

bool pxmSetOutputSetting(const char* name, const char* word) {
    if (!pxm || !name || !word) return false;
    if (!pxm->output.set(name, word)) return false;
    if (std::strcmp(name, "metadata") == 0) pxm->setMetadata(pxm->output.metadata);
    return true;
}

void pxmSetResizeQuality(const char* word) {
    if (!pxm || !word) return;
    for (int32_t code = 0; code < int32_t(sizeof kResizeQualityWords / sizeof *kResizeQualityWords); ++code)
        if (std::strcmp(kResizeQualityWords[code], word) == 0) pxm->resizeQuality = code;
}

void pxmSetQuality(const char* type, int quality) {
    if (!pxm || !type || quality < 1 || quality > 100) return;
    if (std::atomic<int32_t>* field = qualityOf(*pxm, type)) *field = quality;
}

void pxmSetMoreSizes(const char* text) {
    if (pxm && text) pxm->moreSizes = splitWords(text);
}

void pxmSetMoreTypes(const char* text) {
    if (pxm && text) pxm->moreTypes = splitWords(text);
}
