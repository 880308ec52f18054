// SPDX-License-Identifier: MIT
// Portable string, number and XML-element helpers.
#include "tools/modTools.h"

#include <locale>
#include <sstream>

namespace {

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalFolded(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    return true;
}

bool isPaddingByte(char c) { return c == ' ' || c == '\0'; }

}  // namespace

std::string strtolower(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = foldAscii(c);
    return out;
}

bool strIsEqualCI(const std::string& a, const std::string& b) {
    return a.size() == b.size() && equalFolded(a.data(), b.data(), a.size());
}

bool strIsEqualCI(const std::string& a, const char* b) { return strIsEqualCI(a, std::string(b ? b : "")); }

bool isRight(const std::string& text, const std::string& suffix) {
    if (suffix.size() > text.size()) return false;
    return text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isRightCI(const std::string& text, const std::string& suffix) {
    if (suffix.size() > text.size()) return false;
    return equalFolded(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size());
}

std::string strtrim(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && isPaddingByte(text[first])) ++first;
    size_t last = text.size();
    while (last > first && isPaddingByte(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string strreplace(const std::string& text, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) return text;
    size_t found = text.find(pattern);
    if (found == std::string::npos) return text;
    std::string out;
    size_t start = 0;
    while (found != std::string::npos) {
        size_t wanted = out.size() + (found - start) + replacement.size();
        if (out.capacity() < wanted) out.reserve(wanted);
        out.append(text, start, found - start);
        out += replacement;
        start = found + pattern.size();
        found = text.find(pattern, start);
    }
    if (start < text.size()) out.append(text, start, std::string::npos);
    return out;
}

void strReplace_inplace(std::string& text, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty() || text.find(pattern) == std::string::npos) return;
    text = strreplace(text, pattern, replacement);
}

std::vector<std::string> strsplit(const std::string& text, const std::string& delimiter, int32_t maxSplits) {
    std::vector<std::string> pieces;
    if (text.empty() || delimiter.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    int32_t cuts = 0;
    size_t found = text.find(delimiter);
    while (found != std::string::npos && (maxSplits < 1 || cuts < maxSplits)) {
        pieces.push_back(text.substr(start, found - start));
        ++cuts;
        start = found + delimiter.size();
        found = text.find(delimiter, start);
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

template <class T>
T ss_atoi(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    T value = 0;
    if (!(in >> value)) return 0;
    return value;
}

template int32_t ss_atoi<int32_t>(const std::string&);
template double ss_atoi<double>(const std::string&);

int32_t strToInt(const std::string& text) { return ss_atoi<int32_t>(text); }
double strToDbl(const std::string& text) { return ss_atoi<double>(text); }

bool strToBool(const std::string& text) {
    return strIsEqualCI(text, "true") || strIsEqualCI(text, "1") || strIsEqualCI(text, "ja") ||
           strIsEqualCI(text, "yes");
}

std::string boolToStr(bool flag) { return flag ? "true" : "false"; }

std::string intToStr(int32_t value) { return std::to_string(value); }
std::string intToStr(uint64_t value) { return std::to_string(value); }

std::string prePad(const std::string& text, uint32_t width, const std::string& pad) {
    if (text.size() >= width || pad.empty()) return text;
    std::string out;
    for (size_t copies = width - text.size(); copies > 0; --copies) out += pad;
    return out + text;
}

std::string getXMLElementCIFast(const std::string& text, std::string& lowerText, const std::string& name,
                                uint64_t start, uint64_t& end) {
    if (lowerText.size() != text.size()) lowerText = strtolower(text);
    const std::string open = "<" + name + ">";
    if (start > lowerText.size()) return std::string();
    size_t openAt = lowerText.find(open, static_cast<size_t>(start));
    if (openAt == std::string::npos) return std::string();
    size_t contentAt = openAt + open.size();
    const std::string close = "</" + name + ">";
    size_t closeAt = lowerText.find(close, contentAt);
    if (closeAt == std::string::npos) return std::string();
    end = closeAt + close.size();
    return text.substr(contentAt, closeAt - contentAt);
}

std::string getXMLElementCIFast(const std::string& text, std::string& lowerText, const std::string& name,
                                const std::string& defaultValue) {
    uint64_t end = 0;
    std::string found = getXMLElementCIFast(text, lowerText, name, 0, end);
    return found.empty() ? defaultValue : found;
}
