// SPDX-License-Identifier: MIT
// BMP files: writer layout, round trips, the reader's decisions on odd files, RLE8, and bmpsuite.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "picture/Picture.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v);
    put16(b, at + 2, v >> 16);
}
uint32_t get32(const std::string& s, size_t at) {
    return uint8_t(s[at]) | uint8_t(s[at + 1]) << 8 | uint8_t(s[at + 2]) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}

// The 54 header bytes of a BMP with the given fields.
Bytes header(int32_t width, int32_t height, uint16_t bits, uint32_t compression, uint32_t offset = 54,
             uint32_t coloursUsed = 0, uint32_t infoSize = 40) {
    Bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 10, offset);
    put32(b, 14, infoSize);
    put32(b, 18, uint32_t(width));
    put32(b, 22, uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 30, compression);
    put32(b, 46, coloursUsed);
    return b;
}

// An RLE8 file: header, palette of the given BGRX entries, then the codes.
Bytes rle8File(int32_t width, int32_t height, const std::vector<uint32_t>& palette, const Bytes& codes,
               uint32_t coloursUsed) {
    Bytes b = header(width, height, 8, 1, uint32_t(54 + 4 * palette.size()), coloursUsed);
    for (uint32_t c : palette)
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(c >> (8 * i)));
    b.insert(b.end(), codes.begin(), codes.end());
    return b;
}

struct Loaded {
    TempDir dir;
    CPicture pic;
    explicit Loaded(const Bytes& file) {
        EXPECT_TRUE(writeBytes(dir.file("in.bmp"), file));
        pic.loadFromBMP(dir.file("in.bmp"));
    }
};

uint32_t pixel(const CPicture& p, int x, int y) {
    uint32_t v;
    memcpy(&v, p.pixelAt(x, y), 4);
    return v;  // little-endian: 0xXXRRGGBB
}

void fillNoise(CPicture& p, uint32_t seed) {
    for (size_t i = 0; i < size_t(p.width) * p.height * 4; ++i) {
        seed = seed * 1664525u + 1013904223u;
        p.pixels[i] = uint8_t(seed >> 24);
    }
}

}  // namespace

// ---- Writing ----

TEST(BmpWrite, OpaqueIs24BitWithPaddedRows) {
    TempDir dir;
    CPicture p(5, 3);
    fillNoise(p, 1);
    ASSERT_TRUE(p.saveToBMP(dir.file("a.bmp")));
    std::string f = readBytes(dir.file("a.bmp"));
    ASSERT_EQ(f.size(), 54u + 16 * 3);
    EXPECT_EQ(f.substr(0, 2), "BM");
    EXPECT_EQ(get32(f, 2), 54u + 16 * 3);
    EXPECT_EQ(get32(f, 10), 54u);
    EXPECT_EQ(get32(f, 14), 40u);
    EXPECT_EQ(uint8_t(f[28]), 24);
    // Bottom row first, 15 pixel bytes and one zero byte per row.
    EXPECT_EQ(0, memcmp(&f[54], p.pixelAt(0, 2), 3));
    EXPECT_EQ(0, memcmp(&f[54 + 12], p.pixelAt(4, 2), 3));
    EXPECT_EQ(f[54 + 15], 0);
    EXPECT_EQ(0, memcmp(&f[54 + 32], p.pixelAt(0, 0), 3));
}

TEST(BmpWrite, TransparentModesAre32BitUnpadded) {
    for (int mode : {TRANSPARENCY_MASK, TRANSPARENCY_ALPHA}) {
        TempDir dir;
        CPicture p(3, 2);
        fillNoise(p, 2);
        p.transparencyMode = mode;
        ASSERT_TRUE(p.saveToBMP(dir.file("a.bmp")));
        std::string f = readBytes(dir.file("a.bmp"));
        ASSERT_EQ(f.size(), 54u + 12 * 2) << mode;
        EXPECT_EQ(uint8_t(f[28]), 32);
        EXPECT_EQ(0, memcmp(&f[54], p.pixelAt(0, 1), 12));
    }
}

TEST(BmpWrite, PremultipliedIsUndoneInThePicture) {
    TempDir dir;
    CPicture p(3, 1);
    const uint8_t px[12] = {100, 50, 0,   0,  /* alpha 255 */ 10, 20, 30, 255, /* alpha 0 */
                            60,  0,  127, 127 /* alpha 128 */};
    memcpy(p.pixels, px, 12);
    p.transparencyMode = TRANSPARENCY_PREMULTIPLIED;
    ASSERT_TRUE(p.saveToBMP(dir.file("a.bmp")));
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ALPHA);
    EXPECT_EQ(pixel(p, 0, 0), 0xFF003264u);
    EXPECT_EQ(pixel(p, 1, 0), 0x00FFFFFFu);  // alpha 0: any colour above 0 saturates
    EXPECT_EQ(pixel(p, 2, 0), 0x80FC0077u);  // 60*256/129 = 119, 127*256/129 = 252
}

TEST(BmpWrite, UncreatableOrFullFileIsReported) {
    CPicture p(4, 4);
    EXPECT_FALSE(p.saveToBMP("/nonexistent-folder/a.bmp"));
    // A full disk: the data cannot be written, so the picture was not saved.
    if (FILE* full = fopen("/dev/full", "wb")) {
        fclose(full);
        EXPECT_FALSE(p.saveToBMP("/dev/full"));
    }
}

TEST(BmpRoundTrip, ColoursAndTransparencyBytesComeBack) {
    struct Case {
        int w, h, mode, alphaPattern, wantMode;
    };
    // alphaPattern 0: noise, 1: only 0 and 255, 2: all 255.
    const Case cases[] = {{1, 1, TRANSPARENCY_NONE, 0, TRANSPARENCY_NONE},
                          {7, 5, TRANSPARENCY_NONE, 0, TRANSPARENCY_NONE},
                          {6, 3, TRANSPARENCY_ALPHA, 0, TRANSPARENCY_ALPHA},
                          {5, 4, TRANSPARENCY_MASK, 1, TRANSPARENCY_MASK},
                          {3, 3, TRANSPARENCY_ALPHA, 2, TRANSPARENCY_NONE}};
    for (const Case& c : cases) {
        TempDir dir;
        CPicture p(c.w, c.h);
        fillNoise(p, uint32_t(c.w * 31 + c.h));
        for (int i = 0; i < c.w * c.h; ++i) {
            uint8_t& a = p.pixels[i * 4 + 3];
            if (c.alphaPattern == 1) a = a & 1 ? 255 : 0;
            if (c.alphaPattern == 2) a = 255;
        }
        p.transparencyMode = c.mode;
        ASSERT_TRUE(p.saveToBMP(dir.file("a.bmp")));
        CPicture q;
        q.loadFromBMP(dir.file("a.bmp"));
        ASSERT_EQ(q.width, c.w);
        ASSERT_EQ(q.height, c.h);
        EXPECT_EQ(q.transparencyMode, c.wantMode) << c.w << "x" << c.h;
        for (int i = 0; i < c.w * c.h; ++i) {
            EXPECT_EQ(0, memcmp(q.pixels + i * 4, p.pixels + i * 4, 3)) << i;
            EXPECT_EQ(q.pixels[i * 4 + 3], c.mode == TRANSPARENCY_NONE ? 0 : p.pixels[i * 4 + 3]) << i;
        }
    }
}

// ---- Reading uncompressed files ----

TEST(BmpRead, ThirtyTwoBitModeFollowsTheTransparencyBytes) {
    auto file32 = [](std::initializer_list<uint8_t> alphas) {
        Bytes b = header(int32_t(alphas.size()), 1, 32, 0);
        for (uint8_t a : alphas) b.insert(b.end(), {10, 20, 30, a});
        return b;
    };
    // All 0 is an unused fourth byte, not a fully transparent picture.
    EXPECT_EQ(Loaded(file32({0, 0, 0})).pic.transparencyMode, TRANSPARENCY_NONE);
    EXPECT_EQ(Loaded(file32({255, 255})).pic.transparencyMode, TRANSPARENCY_NONE);
    EXPECT_EQ(Loaded(file32({0, 255, 0})).pic.transparencyMode, TRANSPARENCY_MASK);
    EXPECT_EQ(Loaded(file32({0, 255, 254})).pic.transparencyMode, TRANSPARENCY_ALPHA);
    EXPECT_EQ(Loaded(file32({1})).pic.transparencyMode, TRANSPARENCY_ALPHA);
    Loaded zero(file32({0, 0}));
    EXPECT_EQ(pixel(zero.pic, 1, 0), 0x001E140Au);
}

TEST(BmpRead, DataOffsetIsHonouredAndMayNotPointIntoTheHeaders) {
    Bytes b = header(1, 1, 24, 0, 60);
    b.insert(b.end(), {9, 9, 9, 9, 9, 9, 1, 2, 3, 0});
    Loaded skipped(b);
    ASSERT_EQ(skipped.pic.width, 1);
    EXPECT_EQ(pixel(skipped.pic, 0, 0), 0x00030201u);

    Bytes low = header(1, 1, 24, 0, 50);
    low.insert(low.end(), {1, 2, 3, 0});
    EXPECT_TRUE(Loaded(low).pic.isEmpty());
}

TEST(BmpRead, NegativeHeightIsTopDown) {
    for (uint16_t bits : {24, 32}) {
        Bytes b = header(1, -2, bits, 0);
        const size_t row = 4;  // both 3 + 1 padding and 4
        Bytes rows(2 * row, 0);
        rows[0] = 0x11;    // first stored row
        rows[row] = 0x22;  // second stored row
        if (bits == 32) rows[3] = rows[row + 3] = 255;
        b.insert(b.end(), rows.begin(), rows.end());
        Loaded l(b);
        ASSERT_EQ(l.pic.height, 2);
        EXPECT_EQ(l.pic.pixelAt(0, 0)[0], 0x11) << bits;
        EXPECT_EQ(l.pic.pixelAt(0, 1)[0], 0x22) << bits;
    }
}

TEST(BmpRead, TruncatedDataLeavesTheRowsNotReadZero) {
    Bytes b = header(2, 3, 24, 0);
    // The bottom row whole, then one pixel of the middle row.
    b.insert(b.end(), {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9});
    Loaded l(b);
    ASSERT_EQ(l.pic.width, 2);
    ASSERT_EQ(l.pic.height, 3);
    EXPECT_EQ(pixel(l.pic, 1, 2), 0x00060504u);
    EXPECT_EQ(pixel(l.pic, 0, 1), 0x00090807u);
    EXPECT_EQ(pixel(l.pic, 1, 1), 0u);
    EXPECT_EQ(pixel(l.pic, 0, 0), 0u);
    EXPECT_EQ(pixel(l.pic, 1, 0), 0u);

    // A pixel cut by the end of the file stays zero in both depths.
    for (uint16_t bits : {24, 32}) {
        Bytes c = header(2, 1, bits, 0);
        c.insert(c.end(), {1, 2, 3, 255, 5, 6});
        if (bits == 24) c.resize(c.size() - 1);  // 1, 2, 3 then two bytes of the second pixel
        Loaded cut(c);
        ASSERT_EQ(cut.pic.width, 2);
        EXPECT_EQ(pixel(cut.pic, 1, 0), 0u) << bits;
        EXPECT_EQ(pixel(cut.pic, 0, 0) & 0xFFFFFFu, 0x030201u) << bits;
    }
}

TEST(BmpRead, UnsupportedOrMalformedFilesAreRefused) {
    // Each file is padded with 0x40 bytes to 118, so fields past the 54 header bytes read 0x40.
    const std::string cutHeader = "the file ends inside its BMP header", notBmp = "not a BMP file this reader takes";
    std::map<std::string, std::pair<Bytes, std::string>> files = {
        {"8-bit, data offset past the end", {header(2, 2, 8, 0, 54 + 1024), "the picture is larger than its data can hold"}},
        {"4-bit, palette over the pixel data", {header(2, 2, 4, 0), "the BMP palette runs into its pixel data"}},
        {"64-bit", {header(2, 2, 64, 0), "unsupported BMP bit depth 64"}},
        {"32-bit bit fields sharing bits", {header(2, 2, 32, 3), "invalid BMP colour masks"}},
        {"24-bit with RLE", {header(2, 2, 24, 1), "unsupported BMP compression 1 at 24 bits per pixel"}},
        {"8-bit with RLE4", {header(2, 2, 8, 2), "unsupported BMP compression 2 at 8 bits per pixel"}},
        {"108-byte header cut", {header(2, 2, 24, 0, 122, 0, 108), cutHeader}},
        {"124-byte header cut", {header(2, 2, 24, 0, 138, 0, 124), cutHeader}},
        {"66-byte header", {header(2, 2, 24, 0, 80, 0, 66), notBmp}},
        {"OS/2 Huffman", {header(2, 2, 1, 3, 118, 0, 64), "unsupported BMP compression 3 (OS/2 Huffman 1D)"}},
        {"zero width", {header(0, 2, 24, 0), "invalid BMP size 0 x 2"}},
        {"negative width", {header(-2, 2, 24, 0), "invalid BMP size -2 x 2"}},
        {"zero height", {header(2, 0, 24, 0), "invalid BMP size 2 x 0"}},
        {"most negative height", {header(2, INT32_MIN, 24, 0), "invalid BMP size 2 x -2147483648"}},
        {"short header", {header(2, 2, 24, 0), cutHeader}},
        {"empty file", {Bytes(), notBmp}},
    };
    Bytes badSignature = header(1, 1, 24, 0);
    badSignature[1] = 'A';
    files["signature BA"] = {badSignature, notBmp};
    for (auto& [name, file] : files) {
        Bytes& bytes = file.first;
        bytes.resize(std::max<size_t>(bytes.size(), 54 + 64), 0x40);
        if (name == "short header" || name == "empty file") bytes.resize(name == "empty file" ? 0 : 40);
        Loaded l(bytes);
        EXPECT_TRUE(l.pic.isEmpty()) << name;
        EXPECT_EQ(l.pic.loadFailure, file.second) << name;
    }
    CPicture p(3, 3);
    p.loadFromBMP("/nonexistent-folder/a.bmp");
    EXPECT_TRUE(p.isEmpty());
}

TEST(BmpRead, HugeDimensionsGiveAnEmptyPicture) {
    // 2^31 pixels or more cannot be a picture; the allocation failure is a failed load, not a throw.
    Bytes b = header(65536, 32768, 24, 0);
    b.resize(200, 0);
    EXPECT_TRUE(Loaded(b).pic.isEmpty());
    Bytes wide = header(INT32_MAX, 2, 32, 0);
    wide.resize(200, 0);
    EXPECT_TRUE(Loaded(wide).pic.isEmpty());
}

// The data must be able to hold the picture: a 54-byte file declaring 30000x30000 is refused before
// any pixel is allocated, while a file holding 1/1032 of its rows decodes and says it was cut.
TEST(BmpRead, DataThatCannotHoldThePictureIsRefusedACutFileIsWarned) {
    Loaded empty(header(30000, 30000, 24, 0));
    EXPECT_TRUE(empty.pic.isEmpty());
    EXPECT_EQ(empty.pic.loadFailure, "the picture is larger than its data can hold");
    // 8 bytes of data hold 1032 * 8 bytes of 4-byte rows at most.
    for (int rows : {2064, 2065}) {
        Bytes b = header(1, rows, 24, 0);
        b.resize(54 + 8, 7);
        Loaded l(b);
        EXPECT_EQ(l.pic.isEmpty(), rows > 2064) << rows;
        if (rows == 2064) {
            EXPECT_EQ(l.pic.loadWarning, "the file ends early: 2 of 2064 rows decoded");
        }
    }
    Loaded rle(rle8File(4, 30000, {0}, {0, 1}, 1));
    EXPECT_TRUE(rle.pic.isEmpty());
    EXPECT_TRUE(Loaded(rle8File(4, 510, {0}, {0, 1}, 1)).pic.loadFailure.empty());
    Loaded rle16(header(4, 4, 16, 3));
    EXPECT_EQ(rle16.pic.loadFailure, "the file ends inside its BMP colour masks");
    Bytes jpeg = header(4, 4, 24, 4);
    jpeg.resize(200, 0);
    EXPECT_EQ(Loaded(jpeg).pic.loadFailure, "unsupported BMP compression 4");
}

// ---- Palettes and bit fields ----

// A file with the given masks after a 40-byte header (three, or four for compression 6), then rows.
Bytes bitFieldFile(int32_t width, int32_t height, uint16_t bits, const std::vector<uint32_t>& masks,
                   const Bytes& rows) {
    Bytes b = header(width, height, bits, masks.size() == 4 ? 6 : 3, uint32_t(54 + 4 * masks.size()));
    for (uint32_t m : masks)
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(m >> (8 * i)));
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

TEST(BmpRead, BitFieldsAreWidenedByRepeatingTheirBits) {
    // 16 bits: red 1 bit, green 3, blue 6 (bits 4 to 9), the rest unused.
    Loaded narrow(bitFieldFile(2, 1, 16, {0x8000, 0x7000, 0x03F0}, {0xD0, 0xFE, 0x50, 0x12}));
    ASSERT_EQ(narrow.pic.width, 2);
    EXPECT_EQ(pixel(narrow.pic, 0, 0), 0x00FFFFB6u);  // 0xFED0: 1 -> FF, 111 -> FF, 101101 -> B6
    EXPECT_EQ(pixel(narrow.pic, 1, 0), 0x00002496u);  // 0x1250: 0 -> 0, 001 -> 24, 100101 -> 96
    // 32 bits with fields wider than 8 bits keep their top 8, and an alpha field follows the
    // 32-bit rule; the rows are stored top-down.
    Bytes rows;
    for (uint32_t v : {0x3FF003FFu, 0xC0000000u | 0x155u << 10})
        for (int i = 0; i < 4; ++i) rows.push_back(uint8_t(v >> (8 * i)));
    Loaded wide(bitFieldFile(1, -2, 32, {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}, rows));
    ASSERT_EQ(wide.pic.height, 2);
    EXPECT_EQ(pixel(wide.pic, 0, 0), 0x00FF00FFu);  // top row first: red and blue full, alpha 0
    EXPECT_EQ(pixel(wide.pic, 0, 1), 0xFF005500u);  // green 0101010101 -> 0x55, alpha 11 -> FF
    EXPECT_EQ(wide.pic.transparencyMode, TRANSPARENCY_MASK);
    // Without an alpha field the fourth byte is 0 and the picture opaque.
    Loaded opaque(bitFieldFile(1, 1, 32, {0xFF, 0xFF00, 0xFF0000}, {1, 2, 3, 4}));
    EXPECT_EQ(pixel(opaque.pic, 0, 0), 0x00010203u);
    EXPECT_EQ(opaque.pic.transparencyMode, TRANSPARENCY_NONE);
}

TEST(BmpRead, MasksThatAreNotRunsOrOverlapAreRefused) {
    const std::vector<std::vector<uint32_t>> bad = {
        {0xF0F0, 0x0F00, 0x000F},  // red in two runs
        {0xFF00, 0x0FF0, 0x000F},  // red and green share bits
        {0x7C00, 0x03E0, 0x001F, 0x18000},  // alpha past the 16 bits of the pixel
    };
    for (const auto& masks : bad) {
        Loaded l(bitFieldFile(1, 1, 16, masks, {0, 0, 0, 0}));
        EXPECT_TRUE(l.pic.isEmpty()) << masks[0];
        EXPECT_EQ(l.pic.loadFailure, "invalid BMP colour masks");
    }
}

TEST(BmpRead, IndexPastAShortPaletteIsBlack) {
    // 4 bits, two palette entries; the pixels are indices 1, 5, 0.
    Bytes b = header(3, 1, 4, 0, 54 + 8, 2);
    b.insert(b.end(), {0x10, 0x20, 0x30, 0, 0x40, 0x50, 0x60, 0});
    b.insert(b.end(), {0x15, 0x00, 0, 0});
    Loaded l(b);
    ASSERT_EQ(l.pic.width, 3);
    EXPECT_EQ(pixel(l.pic, 0, 0), 0x00605040u);
    EXPECT_EQ(pixel(l.pic, 1, 0), 0u);
    EXPECT_EQ(pixel(l.pic, 2, 0), 0x00302010u);
    EXPECT_EQ(l.pic.transparencyMode, TRANSPARENCY_NONE);
    // The file still reads, as damaged.
    EXPECT_EQ(l.pic.loadWarning, "the pixels use colour 5 of a BMP palette of 2");
}

// ---- RLE8 ----

TEST(BmpRle8, RunsAndEndOfLine) {
    Loaded l(rle8File(3, 2, {0x000000, 0, 0, 0, 0, 0x00050505, 0, 0x00070707}, {3, 5, 0, 0, 2, 7, 0, 1}, 8));
    ASSERT_EQ(l.pic.width, 3);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(pixel(l.pic, x, 1), 0x00050505u) << x;
    EXPECT_EQ(pixel(l.pic, 0, 0), 0x00070707u);
    EXPECT_EQ(pixel(l.pic, 1, 0), 0x00070707u);
    EXPECT_EQ(pixel(l.pic, 2, 0), 0u);
    EXPECT_EQ(l.pic.transparencyMode, TRANSPARENCY_NONE);
    EXPECT_EQ(l.pic.loadWarning, "");
}

TEST(BmpRle8, PaletteSizeComesFromColoursUsed) {
    // Two palette entries, then the data: a fixed 256-entry palette would read the codes as colours.
    Bytes codes = {2, 1, 0, 1};
    Loaded two(rle8File(2, 1, {0xAA112233, 0x44556677}, codes, 2));
    ASSERT_EQ(two.pic.width, 2);
    EXPECT_EQ(pixel(two.pic, 0, 0), 0x44556677u);  // the reserved byte comes along
    EXPECT_EQ(pixel(two.pic, 1, 0), 0x44556677u);

    std::vector<uint32_t> full(256, 0);
    full[1] = 0x00ABCDEF;
    Loaded zeroMeansAll(rle8File(2, 1, full, codes, 0));
    EXPECT_EQ(pixel(zeroMeansAll.pic, 1, 0), 0x00ABCDEFu);

    // An index beyond a short palette reads black.
    Loaded beyond(rle8File(1, 1, {0x00FFFFFF}, {1, 9, 0, 1}, 1));
    ASSERT_EQ(beyond.pic.width, 1);
    EXPECT_EQ(pixel(beyond.pic, 0, 0), 0u);
    EXPECT_EQ(beyond.pic.loadWarning, "the pixels use colour 9 of a BMP palette of 1");
}

TEST(BmpRle8, PalettesThatDoNotFitAreRefused) {
    std::vector<uint32_t> big(257, 0);
    EXPECT_TRUE(Loaded(rle8File(2, 1, big, {2, 1, 0, 1}, 257)).pic.isEmpty());
    // The palette would run past the end of the file.
    Bytes cut = rle8File(2, 1, std::vector<uint32_t>(16, 0), {}, 16);
    cut.resize(54 + 30);
    EXPECT_TRUE(Loaded(cut).pic.isEmpty());
    // The palette would run into the pixel data.
    Bytes overlap = rle8File(2, 1, std::vector<uint32_t>(4, 0), {2, 1, 0, 1}, 4);
    put32(overlap, 10, 54 + 8);
    EXPECT_TRUE(Loaded(overlap).pic.isEmpty());
}

TEST(BmpRle8, DeltaMovesRightAndUpWithinThePicture) {
    std::vector<uint32_t> pal = {0, 0x00111111, 0x00222222};
    // Bottom row: one pixel of 1, delta right 1 and up 1, one pixel of 2 at (2, top row).
    Loaded l(rle8File(4, 2, pal, {1, 1, 0, 2, 1, 1, 1, 2, 0, 1}, 3));
    ASSERT_EQ(l.pic.height, 2);
    EXPECT_EQ(pixel(l.pic, 0, 1), 0x00111111u);
    EXPECT_EQ(pixel(l.pic, 2, 0), 0x00222222u);
    EXPECT_EQ(pixel(l.pic, 1, 0), 0u);
    EXPECT_EQ(pixel(l.pic, 1, 1), 0u);
    // A delta far to the right stops at the row end; far up leaves the picture, and nothing more is written.
    Loaded far(rle8File(4, 2, pal, {0, 2, 200, 0, 2, 2, 0, 2, 0, 9, 3, 1, 0, 1}, 3));
    ASSERT_EQ(far.pic.height, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(far.pic, x, y), 0u) << x << "," << y;
    EXPECT_EQ(l.pic.loadWarning, "");
    EXPECT_EQ(far.pic.loadWarning, "the run-length data runs outside the picture");
}

TEST(BmpRle8, RunsPastTheRowOrPictureNeverWriteOutside) {
    std::vector<uint32_t> pal = {0, 0x00111111, 0x00222222};
    // A run of 255 in the bottom row of a 3 x 2 picture ends at the buffer's end.
    Loaded bottom(rle8File(3, 2, pal, {255, 1, 0, 1}, 3));
    ASSERT_EQ(bottom.pic.height, 2);
    for (int x = 0; x < 3; ++x) {
        EXPECT_EQ(pixel(bottom.pic, x, 1), 0x00111111u);
        EXPECT_EQ(pixel(bottom.pic, x, 0), 0u);
    }
    // In the top row it goes on in the buffer's next pixels, the bottom row, and stops at its end.
    Loaded top(rle8File(3, 2, pal, {0, 0, 255, 2, 255, 1, 0, 1}, 3));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(pixel(top.pic, x, y), 0x00222222u);
    // Absolute runs past the end, odd length with its pad byte.
    Loaded absolute(rle8File(2, 1, pal, {0, 5, 1, 2, 1, 2, 1, 0, 1, 1}, 3));
    EXPECT_EQ(pixel(absolute.pic, 0, 0), 0x00111111u);
    EXPECT_EQ(pixel(absolute.pic, 1, 0), 0x00222222u);
    // Each is read as the codes say, and reported as damaged.
    for (const Loaded* l : {&bottom, &top, &absolute})
        EXPECT_EQ(l->pic.loadWarning, "the run-length data runs outside the picture");
}

TEST(BmpRle8, TopDownAndTruncated) {
    std::vector<uint32_t> pal = {0, 0x00111111, 0x00222222};
    Loaded down(rle8File(2, -2, pal, {2, 1, 0, 0, 2, 2, 0, 1}, 3));
    ASSERT_EQ(down.pic.height, 2);
    EXPECT_EQ(pixel(down.pic, 0, 0), 0x00111111u);
    EXPECT_EQ(pixel(down.pic, 1, 1), 0x00222222u);
    // Data that ends in the middle of a code: what was decoded stays, the rest is zero.
    Loaded cut(rle8File(2, 2, pal, {2, 1, 0, 0, 0, 3, 2}, 3));
    ASSERT_EQ(cut.pic.height, 2);
    EXPECT_EQ(pixel(cut.pic, 1, 1), 0x00111111u);
    EXPECT_EQ(pixel(cut.pic, 0, 0), 0x00222222u);
    EXPECT_EQ(pixel(cut.pic, 1, 0), 0u);
}

TEST(BmpRle8, DataStartsAtTheDataOffsetAndACutFileIsReported) {
    std::vector<uint32_t> pal = {0, 0x00111111};
    // Two bytes between the palette and the codes are not codes.
    Bytes gap = rle8File(1, 1, pal, {2, 1, 1, 1, 0, 1}, 2);
    put32(gap, 10, 54 + 8 + 2);
    Loaded skipped(gap);
    EXPECT_EQ(pixel(skipped.pic, 0, 0), 0x00111111u);
    EXPECT_TRUE(skipped.pic.loadWarning.empty());
    // Data ending without an end-of-bitmap code: the bottom row is full, the top one not begun.
    Loaded cut(rle8File(2, 2, pal, {2, 1}, 2));
    ASSERT_EQ(cut.pic.height, 2);
    EXPECT_EQ(cut.pic.loadWarning, "the file ends early: 1 of 2 rows decoded");
    // A later load of a good file into the same picture keeps no word of the earlier one.
    TempDir dir;
    ASSERT_TRUE(writeBytes(dir.file("a.bmp"), rle8File(2, 2, pal, {2, 1}, 2)));
    ASSERT_TRUE(writeBytes(dir.file("b.bmp"), Bytes{'B', 'M'}));
    ASSERT_TRUE(writeBytes(dir.file("c.bmp"), rle8File(1, 1, pal, {1, 1, 0, 1}, 2)));
    CPicture p;
    p.loadFromBMP(dir.file("a.bmp"));
    p.loadFromBMP(dir.file("b.bmp"));
    EXPECT_TRUE(p.loadWarning.empty());
    EXPECT_EQ(p.loadFailure, "not a BMP file this reader takes");
    p.loadFromBMP(dir.file("c.bmp"));
    EXPECT_TRUE(p.loadFailure.empty());
}

TEST(BmpRle4, RunsAlternateNibblesAndAbsoluteRunsArePadded) {
    Bytes b = header(8, 2, 4, 2, 54 + 4 * 16, 16);
    for (uint8_t i = 0; i < 16; ++i) b.insert(b.end(), {i, 0, 0, 0});
    // Bottom row: a run of 5 of 1, 2 (1 2 1 2 1), end of line. Top row: absolute 3 (3 4 5, two
    // bytes), absolute 5 (6 7 8 9 10, three bytes and a pad byte), end of bitmap.
    b.insert(b.end(), {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 5, 0x67, 0x89, 0xA0, 0xEE, 0, 1});
    Loaded l(b);
    ASSERT_EQ(l.pic.width, 8);
    const uint32_t bottom[8] = {1, 2, 1, 2, 1, 0, 0, 0}, top[8] = {3, 4, 5, 6, 7, 8, 9, 10};
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(pixel(l.pic, x, 1), bottom[x]) << x;
        EXPECT_EQ(pixel(l.pic, x, 0), top[x]) << x;
    }
    EXPECT_TRUE(l.pic.loadWarning.empty());
}
