// SPDX-License-Identifier: MIT
// Test helpers and the recording front-end callbacks.
#include "testsupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/AppCallbacks.h"

TempDir::TempDir() {
    char pattern[] = "/tmp/pixmill-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

TempDir::~TempDir() {
    removeTree(dir);
}

void removeTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") removeTree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool writeBytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    return writeBytes(path, std::string(bytes.begin(), bytes.end()));
}

std::string readBytes(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

std::string testdataDir() {
    struct stat info;
    if (stat(PIXMILL_TESTDATA, &info) == 0 && S_ISDIR(info.st_mode)) return PIXMILL_TESTDATA;
    return std::string();
}

namespace {
std::mutex recordLock;
std::vector<AppEvent> events;
std::function<void(const std::string&)> statusHook;

void record(const std::string& kind, const std::string& text, double value) {
    std::lock_guard<std::mutex> hold(recordLock);
    events.push_back(AppEvent{kind, text, value});
}
}  // namespace

std::vector<AppEvent> recordedAppEvents() {
    std::lock_guard<std::mutex> hold(recordLock);
    return events;
}

void clearRecordedAppEvents() {
    std::lock_guard<std::mutex> hold(recordLock);
    events.clear();
}

void setStatusHook(std::function<void(const std::string&)> hook) {
    statusHook = std::move(hook);
}

void appSetStatusField(const std::string& text) {
    record("status", text, 0);
    if (statusHook) statusHook(text);
}
void appSetProgressBar(double fraction) {
    record("progress", "", fraction);
}
void appSetResolution(const std::string& text) {
    record("resolution", text, 0);
}
void appSetOutputFormat(int index) {
    record("outputFormat", "", index);
}
void appSetRotation(int code) {
    record("rotation", "", code);
}
void appSetOverwrite(int code) {
    record("overwrite", "", code);
}
void appSetCrop(int code) {
    record("crop", "", code);
}
void appSetOutputFileName(const std::string& text) {
    record("outputFileName", text, 0);
}
void appSetSubFolder(const std::string& text) {
    record("subFolder", text, 0);
}
void appSetFixedFolder(const std::string& path) {
    record("fixedFolder", path, 0);
}
void appSetDestination(const std::string& word) {
    record("destination", word, 0);
}
// Not recorded: the recorded order is that of the fixed settings.
void appSetFastDraft(bool) {}
// Not recorded either: the settings after the fixed ones.
void appSetSetting(const std::string&, const std::string&) {}
