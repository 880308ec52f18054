// SPDX-License-Identifier: MIT
// The flat bridge between the window and the engine: pxm functions into the engine.
#pragma once

#include <string>

class Pixmill;

extern Pixmill* pxm;

bool pxmHandleFileDrop(const char* path);
// For a path pxmHandleFileDrop refused: whether its name is an image type's, and why it was refused.
bool pxmIsImageFileName(const char* path);
std::string pxmRefusalReason(const char* path);
void pxmDestroy();
// Running jobs finish; the waiting ones end as skipped.
void pxmStopBatch();
void pxmInitGUI();
void pxmSetResolution(const char* text);
void pxmSetOutputFormat(const char* text);
void pxmSetRotation(const char* word);
void pxmSetOverwrite(const char* word);
void pxmSetCrop(const char* word);
void pxmSetSubFolder(const char* text);
void pxmSetOutputFileName(const char* text);
void pxmSetDestination(const char* word);
void pxmSetFixedFolder(const char* text);
// The output settings by their settings-file names and words ("metadata" "no-location", "colour"
// "srgb", "sharpen" "light", "linear" "true", "noenlarge", "keepdates", "progressive", "maxbytes"
// "512000"); false, with nothing changed, for a name or word that is not one of them.
bool pxmSetOutputSetting(const char* name, const char* word);
void pxmSetFastDraft(bool on);
// The resampling filter: "basic", "high", "best" or "nearest"; any other word changes nothing.
void pxmSetResizeQuality(const char* word);
// The quality of an output type ("jpg", "webp", "avif", "jxl"), 1 to 100; others change nothing.
void pxmSetQuality(const char* type, int quality);
// Further sizes and types of several outputs from one decode, as words joined by "," (spaces
// around them are dropped; "" for none).
void pxmSetMoreSizes(const char* text);
void pxmSetMoreTypes(const char* text);
