// SPDX-License-Identifier: MIT
// GIF decoder: file parsing, colour tables, LZW decoding, interlace, and CPicture::loadFromGIF.
#include "picture/CGif.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "picture/Picture.h"
#include "tools/modTools.h"

std::atomic<int64_t> CGif::pixelLimit{int64_t(1) << 31};
std::atomic<bool> CGif::plainLzw{false};

namespace {

constexpr int kMaxCodes = 4096;  // 12-bit codes

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

uint16_t readU16LE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Reads data sub-blocks up to and including the terminator; false when the file ends first.
bool skipSubBlocks(GifReader& in) {
    uint8_t length;
    while (in.readByte(length)) {
        if (length == 0) return true;
        if (!in.skipBytes(length)) return false;
    }
    return false;
}

}  // namespace

// ---- GifReader ----

bool GifReader::refill() {
    pos = 0;
    len = fp ? fread(buffer, 1, sizeof buffer, fp) : 0;
    return len > 0;
}

bool GifReader::readByte(uint8_t& value) {
    if (pos == len && !refill()) return false;
    value = buffer[pos++];
    return true;
}

bool GifReader::readBytes(uint8_t* out, size_t count) {
    while (count > 0) {
        if (pos == len && !refill()) return false;
        size_t n = std::min(count, len - pos);
        memcpy(out, buffer + pos, n);
        pos += n;
        out += n;
        count -= n;
    }
    return true;
}

bool GifReader::skipBytes(size_t count) {
    while (count > 0) {
        if (pos == len && !refill()) return false;
        size_t n = std::min(count, len - pos);
        pos += n;
        count -= n;
    }
    return true;
}

// ---- GifCodeStripper ----

GifCodeStripper::GifCodeStripper(GifReader& reader, int minCodeSize)
    : codeSize(minCodeSize + 1),
      clearCode(static_cast<unsigned short>(1u << minCodeSize)),
      endCode(static_cast<unsigned short>((1u << minCodeSize) + 1)),
      fp(reader) {}

// Reads the next data sub-block whole; a terminator or a short read ends the data for good.
bool GifCodeStripper::readBlock() {
    if (ended) return false;
    uint8_t length;
    if (!fp.readByte(length) || length == 0 || !fp.readBytes(block, length)) {
        ended = true;
        return false;
    }
    bytePos = 0;
    bytesLeft = length;
    return true;
}

void GifCodeStripper::SkipRest() {
    if (ended) return;
    bytesLeft = 0;
    skipSubBlocks(fp);
    ended = true;
}

// ---- CGif: file structure ----

CGif::CGif(const std::string& path) {
    try {
        ReadFile(path);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
}

CGif::~CGif() {
    for (imagedescriptorblock* image : images) delete image;
    for (framecontrolblock* record : frameControls) delete record;
    for (framecontrolblock* record : pendingControls) delete record;
    free(indexBuffer);
}

int CGif::ReadFile(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(fileOpen(path, "rb", nullptr));
    if (!file) {
        failure = strerror(errno);
        return 0;
    }
    struct stat info;
    if (fstat(fileno(file.get()), &info) == 0) fileBytes = int64_t(info.st_size);
    lastDelay = 0;
    std::unique_ptr<GifReader> in(new GifReader(file.get()));
    if (!readScreen(*in)) {
        failure = "not a GIF file";
        return 0;
    }
    // Bytes between blocks that introduce nothing are skipped one at a time; the trailer ends the
    // stream, so data appended after it is never taken for images.
    uint8_t tag;
    while (in->readByte(tag)) {
        if (tag == 0x2C) {
            if (!readImage(*in)) break;
        } else if (tag == 0x21) {
            if (!readExtension(*in)) break;
        } else if (tag == 0x3B) {
            break;
        }
    }
    return 0;
}

// Header, logical screen descriptor and global colour table.
bool CGif::readScreen(GifReader& in) {
    uint8_t header[6];
    if (!in.readBytes(header, 6) || !in.readBytes(screen, 7)) return false;
    signature = memcmp(header, "GIF", 3) == 0;
    canvasWidth = readU16LE(screen);
    canvasHeight = readU16LE(screen + 2);
    uint8_t packed = screen[4];
    hasGlobalTable = (packed >> 7) & 1;
    colorResolution = static_cast<uint8_t>(((packed >> 4) & 7) + 1);
    sortFlag = (packed >> 3) & 1;
    globalTableSize = 2 << (packed & 7);
    if (!hasGlobalTable) return true;
    uint8_t rgb[256 * 3];
    if (!in.readBytes(rgb, 3 * static_cast<size_t>(globalTableSize))) return false;
    numColors = globalTableSize;
    for (int i = 0; i < numColors; ++i) {
        colorTable[i * 4 + 0] = rgb[i * 3 + 0];
        colorTable[i * 4 + 1] = rgb[i * 3 + 1];
        colorTable[i * 4 + 2] = rgb[i * 3 + 2];
    }
    return true;
}

// Every extension is a label followed by data sub-blocks; only the graphic control record (0xF9,
// first sub-block of at least 4 bytes) is kept. Comments, application data and unknown labels are
// skipped whole, so text inside them is never read as blocks.
bool CGif::readExtension(GifReader& in) {
    uint8_t label, length;
    if (!in.readByte(label)) return false;
    bool first = true;
    while (in.readByte(length)) {
        if (length == 0) return true;
        uint8_t data[255];
        if (!in.readBytes(data, length)) return false;
        if (first && label == 0xF9 && length >= 4) {
            std::unique_ptr<framecontrolblock> record(new framecontrolblock());
            record->disposal = (data[0] >> 2) & 7;
            record->userInput = (data[0] >> 1) & 1;
            record->transparent = data[0] & 1;
            record->delay = readU16LE(data + 1);
            record->transparentIndex = data[3];
            pendingControls.push_back(record.get());
            record.release();
        }
        first = false;
    }
    return false;
}

framecontrolblock* CGif::GetFrameControlBlock(std::deque<framecontrolblock*>& pending) {
    std::unique_ptr<framecontrolblock> chosen;
    if (pending.size() == 1) {
        chosen.reset(pending.front());
        pending.pop_front();
    } else {
        // Several records before one image: the first with a delay wins, the rest are dropped.
        while (!pending.empty()) {
            std::unique_ptr<framecontrolblock> record(pending.front());
            pending.pop_front();
            if (!chosen && record->delay != 0) chosen = std::move(record);
        }
    }
    if (!chosen) chosen.reset(new framecontrolblock());
    if (lastDelay == 0) lastDelay = 10;
    if (chosen->delay < 2) {
        chosen->delay = lastDelay;
    } else {
        lastDelay = chosen->delay;
    }
    frameControls.push_back(chosen.get());
    return chosen.release();
}

// Image descriptor, local table, control record, palette, then the pixel data. False ends parsing.
bool CGif::readImage(GifReader& in) {
    std::unique_ptr<imagedescriptorblock> image(new imagedescriptorblock());
    uint8_t d[9];
    if (!in.readBytes(d, 9)) return false;
    image->left = readU16LE(d);
    image->top = readU16LE(d + 2);
    image->width = readU16LE(d + 4);
    image->height = readU16LE(d + 6);
    image->hasLocalTable = (d[8] >> 7) & 1;
    image->interlaced = (d[8] >> 6) & 1;
    image->sorted = (d[8] >> 5) & 1;
    int count = numColors;
    if (image->hasLocalTable) {
        count = 2 << (d[8] & 7);
        image->localTable = new uint8_t[count * 3];
        if (!in.readBytes(image->localTable, static_cast<size_t>(count) * 3)) return false;
        image->localTableBytes = count * 3;
    }
    const int64_t pixels = int64_t(image->width) * image->height;
    if (pixels >= pixelLimit) {
        refused = true;
        failure = "the picture is too large";
        return false;
    }
    // Every LZW code takes at least one bit and stands for at most 4096 pixels (the table's
    // size), so no byte of the file describes more than 8 x 4096 pixels.
    if (pixels > fileBytes * 8 * 4096) {
        refused = true;
        failure = "an image of " + std::to_string(image->width) + "x" + std::to_string(image->height) +
                  " pixels cannot be held in a file of " + std::to_string(fileBytes) + " bytes";
        return false;
    }
    canvasWidth = std::max(canvasWidth, int(image->width));
    canvasHeight = std::max(canvasHeight, int(image->height));

    framecontrolblock* record = GetFrameControlBlock(pendingControls);
    pixelCount = 0;
    SetFramePalette(&palette, image.get(), count);
    if (record->transparent) {
        const uint8_t* entry = palette.entries + record->transparentIndex * 4;
        record->transparentBlue = entry[0];
        record->transparentGreen = entry[1];
        record->transparentRed = entry[2];
    }
    decodeImage(in, image.get());
    if (refused) {
        if (failure.empty()) failure = "out of memory";
        return false;
    }
    if (pixelCount < pixels && warning.empty())
        warning = "the file ends early: " + std::to_string(pixelCount / std::max<int64_t>(image->width, 1)) +
                  " of " + std::to_string(image->height) + " rows decoded";
    images.push_back(image.get());
    image.release();
    return true;
}

void CGif::SetFramePalette(GifPalette* info, imagedescriptorblock* image, int count) {
    uint8_t* p = info->entries;
    memset(p, 0, sizeof info->entries);
    info->count = count;
    for (int i = 0; i < 256; ++i) {
        const uint8_t* rgb = nullptr;
        if (image->hasLocalTable) {
            if (i < count) rgb = image->localTable + i * 3;
        } else {
            rgb = colorTable + i * 4;  // beyond numColors: black, or an earlier rewrite
        }
        if (!rgb) continue;
        p[i * 4 + 0] = rgb[2];
        p[i * 4 + 1] = rgb[1];
        p[i * 4 + 2] = rgb[0];
    }

    // Transparency is later found by colour, so a transparent index whose colour is black gets
    // the first unused red (f, 0, 0) instead; real black pixels then stay opaque.
    framecontrolblock* record = frameControls.empty() ? nullptr : frameControls.back();
    if (!record || !record->transparent) return;
    uint8_t* entry = p + record->transparentIndex * 4;
    if (entry[0] != 0 || entry[1] != 0 || entry[2] != 0) return;
    bool taken[256] = {};
    for (int i = 0; i < 256; ++i) {
        if (p[i * 4 + 0] == 0 && p[i * 4 + 1] == 0) taken[p[i * 4 + 2]] = true;
    }
    int red = 255;
    for (int f = 1; f <= 254; ++f) {
        if (!taken[f]) {
            red = f;
            break;
        }
    }
    entry[2] = static_cast<uint8_t>(red);
    // An image shown with the global table changes it for the images after it too.
    if (!image->hasLocalTable) {
        colorTable[record->transparentIndex * 4 + 0] = static_cast<uint8_t>(red);
        colorTable[record->transparentIndex * 4 + 2] = 0;
    }
}

bool CGif::hasPicture() const {
    return !refused && !images.empty() && canvasWidth > 0 && canvasHeight > 0 &&
           int64_t(canvasWidth) * canvasHeight < pixelLimit;
}

// ---- LZW ----

void CGif::InitializeColorTable(int count) {
    for (int i = 0; i < count; ++i) {
        codePrefix[codeCount] = 0;
        codeSuffix[codeCount] = static_cast<uint8_t>(i);  // pixels are the low byte of a root
        codeFirst[codeCount] = static_cast<uint8_t>(i);
        codeLengths[codeCount] = 1;
        ++codeCount;
    }
}

void CGif::ResetCodeTable() {
    codeCount = 0;
}

// Root codes, then the clear and end entries, so that a code's value is its position.
void CGif::startCodeTable() {
    ResetCodeTable();
    InitializeColorTable((1 << minCodeSize) + 2);
}

// Writes the string of code at out[pos...], dropping what lies at or beyond total; returns the
// position after it.
int64_t CGif::emitString(unsigned code, uint8_t* out, int64_t pos, int64_t total) const {
    int64_t end = pos + codeLengths[code];
    uint8_t* p = out + std::min(end, total);
    for (int64_t i = end; i > total; --i) code = codePrefix[code];
    while (p > out + pos) {
        *--p = codeSuffix[code];
        code = codePrefix[code];
    }
    return std::min(end, total);
}

// Decodes codes into out (the pixel stream in file order) until the end code, the end of the
// data, total pixels, or a code that no valid stream contains. Returns the pixels written.
int64_t CGif::decodeLzw(GifCodeStripper& codes, uint8_t* out, int64_t total) {
    const unsigned clearCode = codes.clearCode, endCode = codes.endCode;
    startCodeTable();
    int prev = -1;  // no previous code right after a clear
    int64_t pos = 0;
    while (pos < total) {
        unsigned code = codes.GetNextCode();
        if (code == endCode) break;
        if (code == clearCode) {
            startCodeTable();
            codes.codeSize = minCodeSize + 1;
            prev = -1;
            continue;
        }
        if (prev < 0) {
            if (code >= clearCode) break;  // the first code after a clear must be a root
            out[pos++] = codeSuffix[code];
            prev = static_cast<int>(code);
            continue;
        }
        if (code < static_cast<unsigned>(codeCount)) {
            if (codeCount < kMaxCodes) {
                codePrefix[codeCount] = static_cast<uint16_t>(prev);
                codeSuffix[codeCount] = codeFirst[code];
                codeFirst[codeCount] = codeFirst[prev];
                codeLengths[codeCount] = static_cast<uint16_t>(codeLengths[prev] + 1);
                ++codeCount;
            }
        } else if (code == static_cast<unsigned>(codeCount)) {
            // The code being defined: prev's string followed by its own first element.
            codePrefix[codeCount] = static_cast<uint16_t>(prev);
            codeSuffix[codeCount] = codeFirst[prev];
            codeFirst[codeCount] = codeFirst[prev];
            codeLengths[codeCount] = static_cast<uint16_t>(codeLengths[prev] + 1);
            ++codeCount;
        } else {
            break;  // beyond the next free entry
        }
        pos = emitString(code, out, pos, total);
        if (codeCount >= (1 << codes.codeSize) && codes.codeSize <= 11) ++codes.codeSize;
        prev = static_cast<int>(code);
    }
    return pos;
}

// The same decoding as decodeLzw, over the image's data read whole (its sub-blocks up to the
// terminator, or up to a block the file cuts short, which is dropped as there). Every string a
// code stands for was written to out before, whole, when the code was made: it is prev's string
// (written at prevPos) and one more element, the first of the string written right after it. So
// each code keeps where its string starts and how long it is, and is emitted by copying.
int64_t CGif::decodeLzwFast(GifReader& in, uint8_t* out, int64_t total) {
    std::vector<uint8_t> data;
    uint8_t length;
    while (in.readByte(length) && length != 0) {
        const size_t at = data.size();
        data.resize(at + length);
        if (!in.readBytes(data.data() + at, length)) {
            data.resize(at);
            break;
        }
    }
    const uint64_t bits = uint64_t(data.size()) * 8;
    data.resize(data.size() + 8, 0);  // whole 64-bit loads at the end
    const uint8_t* bytes = data.data();
    const unsigned clearCode = 1u << minCodeSize, endCode = clearCode + 1;
    static thread_local uint32_t start[kMaxCodes];
    static thread_local uint16_t size[kMaxCodes];
    int codeSize = minCodeSize + 1;
    unsigned mask = (1u << codeSize) - 1, count = clearCode + 2;
    uint64_t bit = 0;
    int64_t pos = 0, prevPos = 0;
    unsigned prevSize = 0;
    bool afterClear = true;
    while (pos < total && bit + unsigned(codeSize) <= bits) {
        uint64_t word;
        memcpy(&word, bytes + (bit >> 3), 8);
        const unsigned code = unsigned(word >> (bit & 7)) & mask;
        bit += unsigned(codeSize);
        if (code == endCode) break;
        if (code == clearCode) {
            codeSize = minCodeSize + 1;
            mask = (1u << codeSize) - 1;
            count = clearCode + 2;
            afterClear = true;
            continue;
        }
        unsigned n;
        if (afterClear) {
            if (code >= clearCode) break;  // the first code after a clear must be a root
            out[pos] = uint8_t(code);
            n = 1;
            afterClear = false;
        } else if (code < count || code == count) {
            if (code == count || count < unsigned(kMaxCodes)) {
                start[count] = uint32_t(prevPos);
                size[count] = uint16_t(prevSize + 1);
                ++count;
            }
            if (code < clearCode) {
                out[pos] = uint8_t(code);
                n = 1;
            } else {
                n = size[code];
                const int64_t room = std::min<int64_t>(n, total - pos);
                const uint8_t* from = out + start[code];
                uint8_t* to = out + pos;
                if (int64_t(start[code]) + room <= pos) {
                    memcpy(to, from, size_t(room));
                } else {
                    // The code being defined: its last element is its first, written just now.
                    for (int64_t k = 0; k < room; ++k) to[k] = from[k];
                }
            }
            if (count >= (1u << codeSize) && codeSize <= 11) {
                ++codeSize;
                mask = (1u << codeSize) - 1;
            }
        } else {
            break;  // beyond the next free entry
        }
        prevPos = pos;
        prevSize = n;
        pos = std::min<int64_t>(pos + n, total);
    }
    return pos;
}

bool CGif::CalcRowColumn(imagedescriptorblock* image, int& column, int& passRow, int& pass, int row,
                         unsigned long& outRow, unsigned long& outColumn) {
    const long w = image->width, h = image->height;
    if (w == 0 || h == 0) return false;
    if (!image->interlaced) {
        // `row` is the pixel number.
        outRow = static_cast<unsigned long>(row / w);
        outColumn = static_cast<unsigned long>(row % w);
        return static_cast<long>(outRow) < h;
    }
    if (column >= w) {
        column = 0;
        ++passRow;
    }
    // Pass 1 takes every 8th row from 0, pass 2 every 8th from 4, pass 3 every 4th from 2,
    // pass 4 every 2nd from 1.
    for (;;) {
        long r;
        switch (pass) {
            case 1:
                r = 8L * passRow;
                break;
            case 2:
                r = 8L * passRow + 4;
                break;
            case 3:
                r = 4L * passRow + 2;
                break;
            case 4:
                r = 2L * passRow + 1;
                break;
            default:
                return false;
        }
        if (r < h) {
            outRow = static_cast<unsigned long>(r);
            break;
        }
        ++pass;
        passRow = 0;
    }
    outColumn = static_cast<unsigned long>(column++);
    return true;
}

// Allocates the zeroed index buffer, decodes the image's data into it and leaves the file after the
// image's block terminator.
void CGif::decodeImage(GifReader& in, imagedescriptorblock* image) {
    free(indexBuffer);
    indexBuffer = nullptr;
    const int64_t total = int64_t(image->width) * image->height;
    if (total > 0) {
        indexBuffer = static_cast<uint8_t*>(calloc(static_cast<size_t>(total), 1));
        if (!indexBuffer) {
            refused = true;
            return;
        }
    }
    uint8_t s;
    if (!in.readByte(s)) return;
    // Codes wider than 12 bits do not exist: such an image stays zero.
    if (s > 11) {
        skipSubBlocks(in);
        return;
    }
    minCodeSize = s;
    GifCodeStripper codes(in, s);
    const bool fast = !plainLzw;
    if (total > 0 && !image->interlaced) {
        pixelCount = fast ? decodeLzwFast(in, indexBuffer, total) : decodeLzw(codes, indexBuffer, total);
    } else if (total > 0) {
        std::unique_ptr<uint8_t, decltype(&free)> stream(
            static_cast<uint8_t*>(calloc(static_cast<size_t>(total), 1)), &free);
        if (!stream) {
            refused = true;
            return;
        }
        pixelCount = fast ? decodeLzwFast(in, stream.get(), total) : decodeLzw(codes, stream.get(), total);
        // Each run of width pixels is one row of the interlace walk.
        const int64_t w = image->width;
        int column = 0, passRow = 0, pass = 1;
        unsigned long row, col;
        for (int64_t k = 0; k < pixelCount; k += w) {
            if (!CalcRowColumn(image, column, passRow, pass, 0, row, col)) break;
            memcpy(indexBuffer + row * w, stream.get() + k, static_cast<size_t>(std::min(w, pixelCount - k)));
            column = static_cast<int>(w);
        }
    }
    if (!fast || total == 0) codes.SkipRest();
}

// ---- Picture ----

namespace {

// Fills the picture from the last image: its indices through its palette at the top left, the rest
// black; with the first image's transparency, pixels of its colour get alpha 0, others 255.
void fillFromGif(CPicture& picture, const CGif& gif) {
    GifColours colours;
    gifColours(gif, colours);
    const bool transparent = gif.frameControls.front()->transparent != 0;
    const uint8_t outsideAlpha = colours.outside[3];
    const imagedescriptorblock* image = gif.images.back();
    const int iw = gif.indexBuffer ? image->width : 0;
    const int ih = gif.indexBuffer ? image->height : 0;
    uint8_t alphaAnd = 255;
    for (int y = 0; y < picture.height; ++y) {
        uint8_t* dst = picture.pixelAt(0, y);
        int x = 0;
        if (y < ih) {
            const uint8_t* src = gif.indexBuffer + static_cast<size_t>(y) * iw;
            for (; x < iw; ++x, dst += 4) {
                const uint8_t* v = colours.lut[src[x]];
                memcpy(dst, v, 4);
                alphaAnd &= v[3];
            }
        }
        if (transparent && x < picture.width) {
            for (; x < picture.width; ++x, dst += 4) dst[3] = outsideAlpha;
            alphaAnd &= outsideAlpha;
        }
    }
    if (transparent && alphaAnd == 0) picture.transparencyMode = TRANSPARENCY_MASK;
}

}  // namespace

std::string gifFailure(const CGif& gif) {
    if (!gif.failure.empty()) return gif.failure;
    if (!gif.signature) return "not a GIF file";
    if (gif.images.empty()) return "the file holds no image";
    if (gif.canvasWidth <= 0 || gif.canvasHeight <= 0)
        return "the picture is " + std::to_string(gif.canvasWidth) + "x" + std::to_string(gif.canvasHeight) +
               " pixels";
    return "the picture is too large";
}

void gifColours(const CGif& gif, GifColours& colours) {
    const framecontrolblock* record = gif.frameControls.front();
    const bool transparent = record->transparent != 0;
    for (int i = 0; i < 256; ++i) {
        const uint8_t* e = gif.palette.entries + i * 4;
        bool match = e[0] == record->transparentBlue && e[1] == record->transparentGreen &&
                     e[2] == record->transparentRed;
        colours.lut[i][0] = e[0];
        colours.lut[i][1] = e[1];
        colours.lut[i][2] = e[2];
        colours.lut[i][3] = transparent ? (match ? 0 : 255) : 0;
    }
    const bool blackMatches =
        record->transparentBlue == 0 && record->transparentGreen == 0 && record->transparentRed == 0;
    memset(colours.outside, 0, 4);
    colours.outside[3] = transparent ? (blackMatches ? 0 : 255) : 0;
}

void CPicture::loadFromGIF(const std::string& path) {
    close();
    try {
        std::unique_ptr<CGif> gif(new CGif(path));
        if (!gif->hasPicture()) {
            loadFailure = gifFailure(*gif);
            return;
        }
        create(gif->canvasWidth, gif->canvasHeight);
        fillFromGif(*this, *gif);
        loadWarning = gif->warning;
    } catch (const std::bad_alloc&) {
        close();
        loadFailure = "out of memory";
    }
}
