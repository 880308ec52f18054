// SPDX-License-Identifier: MIT
// Helpers shared by the test programs: temporary folders, file bytes, conformance data, and the
// recording front-end callbacks the engine calls.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

  private:
    std::string dir;
};

void removeTree(const std::string& path);
bool writeBytes(const std::string& path, const std::string& bytes);
bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string readBytes(const std::string& path);

// The shared conformance folder (bmpsuite, pngsuite, gif, photos, exif-orientation), or "" when it
// is absent; tests that need it call GTEST_SKIP() then.
std::string testdataDir();

// What the engine reported through appSetStatusField / appSetProgressBar, in order.
struct AppEvent {
    std::string kind;  // "status", "progress", or the name of a main-thread setter
    std::string text;
    double value = 0;
};
std::vector<AppEvent> recordedAppEvents();
void clearRecordedAppEvents();
// Runs on the reporting thread for each status text, after it was recorded; empty for none.
// Set it only while no worker runs.
void setStatusHook(std::function<void(const std::string&)> hook);
