// SPDX-License-Identifier: MIT
// Byte-string, number, XML-element, file, path and system helpers used by every other layer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- Case and comparison (only ASCII A-Z is folded; UTF-8 bytes compare as themselves) ----
std::string strtolower(const std::string& text);
bool strIsEqualCI(const std::string& a, const std::string& b);
bool strIsEqualCI(const std::string& a, const char* b);
bool isRight(const std::string& text, const std::string& suffix);
bool isRightCI(const std::string& text, const std::string& suffix);

// ---- Trimming, replacing, splitting ----
// Removes leading and trailing spaces and NUL bytes (not tabs or line ends).
std::string strtrim(const std::string& text);
// Replaces every occurrence left to right; replaced text is never searched again.
std::string strreplace(const std::string& text, const std::string& pattern, const std::string& replacement);
void strReplace_inplace(std::string& text, const std::string& pattern, const std::string& replacement);
// maxSplits below 1 means no limit; an empty trailing piece is dropped.
std::vector<std::string> strsplit(const std::string& text, const std::string& delimiter, int32_t maxSplits = 0);

// ---- Conversions ----
// Reads a number from the start of text like formatted stream input in the classic locale;
// returns 0 when no number can be read or it does not fit T.
template <class T>
T ss_atoi(const std::string& text);
int32_t strToInt(const std::string& text);
double strToDbl(const std::string& text);
bool strToBool(const std::string& text);
std::string boolToStr(bool flag);
std::string intToStr(int32_t value);
std::string intToStr(uint64_t value);
// Left-fills text with copies of pad until (width - length) copies stand before it.
std::string prePad(const std::string& text, uint32_t width, const std::string& pad);

// ---- Element extraction from a flat XML text ----
// Searches "<name>" ... "</name>" in the lower-case copy (rebuilt when its length differs from
// text) from start; returns the content cut from text, or "" (end left unchanged).
std::string getXMLElementCIFast(const std::string& text, std::string& lowerText, const std::string& name,
                                uint64_t start, uint64_t& end);
// Whole-text lookup; an element that is missing or empty gives defaultValue.
std::string getXMLElementCIFast(const std::string& text, std::string& lowerText, const std::string& name,
                                const std::string& defaultValue);

// ---- Paths, files and folders ("/" is the only separator) ----
std::string getFileName(const std::string& path);
std::string getFilePath(const std::string& path);
bool FileExist(const std::string& path);
bool DirExist(const std::string& path);
bool makeDirectory(const std::string& path);
// Creates the folder and every missing parent; true when it exists afterwards.
bool makeDirectories(const std::string& path);
bool deleteFile(const std::string& path, bool flag = false);
FILE* fileOpen(const std::string& path, const char* mode, uint64_t* size = nullptr);
std::string readFileContents(const std::string& path, uint64_t start = 0);

// ---- System ----
std::string getUserFolder();
int32_t getNbCores();
