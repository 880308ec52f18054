// BMP files: uncompressed 24- and 32-bit reading and writing, RLE8 reading.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "picture/BmpCodec.h"
#include "tools/modTools.h"

namespace {

constexpr uint32_t kHeadersSize = 54;  // 14-byte file header + 40-byte information header
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

struct BmpHeader {
    uint32_t dataOffset = 0;
    int32_t width = 0;
    int32_t rows = 0;      // |height|
    bool topDown = false;  // a negative height stores the top row first
    uint16_t bitsPerPixel = 0;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
};

// Reads and checks the two headers; false for anything this reader does not take.
bool readHeader(BmpReader& in, BmpHeader& h) {
    uint8_t b[kHeadersSize];
    if (!in.read(b, sizeof b)) return false;
    if (b[0] != 'B' || b[1] != 'M' || u32At(b + 14) != kInfoHeaderSize) return false;
    h.dataOffset = u32At(b + 10);
    h.width = static_cast<int32_t>(u32At(b + 18));
    int32_t height = static_cast<int32_t>(u32At(b + 22));
    h.bitsPerPixel = u16At(b + 28);
    h.compression = u32At(b + 30);
    h.coloursUsed = u32At(b + 46);
    // No pixel data can start inside the headers; a picture needs at least one column and row
    // (and the most negative height has no positive counterpart).
    if (h.dataOffset < kHeadersSize || h.width <= 0 || height == 0 || height == INT32_MIN) return false;
    h.topDown = height < 0;
    h.rows = h.topDown ? -height : height;
    return true;
}

// Picture row of the n-th row stored in the file.
int pictureRow(const BmpHeader& h, int n) {
    return h.topDown ? n : h.rows - 1 - n;
}

// 24 and 32 bits: rows padded to 4 bytes. Rows the file does not hold stay zero.
void readUncompressed(BmpReader& in, const BmpHeader& h, CPicture& pic) {
    const size_t bytesPerPixel = h.bitsPerPixel / 8;
    const size_t rowSize = (size_t(h.width) * bytesPerPixel + 3) / 4 * 4;
    pic.create(h.width, h.rows);
    if (!in.skipTo(h.dataOffset)) return;
    std::vector<uint8_t> row(rowSize);
    for (int n = 0; n < h.rows; ++n) {
        size_t got = 0;
        bool whole = in.read(row.data(), rowSize, &got);
        // Only pixels whose bytes all came are stored: a pixel cut by the end of the file stays zero.
        const size_t pixelsRead = std::min<size_t>(size_t(h.width), got / bytesPerPixel);
        uint8_t* out = pic.pixelAt(0, pictureRow(h, n));
        if (bytesPerPixel == 4) {
            memcpy(out, row.data(), pixelsRead * 4);
        } else {
            for (size_t x = 0; x < pixelsRead; ++x) memcpy(out + x * 4, &row[x * 3], 3);
        }
        if (!whole) return;
    }
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

// Run-length 8-bit data. The write position is a pixel index into the buffer, so a run that
// passes the end of a row goes on in the next pixel of the buffer; pixels outside are dropped.
class Rle8Writer {
  public:
    Rle8Writer(CPicture& pic, const uint8_t (*palette)[4], bool topDown)
        : pic(pic), palette(palette), step(topDown ? 1 : -1), row(topDown ? 0 : pic.height - 1) {}

    void put(uint8_t index) {
        int64_t p = int64_t(row) * pic.width + column;
        if (rowInside() && p >= 0 && p < int64_t(pic.width) * pic.height)
            memcpy(pic.pixels + p * 4, palette[index], 4);
        ++column;
    }
    void run(int count, uint8_t index) {
        for (int i = 0; i < count; ++i) put(index);
    }
    void endOfLine() {
        row += step;
        column = 0;
    }
    // Right and up in the file's order of rows; the column stops at the end of the row.
    void delta(int right, int up) {
        column = std::min<int64_t>(column + right, std::max<int64_t>(column, pic.width));
        row += step * up;
    }
    // Once the rows run past the last one the file can reach, nothing more can be written.
    bool finished() const { return step < 0 ? row < 0 : row >= pic.height; }

  private:
    bool rowInside() const { return row >= 0 && row < pic.height; }

    CPicture& pic;
    const uint8_t (*palette)[4];
    int step;
    int64_t row;
    int64_t column = 0;
};

// Escape after a zero count byte: 0 end of line, 1 end of bitmap, 2 delta, 3..255 literal run.
// False when decoding stops.
bool rle8Escape(BmpReader& in, Rle8Writer& out, uint8_t code) {
    if (code == 0) {
        out.endOfLine();
        return true;
    }
    if (code == 1) return false;
    if (code == 2) {
        uint8_t right, up;
        if (!in.byte(right) || !in.byte(up)) return false;
        out.delta(right, up);
        return true;
    }
    for (int i = 0; i < code; ++i) {
        uint8_t index;
        if (!in.byte(index)) return false;
        out.put(index);
    }
    uint8_t pad;
    return code % 2 == 0 || in.byte(pad);
}

// The palette has as many entries as the header's colours-used field (256 when 0) and the
// compressed data follows it directly. Indices beyond the palette read black.
void readRle8(BmpReader& in, const BmpHeader& h, CPicture& pic) {
    uint32_t entries = h.coloursUsed == 0 ? 256 : h.coloursUsed;
    if (entries > 256 || kHeadersSize + 4 * entries > h.dataOffset) return;
    uint8_t palette[256][4] = {};
    if (!in.read(&palette[0][0], 4 * entries)) return;
    pic.create(h.width, h.rows);
    Rle8Writer out(pic, palette, h.topDown);
    uint8_t count, value;
    while (!out.finished() && in.byte(count) && in.byte(value)) {
        if (count != 0)
            out.run(count, value);
        else if (!rle8Escape(in, out, value))
            break;
    }
}

// Whether `bytes` of pixel data can describe the declared picture. Uncompressed rows have an exact
// size; a file cut short still reads (the rest stays zero) as long as it holds a share of the rows
// a deflate stream of its size could (1 in 1032). Run-length data needs two bytes per run of at
// most 255 pixels, and skips at most 255 rows per escape, so the rows are bounded by the escapes
// the data can hold.
bool dataCanHold(const BmpHeader& h, uint64_t bytes) {
    if (h.compression == 0) {
        const uint64_t rowSize = (uint64_t(h.width) * (h.bitsPerPixel / 8) + 3) / 4 * 4;
        return rowSize * uint64_t(h.rows) <= 1032 * bytes;
    }
    return uint64_t(h.rows) <= 255 * (bytes / 2 + 1);
}

// Rows whose bytes all came from an uncompressed file.
int rowsHeld(const BmpHeader& h, uint64_t bytes) {
    const uint64_t rowSize = (uint64_t(h.width) * (h.bitsPerPixel / 8) + 3) / 4 * 4;
    return int(std::min<uint64_t>(uint64_t(h.rows), bytes / rowSize));
}

// `size` is the stream's length from the start of the file, or 0 when it is not known.
void decode(BmpReader& in, CPicture& pic, uint64_t size) {
    BmpHeader h;
    if (!readHeader(in, h)) {
        pic.loadFailure = "not a BMP file this reader takes";
        return;
    }
    const bool uncompressed = (h.bitsPerPixel == 24 || h.bitsPerPixel == 32) && h.compression == 0;
    const bool rle8 = h.bitsPerPixel == 8 && h.compression == 1;
    if (!uncompressed && !rle8) {
        pic.loadFailure = h.compression != 0 ? "unsupported BMP compression " + std::to_string(h.compression)
                                             : "unsupported BMP bit depth " + std::to_string(h.bitsPerPixel);
        return;
    }
    const uint64_t data = size > h.dataOffset ? size - h.dataOffset : 0;
    if (size != 0 && !dataCanHold(h, data)) {
        pic.loadFailure = "the picture is larger than its data can hold";
        return;
    }
    if (uncompressed) {
        readUncompressed(in, h, pic);
        if (h.bitsPerPixel == 32) pic.transparencyMode = modeFromAlpha(pic);
        const int held = rowsHeld(h, data);
        if (size != 0 && held < h.rows && !pic.isEmpty())
            pic.loadWarning = "the file ends early: " + std::to_string(held) + " of " + std::to_string(h.rows) +
                              " rows decoded";
    } else {
        readRle8(in, h, pic);
    }
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
    BmpReader in(stream);
    // The length of a file bounds what it can describe; a stream that cannot tell is not bounded.
    uint64_t size = 0;
    const long start = ftell(stream);
    if (start == 0 && fseek(stream, 0, SEEK_END) == 0) {
        const long end = ftell(stream);
        if (end > 0) size = uint64_t(end);
        if (fseek(stream, 0, SEEK_SET) != 0) return;
    }
    try {
        decode(in, picture, size);
    } catch (const std::bad_alloc&) {
        // A size the memory cannot hold is a file we cannot load.
        picture.close();
    }
}

void CPicture::loadFromBMP(const std::string& path) {
    close();
    FILE* f = fileOpen(path, "rb");
    if (!f) return;
    loadBmpFromStream(*this, f);
    fclose(f);
}

// False when the file cannot be created or written completely (a full disk must not pass for a
// saved picture).
bool CPicture::saveToBMP(const std::string& path) {
    FILE* f = fileOpen(path, "w+b");
    if (!f) return false;
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
