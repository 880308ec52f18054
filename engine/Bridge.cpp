// SPDX-License-Identifier: MIT
// The pxm functions: the window's way into the engine, and the settings it shows at start.
#include <cstring>

#include "engine/AppCallbacks.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"

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
