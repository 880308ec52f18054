// SPDX-License-Identifier: MIT
// Metadata blocks: read from JPEG segments, written into them, and stripped of location. EXIF and
// IPTC are walked by their own small readers; XMP is followed as markup far enough to find
// properties and their ends, which its few location fields need, so no XML library is pulled in.
#include "picture/MetadataFilter.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace {

const char kExifId[] = "Exif\0\0";                     // 6 bytes with the two NULs
const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";  // followed by a NUL
const char kPhotoshopId[] = "Photoshop 3.0";           // followed by a NUL
const int kApp1 = 0xE1, kApp13 = 0xED;
const uint16_t kIptcResource = 0x0404;

bool startsWith(const std::string& text, const char* prefix, size_t length) {
    return text.size() >= length && memcmp(text.data(), prefix, length) == 0;
}

uint32_t readBE(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(s[at + size_t(i)]);
    return v;
}

// The IPTC records of a Photoshop resource block ("8BIM" resources), or "" without resource 0x0404.
std::string iptcOfResources(const std::string& data, size_t at) {
    while (at + 12 <= data.size() && data.compare(at, 4, "8BIM") == 0) {
        const uint16_t id = uint16_t(readBE(data, at + 4, 2));
        // A Pascal name, its length byte included, padded to an even length.
        const size_t nameBytes = (size_t(uint8_t(data[at + 6])) + 2) & ~size_t(1);
        const size_t sizeAt = at + 6 + nameBytes;
        if (sizeAt + 4 > data.size()) return std::string();
        const uint64_t size = readBE(data, sizeAt, 4), start = sizeAt + 4;
        if (start + size > data.size()) return std::string();
        if (id == kIptcResource) return data.substr(size_t(start), size_t(size));
        at = size_t(start + size + (size & 1));
    }
    return std::string();
}

}  // namespace

void takeJpegMetadataSegment(int marker, const std::string& payload, std::string& exif, std::string& xmp,
                             std::string& iptc) {
    if (marker == kApp1 && exif.empty() && startsWith(payload, kExifId, 6)) {
        exif = payload.substr(6);
    } else if (marker == kApp1 && xmp.empty() && startsWith(payload, kXmpId, sizeof kXmpId)) {
        xmp = payload.substr(sizeof kXmpId);
    } else if (marker == kApp13 && iptc.empty() && startsWith(payload, kPhotoshopId, sizeof kPhotoshopId)) {
        iptc = iptcOfResources(payload, sizeof kPhotoshopId);
    }
}

std::string jpegXmpPayload(const std::string& xmp) {
    return std::string(kXmpId, sizeof kXmpId) + xmp;
}

std::string jpegIptcPayload(const std::string& iptc) {
    std::string out(kPhotoshopId, sizeof kPhotoshopId);
    out += "8BIM";
    out += char(kIptcResource >> 8);
    out += char(kIptcResource & 0xFF);
    out += std::string(2, '\0');  // an empty name, padded to two bytes
    for (int shift = 24; shift >= 0; shift -= 8) out += char(uint8_t(iptc.size() >> shift));
    out += iptc;
    if (iptc.size() & 1) out += '\0';
    return out;
}

// ---- EXIF ----

namespace {

// A TIFF structure with its byte order; every read is bounds-checked by the caller through fits.
struct Tiff {
    std::string& bytes;
    bool motorola = false;
    bool fits(uint64_t at, uint64_t count) const { return at + count <= bytes.size(); }
    uint32_t read(uint64_t at, int count) const {
        uint32_t v = 0;
        for (int i = 0; i < count; ++i) {
            const uint32_t b = uint8_t(bytes[size_t(at) + size_t(i)]);
            v |= motorola ? b << (8 * (count - 1 - i)) : b << (8 * i);
        }
        return v;
    }
    void zero(uint64_t at, uint64_t count) { memset(&bytes[size_t(at)], 0, size_t(count)); }
};

// Bytes of one value of each TIFF field type (0 for unknown types).
uint32_t typeSize(uint32_t type) {
    static const uint8_t sizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? sizes[type] : 0;
}

// Zeroes a directory, its next-directory offset and every value stored outside its entries.
bool zeroDirectory(Tiff& tiff, uint64_t at) {
    if (!tiff.fits(at, 2)) return false;
    const uint64_t count = tiff.read(at, 2), end = at + 2 + 12 * count + 4;
    if (!tiff.fits(at, end - at)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t e = at + 2 + 12 * i;
        const uint64_t bytes = uint64_t(typeSize(tiff.read(e + 2, 2))) * tiff.read(e + 4, 4);
        if (bytes <= 4) continue;
        const uint64_t value = tiff.read(e + 8, 4);
        if (tiff.fits(value, bytes)) tiff.zero(value, bytes);
    }
    tiff.zero(at, end - at);
    return true;
}

}  // namespace

bool stripExifLocation(std::string& exif) {
    std::string copy = exif;
    Tiff tiff{copy};
    if (!tiff.fits(0, 8) || (copy.compare(0, 2, "II") != 0 && copy.compare(0, 2, "MM") != 0)) return false;
    tiff.motorola = copy[0] == 'M';
    const uint64_t ifd = tiff.read(4, 4);
    if (!tiff.fits(ifd, 2)) return false;
    const uint64_t count = tiff.read(ifd, 2);
    if (!tiff.fits(ifd + 2, 12 * count + 4)) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t e = ifd + 2 + 12 * i;
        if (tiff.read(e, 2) != 0x8825) continue;
        if (!zeroDirectory(tiff, tiff.read(e + 8, 4))) return false;
        // The entries after it and the next-directory offset move up one entry.
        const uint64_t rest = ifd + 2 + 12 * count + 4 - (e + 12);
        memmove(&copy[size_t(e)], &copy[size_t(e + 12)], size_t(rest));
        tiff.zero(e + rest, 12);
        const uint32_t fewer = uint32_t(count - 1);
        copy[size_t(ifd)] = char(tiff.motorola ? fewer >> 8 : fewer & 0xFF);
        copy[size_t(ifd + 1)] = char(tiff.motorola ? fewer & 0xFF : fewer >> 8);
        break;
    }
    exif.swap(copy);
    return true;
}

// ---- IPTC ----

namespace {

// Walks the data sets: calls keep(start, end, record, dataset) for each; false when they are not
// sound. Zero bytes after the last set are padding and end the walk.
template <class Visit>
bool walkIptc(const std::string& iptc, Visit visit) {
    size_t at = 0;
    while (at < iptc.size()) {
        if (iptc[at] == 0 && iptc.find_first_not_of('\0', at) == std::string::npos) return true;
        if (uint8_t(iptc[at]) != 0x1C || at + 5 > iptc.size()) return false;
        const int record = uint8_t(iptc[at + 1]), dataset = uint8_t(iptc[at + 2]);
        uint64_t length = readBE(iptc, at + 3, 2), start = at + 5;
        if (length & 0x8000) {
            // An extended length: the low bits count the bytes of the length that follows.
            const uint64_t bytes = length & 0x7FFF;
            if (bytes == 0 || bytes > 4 || start + bytes > iptc.size()) return false;
            length = readBE(iptc, size_t(start), int(bytes));
            start += bytes;
        }
        if (start + length > iptc.size()) return false;
        visit(at, size_t(start + length), record, dataset);
        at = size_t(start + length);
    }
    return true;
}

bool isLocationSet(int record, int dataset) {
    return record == 2 && (dataset == 26 || dataset == 27 || dataset == 90 || dataset == 92 ||
                           dataset == 95 || dataset == 100 || dataset == 101);
}

}  // namespace

bool iptcIsSound(const std::string& iptc) {
    return walkIptc(iptc, [](size_t, size_t, int, int) {});
}

bool stripIptcLocation(std::string& iptc) {
    std::string kept;
    const bool sound = walkIptc(iptc, [&](size_t from, size_t to, int record, int dataset) {
        if (!isLocationSet(record, dataset)) kept.append(iptc, from, to - from);
    });
    if (sound) iptc.swap(kept);
    return sound;
}

// ---- XMP ----

namespace {

// The location properties of each namespace, by URI; an empty list names every "GPS" property.
const std::map<std::string, std::vector<std::string>>& locationProperties() {
    static const std::map<std::string, std::vector<std::string>> properties = {
        {"http://ns.adobe.com/exif/1.0/", {}},
        {"http://ns.adobe.com/photoshop/1.0/", {"City", "State", "Country"}},
        {"http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/", {"Location", "CountryCode"}},
        {"http://iptc.org/std/Iptc4xmpExt/2008-02-29/", {"LocationShown", "LocationCreated"}},
    };
    return properties;
}

bool isNameChar(char c) {
    return c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '>' && c != '/' && c != '=' && c != '"' &&
           c != '\'' && c != '<';
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class XmpStripper {
  public:
    explicit XmpStripper(const std::string& text) : in(text) { bindPrefixes(); }

    // The packet without the location properties; false when the markup cannot be followed.
    bool run(std::string& out);

  private:
    // Every "xmlns:prefix" bound to a namespace that has location properties, wherever declared.
    void bindPrefixes();
    bool isLocation(const std::string& name) const;
    // From a "<" of a start tag: copies the tag without its location attributes, or skips the
    // whole element when it is a location property. at ends after what was consumed.
    bool startTag(size_t& at, std::string& out);
    bool skipElement(size_t& at, const std::string& name, bool empty);

    const std::string& in;
    std::map<std::string, const std::vector<std::string>*> prefixes;
};

void XmpStripper::bindPrefixes() {
    for (size_t at = in.find("xmlns:"); at != std::string::npos; at = in.find("xmlns:", at + 6)) {
        size_t end = at + 6;
        while (end < in.size() && isNameChar(in[end])) ++end;
        size_t quote = end;
        while (quote < in.size() && (isSpace(in[quote]) || in[quote] == '=')) ++quote;
        if (quote >= in.size() || (in[quote] != '"' && in[quote] != '\'')) continue;
        const size_t close = in.find(in[quote], quote + 1);
        if (close == std::string::npos) continue;
        const auto found = locationProperties().find(in.substr(quote + 1, close - quote - 1));
        if (found != locationProperties().end()) prefixes[in.substr(at + 6, end - at - 6)] = &found->second;
    }
}

bool XmpStripper::isLocation(const std::string& name) const {
    const size_t colon = name.find(':');
    if (colon == std::string::npos) return false;
    const auto bound = prefixes.find(name.substr(0, colon));
    if (bound == prefixes.end()) return false;
    const std::string local = name.substr(colon + 1);
    if (bound->second->empty()) return local.compare(0, 3, "GPS") == 0;
    for (const std::string& property : *bound->second)
        if (local == property) return true;
    return false;
}

bool XmpStripper::skipElement(size_t& at, const std::string& name, bool empty) {
    int depth = empty ? 0 : 1;
    while (depth > 0) {
        const size_t open = in.find('<', at);
        if (open == std::string::npos) return false;
        const size_t close = in.find('>', open);
        if (close == std::string::npos) return false;
        const bool closing = in[open + 1] == '/';
        size_t nameEnd = open + (closing ? 2 : 1);
        while (nameEnd < in.size() && isNameChar(in[nameEnd])) ++nameEnd;
        const std::string tagName = in.substr(open + (closing ? 2 : 1), nameEnd - open - (closing ? 2 : 1));
        if (tagName == name) depth += closing ? -1 : (in[close - 1] == '/' ? 0 : 1);
        at = close + 1;
    }
    return true;
}

bool XmpStripper::startTag(size_t& at, std::string& out) {
    size_t p = at + 1;
    while (p < in.size() && isNameChar(in[p])) ++p;
    const std::string name = in.substr(at + 1, p - at - 1);
    const size_t close = in.find('>', p);
    if (name.empty() || close == std::string::npos) return false;
    if (isLocation(name)) {
        at = close + 1;
        return skipElement(at, name, in[close - 1] == '/');
    }
    out.append(in, at, p - at);
    // Attributes: each copied with the blanks before it unless it is a location property.
    while (true) {
        size_t nameAt = p;
        while (nameAt < in.size() && isSpace(in[nameAt])) ++nameAt;
        if (nameAt >= in.size()) return false;
        if (in[nameAt] == '>' || in[nameAt] == '/') {
            const size_t end = in.find('>', nameAt);
            if (end == std::string::npos) return false;
            out.append(in, p, end + 1 - p);
            at = end + 1;
            return true;
        }
        size_t nameEnd = nameAt;
        while (nameEnd < in.size() && isNameChar(in[nameEnd])) ++nameEnd;
        size_t quote = nameEnd;
        while (quote < in.size() && (isSpace(in[quote]) || in[quote] == '=')) ++quote;
        if (nameEnd == nameAt || quote >= in.size() || (in[quote] != '"' && in[quote] != '\'')) return false;
        const size_t valueEnd = in.find(in[quote], quote + 1);
        if (valueEnd == std::string::npos) return false;
        if (!isLocation(in.substr(nameAt, nameEnd - nameAt))) out.append(in, p, valueEnd + 1 - p);
        p = valueEnd + 1;
    }
}

bool XmpStripper::run(std::string& out) {
    size_t at = 0;
    while (at < in.size()) {
        const size_t open = in.find('<', at);
        if (open == std::string::npos) break;
        out.append(in, at, open - at);
        at = open;
        const char next = open + 1 < in.size() ? in[open + 1] : '\0';
        if (next == '?' || next == '!' || next == '/') {
            // Processing instructions, comments and end tags are copied as they are.
            const char* end = next == '?' ? "?>" : in.compare(open, 4, "<!--") == 0 ? "-->" : ">";
            const size_t stop = in.find(end, open + 1);
            if (stop == std::string::npos) return false;
            out.append(in, open, stop + strlen(end) - open);
            at = stop + strlen(end);
        } else if (!startTag(at, out)) {
            return false;
        }
    }
    out.append(in, at, std::string::npos);
    return true;
}

}  // namespace

bool stripXmpLocation(std::string& xmp) {
    std::string out;
    if (!XmpStripper(xmp).run(out)) return false;
    xmp.swap(out);
    return true;
}
