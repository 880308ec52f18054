// SPDX-License-Identifier: MIT
// The output settings: their words, and their elements in the settings file after its first lines.
#include "engine/OutputSettings.h"

#include <cctype>

#include "tools/modTools.h"

const char* const kOutputSettingNames[8] = {"metadata",  "colour",    "sharpen",     "linear",
                                            "noenlarge", "keepdates", "progressive", "maxbytes"};
const char* const kMetadataWords[3] = {"all", "no-location", "none"};
const char* const kColourWords[2] = {"keep", "srgb"};
const char* const kSharpenWords[4] = {"none", "light", "medium", "strong"};

namespace {

template <size_t N>
bool setWord(const char* const (&words)[N], const std::string& word, std::atomic<int32_t>& field) {
    for (size_t code = 0; code < N; ++code) {
        if (strIsEqualCI(word, words[code])) {
            field = int32_t(code);
            return true;
        }
    }
    return false;
}

template <size_t N>
std::string wordOf(const char* const (&words)[N], int32_t code) {
    return code >= 0 && size_t(code) < N ? words[code] : std::string();
}

std::string upper(const char* name) {
    std::string text = name;
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool setBool(const std::string& word, std::atomic<bool>& field) {
    if (strIsEqualCI(word, "true") || strIsEqualCI(word, "false")) {
        field = strIsEqualCI(word, "true");
        return true;
    }
    return false;
}

// Bytes: digits, optionally followed by K or M (any case; powers of 1024); 0 is no limit.
bool setBytes(const std::string& word, std::atomic<uint64_t>& field) {
    std::string digits = word;
    int shift = 0;
    if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) shift = 10;
    if (!digits.empty() && (digits.back() == 'm' || digits.back() == 'M')) shift = 20;
    if (shift) digits.pop_back();
    if (digits.empty() || digits.size() > 12) return false;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    field = std::stoull(digits) << shift;
    return true;
}

}  // namespace

bool OutputSettings::set(const std::string& name, const std::string& word) {
    if (name == "metadata") return setWord(kMetadataWords, word, metadata);
    if (name == "colour") return setWord(kColourWords, word, colour);
    if (name == "sharpen") return setWord(kSharpenWords, word, sharpen);
    if (name == "linear") return setBool(word, linear);
    if (name == "noenlarge") return setBool(word, noEnlarge);
    if (name == "keepdates") return setBool(word, keepDates);
    if (name == "progressive") return setBool(word, progressive);
    if (name == "maxbytes") return setBytes(word, maxBytes);
    return false;
}

std::string OutputSettings::word(const std::string& name) const {
    if (name == "metadata") return wordOf(kMetadataWords, metadata);
    if (name == "colour") return wordOf(kColourWords, colour);
    if (name == "sharpen") return wordOf(kSharpenWords, sharpen);
    if (name == "linear") return boolToStr(linear);
    if (name == "noenlarge") return boolToStr(noEnlarge);
    if (name == "keepdates") return boolToStr(keepDates);
    if (name == "progressive") return boolToStr(progressive);
    if (name == "maxbytes") return std::to_string(maxBytes.load());
    return std::string();
}

void OutputSettings::load(const std::string& xml, std::string& lowerXml) {
    for (const char* name : kOutputSettingNames) {
        const std::string content = getXMLElementCIFast(xml, lowerXml, name, std::string());
        if (!content.empty()) set(name, content);
    }
}

std::string OutputSettings::text() const {
    const OutputSettings defaults;
    std::string text;
    for (const char* name : kOutputSettingNames) {
        if (word(name) == defaults.word(name)) continue;
        const std::string element = upper(name);
        text += "\n<" + element + ">" + word(name) + "</" + element + ">";
    }
    return text;
}
