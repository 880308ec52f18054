// SPDX-License-Identifier: MIT
// EXIF block of JPEG sources: found by walking the marker segments, read and patched in IFD0.
#include "picture/Exif.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/modTools.h"

namespace {

// Reads a JPEG file front to back; every read reports whether all requested bytes were there.
class SegmentReader {
  public:
    explicit SegmentReader(FILE* f) : file(f) {}
    bool byte(uint8_t& out) {
        int c = fgetc(file);
        out = uint8_t(c);
        return c != EOF;
    }
    bool bytes(size_t count, std::string& out) {
        out.resize(count);
        return count == 0 || fread(&out[0], 1, count, file) == count;
    }
    bool skip(size_t count) { return fseek(file, long(count), SEEK_CUR) == 0; }

  private:
    FILE* file;
};

const uint8_t markerSOI = 0xD8, markerEOI = 0xD9, markerSOS = 0xDA, markerAPP1 = 0xE1;
const char exifIdentifier[6] = {'E', 'x', 'i', 'f', 0, 0};

// Marker codes that stand alone, without a length: TEM and RST0..RST7.
bool isStandalone(uint8_t code) {
    return code == 0x01 || (code >= 0xD0 && code <= 0xD7);
}

// Reads the next marker code; any number of 0xFF fill bytes may precede it. False when the next
// byte does not start a marker or the file ends.
bool nextMarker(SegmentReader& in, uint8_t& code) {
    uint8_t b;
    if (!in.byte(b) || b != 0xFF) return false;
    do {
        if (!in.byte(b)) return false;
    } while (b == 0xFF);
    code = b;
    return true;
}

// Walks the segments after SOI up to SOS and returns in `block` the payload of the first APP1
// segment that starts with the EXIF identifier. False when there is none or the file is malformed.
bool findExifSegment(SegmentReader& in, std::string& block) {
    uint8_t code;
    while (nextMarker(in, code)) {
        if (code == markerSOS || code == markerEOI) return false;
        if (isStandalone(code)) continue;
        if (code == markerSOI || code == 0x00) return false;
        std::string length;
        if (!in.bytes(2, length)) return false;
        // The length counts its own two bytes.
        const size_t total = size_t(uint8_t(length[0])) << 8 | uint8_t(length[1]);
        if (total < 2) return false;
        size_t payload = total - 2;
        if (code == markerAPP1 && payload >= sizeof exifIdentifier) {
            std::string head, rest;
            if (!in.bytes(sizeof exifIdentifier, head)) return false;
            payload -= sizeof exifIdentifier;
            if (memcmp(head.data(), exifIdentifier, sizeof exifIdentifier) == 0) {
                if (!in.bytes(payload, rest)) return false;
                block = head + rest;
                return true;
            }
        }
        if (!in.skip(payload)) return false;
    }
    return false;
}

}  // namespace

void Exif::loadFromJPG(const std::string& path) {
    loaded = false;
    exifBlock.clear();
    FILE* file = fileOpen(path, "rb");
    if (!file) return;
    SegmentReader in(file);
    uint8_t b0, b1;
    std::string block;
    if (in.byte(b0) && in.byte(b1) && b0 == 0xFF && b1 == markerSOI && findExifSegment(in, block)) {
        exifBlock = block;
        loaded = true;
    }
    fclose(file);
}

// Byte offsets inside the block: the TIFF header starts after the six-byte identifier, and
// IFD0's offset (from the TIFF header) is stored at 10.
static const int64_t tiffStart = 6, ifdOffsetPos = 10, entrySize = 12, minBlockSize = 19;

// Returns the block offset of IFD0's entry for `tag`, or -1 when the block is too short, is
// malformed or IFD0 has no such entry (the first of duplicates wins). Sets motorolaOrder.
// Every position read lies inside the block.
static int64_t findEntry(Exif& exif, int tag) {
    const std::string& block = exif.exifBlock;
    const int64_t size = int64_t(block.size());
    // Positions are passed to the readers as int.
    if (size < minBlockSize || size > INT32_MAX) return -1;
    exif.motorolaOrder = block[tiffStart] == 'I' ? 0 : 1;
    // A negative offset is malformed even where adding 6 makes it look valid: a directory there
    // would overlap the TIFF header, and a patch would overwrite the offset itself.
    const int64_t ifd = exif.readLong(block, int(ifdOffsetPos));
    const int64_t countPos = ifd + tiffStart;
    if (ifd < 0 || countPos + 2 > size) return -1;
    const int64_t count = exif.readShort(block, int(countPos));
    for (int64_t i = 0; i < count; ++i) {
        const int64_t e = countPos + 2 + entrySize * i;
        if (e + entrySize > size) return -1;
        if (exif.readShort(block, int(e)) == tag) return e;
    }
    return -1;
}

std::string Exif::getField(int tag) {
    const int64_t e = findEntry(*this, tag);
    if (e < 0) return std::string();
    const int type = readShort(exifBlock, int(e + 2));
    // SHORT values sit in the first two bytes of the value field; others fill all four.
    const int32_t value = type == 3 ? readShort(exifBlock, int(e + 8)) : readLong(exifBlock, int(e + 8));
    return intToStr(value);
}

bool Exif::setField(int tag, int value) {
    const int64_t e = findEntry(*this, tag);
    if (e < 0) return false;
    const int type = readShort(exifBlock, int(e + 2));
    // Only the value's low-order byte is written; where it sits depends on byte order and type.
    int64_t low = e + 8;
    if (motorolaOrder != 0) low = type == 3 ? e + 9 : e + 11;
    exifBlock[size_t(low)] = char(uint8_t(value));
    return true;
}

// Both readers return 0 for a position whose bytes are not all inside `bytes`.
int32_t Exif::readLong(const std::string& bytes, int pos) {
    if (pos < 0 || int64_t(pos) + 4 > int64_t(bytes.size())) return 0;
    const auto b = [&](int k) { return uint32_t(uint8_t(bytes[size_t(pos + k)])); };
    const uint32_t v = motorolaOrder == 0 ? b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24
                                          : b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
    return int32_t(v);
}

int32_t Exif::readShort(const std::string& bytes, int pos) {
    if (pos < 0 || int64_t(pos) + 2 > int64_t(bytes.size())) return 0;
    const auto b = [&](int k) { return uint32_t(uint8_t(bytes[size_t(pos + k)])); };
    return int32_t(motorolaOrder == 0 ? b(0) | b(1) << 8 : b(0) << 8 | b(1));
}
