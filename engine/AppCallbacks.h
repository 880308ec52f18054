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
