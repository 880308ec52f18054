// SPDX-License-Identifier: MIT
// The settings of what goes into an output beyond its size and type: metadata, colour, sharpening,
// linear light, never enlarging, file dates, progressive JPEG and a file-size limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace MetadataMode {
enum : int32_t { All = 0, NoLocation = 1, None = 2 };
}
namespace ColourMode {
enum : int32_t { Keep = 0, Srgb = 1 };
}
namespace SharpenLevel {
enum : int32_t { None = 0, Light = 1, Medium = 2, Strong = 3 };
}

// Read by running jobs, so each is a single-word atomic. Every default leaves outputs as they were
// before these settings existed.
struct OutputSettings {
    std::atomic<int32_t> metadata{MetadataMode::All};
    std::atomic<int32_t> colour{ColourMode::Keep};
    std::atomic<int32_t> sharpen{SharpenLevel::None};
    std::atomic<bool> linear{false};
    std::atomic<bool> noEnlarge{false};
    std::atomic<bool> keepDates{false};
    std::atomic<bool> progressive{false};
    // 0: no limit.
    std::atomic<uint64_t> maxBytes{0};

    // Sets one setting by the settings file's element name in lower case ("metadata", "colour",
    // "sharpen", "linear", "noenlarge", "keepdates", "progressive", "maxbytes") from its word;
    // false, with nothing changed, for an unknown name or a word the setting does not take.
    bool set(const std::string& name, const std::string& word);
    // The setting's word as set() takes it and the settings file holds it; "" for an unknown name.
    std::string word(const std::string& name) const;
    // Reads every element present in the settings text (lower-case copy beside it); the others
    // keep their values.
    void load(const std::string& xml, std::string& lowerXml);
    // The elements of the settings file that differ from their defaults, each on a line of its own
    // after a line feed: a file of defaults keeps its first lines alone, as older versions read it.
    std::string text() const;
};

// The element names in the order the settings file writes them.
extern const char* const kOutputSettingNames[8];
// The words of the word settings, in code order.
extern const char* const kMetadataWords[3];
extern const char* const kColourWords[2];
extern const char* const kSharpenWords[4];
