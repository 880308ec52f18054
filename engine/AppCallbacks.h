// SPDX-License-Identifier: MIT
// Calls from the engine to its front end. Each front end (window, CLI, tests) links its own.
#pragma once

#include <string>

// Called from worker threads: must copy what they need and return at once, never waiting.
void appSetStatusField(const std::string& text);
void appSetProgressBar(double fraction);

// Called on the main thread by Pixmill::initGUIMac.
void appSetResolution(const std::string& text);
void appSetOutputFormat(int index);
void appSetRotation(int code);
void appSetOverwrite(int code);
void appSetCrop(int code);
void appSetOutputFileName(const std::string& text);
void appSetSubFolder(const std::string& text);
void appSetFixedFolder(const std::string& path);
void appSetDestination(const std::string& word);
void appSetFastDraft(bool on);

// The settings beyond those above, each by its settings-file element name in lower case and its
// word as that file holds it: "resizequality", "jpegquality", "webpquality", "avifquality",
// "jxlquality", the output settings ("metadata", "colour", "sharpen", "linear", "noenlarge",
// "keepdates", "progressive", "maxbytes"), "moresizes" and "moretypes" (words joined by ",").
// Called on the main thread by Pixmill::initGUIMac.
void appSetSetting(const std::string& name, const std::string& word);
