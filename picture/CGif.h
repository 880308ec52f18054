// SPDX-License-Identifier: MIT
// GIF decoder: parses a GIF87a/GIF89a file and keeps the records of every image and the last one's indices.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

// One graphic control record (extension label 0xF9).
struct framecontrolblock {
    uint8_t disposal = 0;  // bits 2..4 of the packed byte
    uint16_t delay = 0;    // hundredths of a second
    uint8_t userInput = 0;
    uint8_t transparent = 0;
    uint8_t transparentIndex = 0;
    // Palette colour of transparentIndex (after the black rewrite), filled when its image is read.
    uint8_t transparentRed = 0;
    uint8_t transparentGreen = 0;
    uint8_t transparentBlue = 0;
};

// One image descriptor (after ',') and its local colour table.
struct imagedescriptorblock {
    uint16_t left = 0, top = 0, width = 0, height = 0;
    uint8_t hasLocalTable = 0, interlaced = 0, sorted = 0;
    int localTableBytes = 0;        // 3 x entries once the table is read, else 0
    uint8_t* localTable = nullptr;  // red, green, blue triples as read; null without one

    imagedescriptorblock() = default;
    ~imagedescriptorblock() { delete[] localTable; }
    imagedescriptorblock(const imagedescriptorblock&) = delete;
    imagedescriptorblock& operator=(const imagedescriptorblock&) = delete;
};

// The palette an image is shown with: always 256 entries of blue, green, red, 0 (the layout of a
// DIB palette); entries beyond the file's table are black, so every 8-bit index names a colour.
struct GifPalette {
    uint8_t entries[256 * 4] = {};
    int count = 0;  // entries that came from the file
};

// Buffered, bounds-checked reads from the open file; every byte of the file passes through here.
class GifReader {
  public:
    explicit GifReader(FILE* file) : fp(file) {}
    bool readByte(uint8_t& value);
    bool readBytes(uint8_t* out, size_t count);
    bool skipBytes(size_t count);

  private:
    bool refill();
    FILE* fp;
    uint8_t buffer[16384];
    size_t pos = 0, len = 0;
};

// (1 << k) - 1 for k = 1..12: keeps the low codeSize bits of the bit buffer.
inline constexpr uint16_t MaskFromRight[12] = {0x1,  0x3,  0x7,   0xF,   0x1F,  0x3F,
                                               0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

// Delivers the variable-width LZW codes of one image from its data sub-blocks.
class GifCodeStripper {
  public:
    // minCodeSize must be 0..11, so that codes never exceed 12 bits.
    GifCodeStripper(GifReader& reader, int minCodeSize);
    // The next code, least significant bit first; endCode once the data sub-blocks are exhausted.
    inline unsigned short GetNextCode();
    // Skips what is left of the image's data up to and including the block terminator.
    void SkipRest();

    int codeSize;
    unsigned short clearCode, endCode;

  private:
    bool readBlock();
    GifReader& fp;
    uint8_t block[255];
    int bytePos = 0, bytesLeft = 0;  // position in block and unread bytes after it
    uint32_t bitBuffer = 0;          // unread bits, lowest first
    int bitsLeft = 0;
    bool ended = false;  // terminator or failed read seen
};

class CGif {
  public:
    explicit CGif(const std::string& path);
    ~CGif();
    CGif(const CGif&) = delete;
    CGif& operator=(const CGif&) = delete;

    int ReadFile(const std::string& path);
    framecontrolblock* GetFrameControlBlock(std::deque<framecontrolblock*>& pending);
    void SetFramePalette(GifPalette* info, imagedescriptorblock* image, int count);
    // Position of the next pixel: pixel number `row` of a plain image, or the next step of the
    // interlace walk (column, passRow and pass start at 0, 0, 1). Returns false past the last row.
    static bool CalcRowColumn(imagedescriptorblock* image, int& column, int& passRow, int& pass, int row,
                              unsigned long& outRow, unsigned long& outColumn);

    // Images of this many pixels or more are refused and make the load fail. The fuzzer lowers it so
    // that hostile sizes stay within its memory limit.
    static void setPixelLimit(int64_t limit) { pixelLimit = limit; }
    static int64_t getPixelLimit() { return pixelLimit; }
    // Decodes with the plain code-by-code LZW decoder (the reference the tests hold the fast one
    // to) instead of the fast one, which reads the image's data whole and copies each code's
    // string from where it was first written.
    static void setPlainLzw(bool plain) { plainLzw = plain; }

    // True when a picture can be built: at least one image, a canvas of non-zero size, no refusal.
    bool hasPicture() const;

    std::deque<imagedescriptorblock*> images;
    std::deque<framecontrolblock*> frameControls;    // the record chosen for each image
    std::deque<framecontrolblock*> pendingControls;  // records read since the last image
    // The global table, 256 entries of red, green, blue, 0; black-transparent rewrites of images
    // that use it stay in it. Entries at or beyond numColors are black unless rewritten.
    uint8_t colorTable[256 * 4] = {};
    int numColors = 0;
    uint8_t screen[7] = {};
    uint8_t hasGlobalTable = 0, colorResolution = 0, sortFlag = 0;
    int globalTableSize = 0;
    int canvasWidth = 0, canvasHeight = 0;
    uint16_t lastDelay = 0;
    // Colour indices of the last image: height rows of width bytes, top row first (zero where the
    // data did not reach). The palette is the one that image was read with.
    uint8_t* indexBuffer = nullptr;
    GifPalette palette;
    int64_t pixelCount = 0;
    bool refused = false;  // an image too large to hold, or memory ran out
    int64_t fileBytes = 0;
    bool signature = false;  // the file starts with "GIF"
    // Why no picture can be built, and the first damage noticed in images that were read.
    std::string failure;
    std::string warning;

    // The LZW code table as a prefix tree: code c's string is the string of codePrefix[c] followed
    // by codeSuffix[c]; codeFirst is its first element and codeLengths its length. Entries are
    // never added past 4096, since 12-bit codes cannot name them.
    void InitializeColorTable(int count);  // appends count one-element codes 0..count-1
    void ResetCodeTable();
    uint16_t codePrefix[4096] = {};
    uint8_t codeSuffix[4096] = {};
    uint8_t codeFirst[4096] = {};
    uint16_t codeLengths[4096] = {};
    int codeCount = 0;
    int minCodeSize = 0;

  private:
    bool readScreen(GifReader& in);
    bool readExtension(GifReader& in);
    bool readImage(GifReader& in);
    void decodeImage(GifReader& in, imagedescriptorblock* image);
    int64_t decodeLzw(GifCodeStripper& codes, uint8_t* out, int64_t total);
    int64_t decodeLzwFast(GifReader& in, uint8_t* out, int64_t total);
    void startCodeTable();
    int64_t emitString(unsigned code, uint8_t* out, int64_t pos, int64_t total) const;

    static std::atomic<int64_t> pixelLimit;
    static std::atomic<bool> plainLzw;
};

inline unsigned short GifCodeStripper::GetNextCode() {
    while (bitsLeft < codeSize) {
        if (bytesLeft == 0 && !readBlock()) return endCode;
        bitBuffer |= static_cast<uint32_t>(block[bytePos++]) << bitsLeft;
        --bytesLeft;
        bitsLeft += 8;
    }
    unsigned short code = static_cast<unsigned short>(bitBuffer & MaskFromRight[codeSize - 1]);
    bitBuffer >>= codeSize;
    bitsLeft -= codeSize;
    return code;
}

// The colours of the picture a GIF gives (once hasPicture()): the last image's indices through
// `lut` at the top left, `outside` everywhere else; byte 3 is the first image's transparency (0
// for a picture without one).
struct GifColours {
    uint8_t lut[256][4];
    uint8_t outside[4];
};
void gifColours(const CGif& gif, GifColours& colours);
// Why a file gave no picture.
std::string gifFailure(const CGif& gif);
