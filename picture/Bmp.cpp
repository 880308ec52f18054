// SPDX-License-Identifier: MIT
// BMP files: reading every Windows and OS/2 pixel layout (1 to 32 bits, palettes, bit fields, RLE4
// and RLE8), writing uncompressed 24- and 32-bit files.
#include <errno.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "picture/BmpCodec.h"
#include "tools/modTools.h"

namespace {

// What the writer writes: a 14-byte file header and a 40-byte information header.
constexpr uint32_t kHeadersSize = 54;
constexpr uint32_t kInfoHeaderSize = 40;

// Every byte of a file passes through here: reads never go past what the stream holds, and a
// short read is reported rather than leaving garbage behind.
class BmpReader {
  public:
    explicit BmpReader(FILE* stream) : stream(stream) {}

    // Reads up to n bytes; the bytes that the stream did not have are set to zero. True when all came.
    bool read(uint8_t* out, size_t n, size_t* got = nullptr) {
        size_t count = fread(out, 1, n, stream);
        if (count < n) memset(out + count, 0, n - count);
        position += count;
        if (got) *got = count;
        return count == n;
    }

    // One byte, or false at the end of the data.
    bool byte(uint8_t& out) {
        int c = getc(stream);
        if (c == EOF) return false;
        out = static_cast<uint8_t>(c);
        ++position;
        return true;
    }

    // Moves forward to an absolute offset (never back); false when the data ends before it.
    bool skipTo(uint64_t offset) {
        uint8_t scratch[4096];
        while (position < offset) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(offset - position, sizeof scratch));
            if (!read(scratch, n)) return false;
        }
        return true;
    }

  private:
    FILE* stream;
    uint64_t position = 0;
};

uint16_t u16At(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t u32At(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

const char* const kNotBmp = "not a BMP file this reader takes";

struct BmpHeader {
    uint32_t dataOffset = 0;
    uint32_t infoSize = 0;
    int32_t width = 0;
    int32_t rows = 0;      // |height|
    bool topDown = false;  // a negative height stores the top row first
    uint16_t bitsPerPixel = 0;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
    bool hasMasks = false;      // bit fields say where the channels lie
    uint32_t masks[4] = {};     // red, green, blue, alpha
    uint32_t paletteStart = 0;  // the first byte after the headers and any masks
    uint32_t paletteEntries = 0;  // the colours the file's palette holds
};

// OS/2 1.x headers are 12 bytes (16-bit sizes), OS/2 2.x ones 16 to 64; 40, 52 and 56 are read as
// Windows headers, which a 40-byte OS/2 header cannot be told apart from.
bool knownHeaderSize(uint32_t size) {
    return size == 12 || (size >= 16 && size <= 64) || size == 108 || size == 124;
}
bool isOs2Header(uint32_t size) {
    return size == 12 || (size >= 16 && size <= 64 && size != 40 && size != 52 && size != 56);
}

bool knownDepth(uint16_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Why this reader cannot decode the compression and depth, or "" when it can.
std::string unsupportedCause(const BmpHeader& h) {
    const std::string compression = "unsupported BMP compression " + std::to_string(h.compression);
    // OS/2 has no bit fields: its compressions 3 and 4 are Huffman 1D and RLE24.
    if (isOs2Header(h.infoSize) && h.compression > kRle4)
        return compression + (h.compression == 3 ? " (OS/2 Huffman 1D)" : h.compression == 4 ? " (OS/2 RLE24)" : "");
    const uint16_t bits = h.bitsPerPixel;
    bool fits;
    switch (h.compression) {
        case kRgb:
            return knownDepth(bits) ? "" : "unsupported BMP bit depth " + std::to_string(bits);
        case kRle8:
            fits = bits == 8;
            break;
        case kRle4:
            fits = bits == 4;
            break;
        case kBitFields:
        case kAlphaBitFields:
            fits = bits == 16 || bits == 32;
            break;
        default:
            return compression;
    }
    return fits ? "" : compression + " at " + std::to_string(bits) + " bits per pixel";
}

// Bit fields come from the header when it holds them (52 bytes and more: red, green, blue; 56 and
// more: alpha too), else from the 12 or 16 bytes after a 40-byte header.
std::string readMasks(BmpReader& in, const uint8_t* headers, BmpHeader& h) {
    h.hasMasks = true;
    if (h.infoSize >= 52) {
        for (int i = 0; i < (h.infoSize >= 56 ? 4 : 3); ++i) h.masks[i] = u32At(headers + 54 + 4 * i);
        return "";
    }
    const int count = h.compression == kAlphaBitFields ? 4 : 3;
    uint8_t m[16];
    if (!in.read(m, 4 * size_t(count))) return "the file ends inside its BMP colour masks";
    for (int i = 0; i < count; ++i) h.masks[i] = u32At(m + 4 * i);
    h.paletteStart += 4 * uint32_t(count);
    return "";
}

// Each mask is one run of set bits (or none) inside the pixel, and no bit belongs to two channels.
bool masksValid(const BmpHeader& h) {
    uint32_t seen = 0;
    for (uint32_t m : h.masks) {
        const uint32_t lowest = m & (~m + 1);
        if ((h.bitsPerPixel == 16 && m > 0xFFFF) || (m & seen) || ((m + lowest) & m)) return false;
        seen |= m;
    }
    return true;
}

// Reads and checks the headers and masks; "" when the file is one this reader decodes, else why not.
std::string readHeader(BmpReader& in, BmpHeader& h) {
    uint8_t b[14 + 124] = {};
    if (!in.read(b, 18) || b[0] != 'B' || b[1] != 'M') return kNotBmp;
    h.infoSize = u32At(b + 14);
    if (!knownHeaderSize(h.infoSize)) return kNotBmp;
    if (!in.read(b + 18, h.infoSize - 4)) return "the file ends inside its BMP header";
    h.dataOffset = u32At(b + 10);
    h.paletteStart = 14 + h.infoSize;
    int64_t width, height;
    if (h.infoSize == 12) {
        width = u16At(b + 18);
        height = u16At(b + 20);
        h.bitsPerPixel = u16At(b + 24);
    } else {
        // Fields past the end of a short OS/2 header read as zero.
        width = int32_t(u32At(b + 18));
        height = int32_t(u32At(b + 22));
        h.bitsPerPixel = u16At(b + 28);
        h.compression = u32At(b + 30);
        h.coloursUsed = u32At(b + 46);
    }
    // A picture needs at least one column and row (and the most negative height has no positive
    // counterpart).
    if (width <= 0 || height == 0 || height == INT32_MIN)
        return "invalid BMP size " + std::to_string(width) + " x " + std::to_string(height);
    h.width = int32_t(width);
    h.topDown = height < 0;
    h.rows = int32_t(h.topDown ? -height : height);
    std::string cause = unsupportedCause(h);
    if (cause.empty() && (h.compression == kBitFields || h.compression == kAlphaBitFields))
        cause = readMasks(in, b, h);
    if (!cause.empty()) return cause;
    if (h.hasMasks && !masksValid(h)) return "invalid BMP colour masks";
    // No pixel data can start inside the headers.
    if (h.dataOffset < h.paletteStart) return "the BMP pixel data starts inside its header";
    return "";
}

// Picture row of the n-th row stored in the file.
int pictureRow(const BmpHeader& h, int n) {
    return h.topDown ? n : h.rows - 1 - n;
}

// Stored bytes of one uncompressed row: whole pixels' bits, padded to 4 bytes.
uint64_t rowBytes(const BmpHeader& h) {
    return (uint64_t(h.width) * h.bitsPerPixel + 31) / 32 * 4;
}

using Palette = uint8_t[256][4];

// The palette has as many entries as the colours-used field says (2^bits when 0), of 4 bytes (blue,
// green, red, reserved), and lies between the headers and the pixel data. An OS/2 1.x palette has
// 3-byte entries and may hold fewer than 2^bits of them: as many as fit before the pixel data.
// Entries the file does not have stay black.
std::string readPalette(BmpReader& in, BmpHeader& h, Palette& palette) {
    const bool core = h.infoSize == 12;
    const uint32_t entrySize = core ? 3 : 4;
    uint64_t entries = h.coloursUsed == 0 ? uint64_t(1) << h.bitsPerPixel : h.coloursUsed;
    if (entries > 256) return "the BMP palette has " + std::to_string(entries) + " colours, more than 256";
    const uint64_t room = (h.dataOffset - h.paletteStart) / entrySize;
    if (core)
        entries = std::min(entries, room);
    else if (entries > room)
        return "the BMP palette runs into its pixel data";
    uint8_t raw[256 * 4];
    if (!in.read(raw, size_t(entries) * entrySize)) return "the file ends inside its BMP palette";
    memset(palette, 0, sizeof palette);
    for (size_t i = 0; i < entries; ++i) memcpy(palette[i], raw + i * entrySize, entrySize);
    h.paletteEntries = uint32_t(entries);
    return "";
}

// One channel of a bit-field pixel, widened to 8 bits by repeating its bits; a field wider than 8
// bits keeps its top 8.
class Channel {
  public:
    explicit Channel(uint32_t mask = 0) : mask(mask) {
        if (mask == 0) return;
        const int low = __builtin_ctz(mask), bits = __builtin_popcount(mask);
        const int kept = std::min(bits, 8);
        shift = low + bits - kept;
        for (uint32_t v = 0; v < (1u << kept); ++v) {
            uint32_t wide = 0;
            for (int s = 8 - kept; s > -kept; s -= kept) wide |= s >= 0 ? v << s : v >> -s;
            widened[v] = uint8_t(wide);
        }
    }
    uint8_t of(uint32_t pixel) const { return widened[(pixel & mask) >> shift]; }

  private:
    uint32_t mask;
    int shift = 0;
    uint8_t widened[256] = {};
};

// How the stored pixels of one row become picture pixels.
class RowConverter {
  public:
    RowConverter(const BmpHeader& h, const Palette& palette) : h(h), palette(palette) {
        if (h.bitsPerPixel == 16 || h.hasMasks)
            for (int i = 0; i < 4; ++i) channels[i] = Channel(h.masks[i]);
    }

    void convert(const uint8_t* row, size_t count, uint8_t* out) const {
        const int bits = h.bitsPerPixel;
        if (bits <= 8) {
            const unsigned perByte = 8 / bits, index = (1u << bits) - 1;
            unsigned highest = highestIndex;
            for (size_t x = 0; x < count; ++x) {
                const unsigned shift = 8 - bits * (x % perByte + 1), i = (row[x / perByte] >> shift) & index;
                highest = std::max(highest, i);
                memcpy(out + x * 4, palette[i], 4);
            }
            highestIndex = highest;
        } else if (bits == 24) {
            for (size_t x = 0; x < count; ++x) memcpy(out + x * 4, row + x * 3, 3);
        } else if (bits == 32 && !h.hasMasks) {
            memcpy(out, row, count * 4);
        } else if (bits == 32) {
            for (size_t x = 0; x < count; ++x) put(u32At(row + x * 4), out + x * 4);
        } else {
            for (size_t x = 0; x < count; ++x) put(u16At(row + x * 2), out + x * 4);
        }
    }

    // The highest palette index the converted pixels used.
    mutable unsigned highestIndex = 0;

  private:
    void put(uint32_t pixel, uint8_t* out) const {
        out[0] = channels[2].of(pixel);
        out[1] = channels[1].of(pixel);
        out[2] = channels[0].of(pixel);
        out[3] = channels[3].of(pixel);
    }

    const BmpHeader& h;
    const Palette& palette;
    Channel channels[4];
};

// Rows padded to 4 bytes. Rows the file does not hold stay zero.
// Returns the highest palette index the pixels used.
unsigned readUncompressed(BmpReader& in, const BmpHeader& h, const Palette& palette, CPicture& pic) {
    const size_t rowSize = size_t(rowBytes(h));
    pic.create(h.width, h.rows);
    if (!in.skipTo(h.dataOffset)) return 0;
    const RowConverter converter(h, palette);
    std::vector<uint8_t> row(rowSize);
    for (int n = 0; n < h.rows; ++n) {
        size_t got = 0;
        bool whole = in.read(row.data(), rowSize, &got);
        // Only pixels whose bits all came are stored: a pixel cut by the end of the file stays zero.
        const size_t pixelsRead = std::min<uint64_t>(uint64_t(h.width), uint64_t(got) * 8 / h.bitsPerPixel);
        converter.convert(row.data(), pixelsRead, pic.pixelAt(0, pictureRow(h, n)));
        if (!whole) break;
    }
    return converter.highestIndex;
}

// The transparency bytes decide how a 32-bit picture is read: any partial value means alpha, only
// 0 and 255 a mask. All 0 is a file whose writer left the fourth byte unused: opaque.
int modeFromAlpha(const CPicture& pic) {
    bool partial = false, zero = false, full = false;
    size_t count = size_t(pic.width) * size_t(pic.height);
    for (size_t i = 0; i < count; ++i) {
        uint8_t a = pic.pixels[i * 4 + 3];
        partial |= a != 0 && a != 255;
        zero |= a == 0;
        full |= a == 255;
    }
    if (partial) return TRANSPARENCY_ALPHA;
    if (zero && full) return TRANSPARENCY_MASK;
    return TRANSPARENCY_NONE;
}

// Run-length data. The write position is a pixel index into the buffer, so a run that passes the
// end of a row goes on in the next pixel of the buffer; pixels outside are dropped.
class RleWriter {
  public:
    RleWriter(CPicture& pic, const Palette& palette, bool topDown, int pixelBits)
        : pic(pic), palette(palette), pixelBits(pixelBits), step(topDown ? 1 : -1),
          firstRow(topDown ? 0 : pic.height - 1), row(firstRow) {}

    void put(uint8_t index) {
        int64_t p = int64_t(row) * pic.width + column;
        if (rowInside() && p >= 0 && p < int64_t(pic.width) * pic.height)
            memcpy(pic.pixels + p * 4, palette[index], 4);
        // Sound data ends its runs within their row; RLE4's last byte may carry one pixel more.
        outside |= !rowInside() || column >= int64_t(pic.width) + (pixelBits == 4 ? 1 : 0);
        highestIndex = std::max<unsigned>(highestIndex, index);
        ++column;
    }
    void endOfLine() {
        row += step;
        column = 0;
    }
    // Right and up in the file's order of rows; the column stops at the end of the row.
    void delta(int right, int up) {
        outside |= column + right > pic.width;
        column = std::min<int64_t>(column + right, std::max<int64_t>(column, pic.width));
        row += step * up;
    }
    // Once the rows run past the last one the file can reach, nothing more can be written.
    bool finished() const { return step < 0 ? row < 0 : row >= pic.height; }
    // Rows the codes have left behind, and the current one once it is full.
    int rowsDone() const {
        return int(std::min<int64_t>((row - firstRow) * step + (column >= pic.width), pic.height));
    }

    bool outside = false;       // a run or a move went past its row or the picture
    unsigned highestIndex = 0;  // the highest palette index written

  private:
    bool rowInside() const { return row >= 0 && row < pic.height; }

    CPicture& pic;
    const Palette& palette;
    int pixelBits;
    int step;
    int64_t firstRow;
    int64_t row;
    int64_t column = 0;
};

// The pixels of a byte: one 8-bit index, or two 4-bit ones, high nibble first.
void putIndices(RleWriter& out, uint8_t value, int bits, int count) {
    if (bits == 8) {
        out.put(value);
        return;
    }
    out.put(value >> 4);
    if (count > 1) out.put(value & 15);
}

enum class Step { Go, Done, DataEnds };

// Escape after a zero count byte: 0 end of line, 1 end of bitmap, 2 delta, 3..255 literal run
// (padded to 16 bits).
Step rleEscape(BmpReader& in, RleWriter& out, uint8_t code, int bits) {
    if (code == 0) {
        out.endOfLine();
        return Step::Go;
    }
    if (code == 1) return Step::Done;
    if (code == 2) {
        uint8_t right, up;
        if (!in.byte(right) || !in.byte(up)) return Step::DataEnds;
        out.delta(right, up);
        return Step::Go;
    }
    const int pixelsPerByte = 8 / bits, bytes = (code + pixelsPerByte - 1) / pixelsPerByte;
    for (int i = 0; i < bytes; ++i) {
        uint8_t value;
        if (!in.byte(value)) return Step::DataEnds;
        putIndices(out, value, bits, code - i * pixelsPerByte);
    }
    uint8_t pad;
    return bytes % 2 == 0 || in.byte(pad) ? Step::Go : Step::DataEnds;
}

// What pixels that name palette entries the file does not have say about it, or "".
std::string unknownColours(const BmpHeader& h, unsigned highestIndex) {
    if (h.bitsPerPixel > 8 || highestIndex < h.paletteEntries) return "";
    return "the pixels use colour " + std::to_string(highestIndex) + " of a BMP palette of " +
           std::to_string(h.paletteEntries);
}

// RLE8 and RLE4 codes from the data offset on; returns the rows decoded when the data ends before
// the codes finish the picture, else -1. What else was wrong with the codes goes into *wrong.
int readRle(BmpReader& in, const BmpHeader& h, const Palette& palette, CPicture& pic, std::string* wrong) {
    pic.create(h.width, h.rows);
    RleWriter out(pic, palette, h.topDown, h.bitsPerPixel);
    if (!in.skipTo(h.dataOffset)) return 0;
    const int bits = h.bitsPerPixel;
    Step step = Step::Go;
    while (step == Step::Go && !out.finished()) {
        uint8_t count, value;
        if (!in.byte(count) || !in.byte(value)) {
            step = Step::DataEnds;
        } else if (count != 0) {
            for (int i = 0; i < count; i += 8 / bits) putIndices(out, value, bits, count - i);
        } else {
            step = rleEscape(in, out, value, bits);
        }
    }
    if (out.outside) *wrong = "the run-length data runs outside the picture";
    else *wrong = unknownColours(h, out.highestIndex);
    return step == Step::DataEnds ? out.rowsDone() : -1;
}

// Whether `bytes` of pixel data can describe the declared picture. Uncompressed rows have an exact
// size; a file cut short still reads (the rest stays zero) as long as it holds a share of the rows
// a deflate stream of its size could (1 in 1032). Run-length data needs two bytes per run of at
// most 255 pixels, and skips at most 255 rows per escape, so the rows are bounded by the escapes
// the data can hold.
bool dataCanHold(const BmpHeader& h, uint64_t bytes) {
    if (h.compression != kRle8 && h.compression != kRle4) return rowBytes(h) * uint64_t(h.rows) <= 1032 * bytes;
    return uint64_t(h.rows) <= 255 * (bytes / 2 + 1);
}

std::string endsEarly(int held, int rows) {
    return "the file ends early: " + std::to_string(held) + " of " + std::to_string(rows) + " rows decoded";
}

// `size` is the stream's length from the start of the file, or 0 when it is not known.
void decode(BmpReader& in, CPicture& pic, uint64_t size) {
    BmpHeader h;
    std::string cause = readHeader(in, h);
    const uint64_t data = size > h.dataOffset ? size - h.dataOffset : 0;
    if (cause.empty() && size != 0 && !dataCanHold(h, data)) cause = "the picture is larger than its data can hold";
    Palette palette = {};
    if (cause.empty() && h.bitsPerPixel <= 8) cause = readPalette(in, h, palette);
    if (!cause.empty()) {
        pic.loadFailure = cause;
        return;
    }
    if (h.compression == kRle8 || h.compression == kRle4) {
        std::string wrong;
        const int held = readRle(in, h, palette, pic, &wrong);
        pic.loadWarning = held >= 0 && held < h.rows ? endsEarly(held, h.rows) : wrong;
        return;
    }
    if (h.bitsPerPixel == 16 && !h.hasMasks) {
        h.masks[0] = 0x7C00;
        h.masks[1] = 0x03E0;
        h.masks[2] = 0x001F;
    }
    const unsigned highestIndex = readUncompressed(in, h, palette, pic);
    // 32-bit files without bit fields, and bit fields with an alpha mask, carry transparency.
    if ((h.bitsPerPixel == 32 && !h.hasMasks) || h.masks[3] != 0) pic.transparencyMode = modeFromAlpha(pic);
    const uint64_t held = std::min<uint64_t>(uint64_t(h.rows), data / rowBytes(h));
    if (size != 0 && held < uint64_t(h.rows))
        pic.loadWarning = endsEarly(int(held), h.rows);
    else
        pic.loadWarning = unknownColours(h, highestIndex);
}

// ---- Writing ----

void putU16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
    putU16(p, v);
    putU16(p + 2, v >> 16);
}

bool writeHeaders(FILE* f, const CPicture& pic, uint32_t bitsPerPixel, uint64_t rowSize) {
    uint8_t b[kHeadersSize] = {'B', 'M'};
    // The size field holds 32 bits; larger files wrap, as the field cannot say more.
    putU32(b + 2, uint32_t(kHeadersSize + rowSize * uint64_t(pic.height)));
    putU32(b + 10, kHeadersSize);
    putU32(b + 14, kInfoHeaderSize);
    putU32(b + 18, uint32_t(pic.width));
    putU32(b + 22, uint32_t(pic.height));
    putU16(b + 26, 1);
    putU16(b + 28, bitsPerPixel);
    return fwrite(b, 1, sizeof b, f) == sizeof b;
}

bool writeRows(FILE* f, const CPicture& pic, size_t bytesPerPixel, size_t rowSize) {
    std::vector<uint8_t> row(rowSize, 0);
    for (int y = pic.height - 1; y >= 0; --y) {
        const uint8_t* in = pic.pixelAt(0, y);
        if (bytesPerPixel == 4) {
            if (fwrite(in, 1, rowSize, f) != rowSize) return false;
            continue;
        }
        for (size_t x = 0; x < size_t(pic.width); ++x) memcpy(&row[x * 3], in + x * 4, 3);
        if (fwrite(row.data(), 1, rowSize, f) != rowSize) return false;
    }
    return true;
}

}  // namespace

void loadBmpFromStream(CPicture& picture, FILE* stream) {
    picture.close();
    picture.loadFailure.clear();
    picture.loadWarning.clear();
    BmpReader in(stream);
    // The length of a file bounds what it can describe; a stream that cannot tell is not bounded.
    uint64_t size = 0;
    const long start = ftell(stream);
    if (start == 0 && fseek(stream, 0, SEEK_END) == 0) {
        const long end = ftell(stream);
        if (end > 0) size = uint64_t(end);
        if (fseek(stream, 0, SEEK_SET) != 0) {
            picture.loadFailure = "the file cannot be read";
            return;
        }
    }
    try {
        decode(in, picture, size);
    } catch (const std::bad_alloc&) {
        // A size the memory cannot hold is a file we cannot load.
        picture.close();
        picture.loadWarning.clear();
        picture.loadFailure = "out of memory";
    }
}

void CPicture::loadFromBMP(const std::string& path) {
    close();
    FILE* f = fileOpen(path, "rb");
    if (!f) {
        loadFailure = strerror(errno);
        return;
    }
    loadBmpFromStream(*this, f);
    fclose(f);
}

// False when the file cannot be created or written completely (a full disk must not pass for a
// saved picture).
bool CPicture::saveToBMP(const std::string& path) {
    FILE* f = fileOpen(path, "w+b");
    return f && saveToBMP(f);
}

bool CPicture::saveToBMP(FILE* f) {
    const size_t bytesPerPixel = transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    const size_t rowSize = (size_t(width) * bytesPerPixel + 3) / 4 * 4;
    undoPreMultiplication();
    bool ok = false;
    try {
        ok = writeHeaders(f, *this, uint32_t(bytesPerPixel * 8), rowSize) &&
             writeRows(f, *this, bytesPerPixel, rowSize);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    return fclose(f) == 0 && ok;
}
