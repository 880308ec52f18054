// SPDX-License-Identifier: MIT
// PNG loading: every colour type and depth, interlaced or not, transparency, broken files, and the
// PngSuite conformance files against a committed table and against libpng.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "picture/Picture.h"
#include "picture/kppng.h"
#include "testsupport.h"

#ifdef PIXMILL_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef PIXMILL_HAVE_LIBPNG
#include "libpng_oracle.h"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string>* capturedMessages = nullptr;
void captureMessage(const char* line) {
    if (capturedMessages) capturedMessages->push_back(line);
}

// Loads PNG bytes through a file, as the application does, and records the decoder's messages.
struct Loaded {
    int width = 0, height = 0, mode = 0;
    Bytes bgra;
    std::vector<std::string> messages;
    std::string failure;  // the cause a refused file gives
    bool empty() const { return width == 0 && height == 0 && bgra.empty(); }
};

Loaded loadFile(const std::string& path) {
    Loaded out;
    capturedMessages = &out.messages;
    kpPngMessage = captureMessage;
    CPicture pic;
    pic.loadFromPNG(path);
    kpPngMessage = [](const char* line) { puts(line); };
    capturedMessages = nullptr;
    out.width = pic.width;
    out.height = pic.height;
    out.mode = pic.transparencyMode;
    out.failure = pic.loadFailure;
    if (pic.pixels) out.bgra.assign(pic.pixels, pic.pixels + size_t(pic.width) * pic.height * 4);
    return out;
}

Loaded loadBytes(const Bytes& png) {
    TempDir dir;
    writeBytes(dir.file("t.png"), png);
    return loadFile(dir.file("t.png"));
}

uint64_t fnv1a(const Bytes& b, uint64_t h = 1469598103934665603ull) {
    for (uint8_t v : b) h = (h ^ v) * 1099511628211ull;
    return h;
}

// ---------------------------------------------------------------- unfiltering

// The per-byte unfilter the decoder uses against the plain per-pixel Filter8: every (a, b, c) for
// Paeth, every (a, b) for the others, and random whole lines with every pixel size.
TEST(PngFilter, ByteUnfilterMatchesFilter8) {
    for (int type : {0, 1, 2, 3, 4, 5, 255}) {
        const int cRange = type == 4 ? 256 : 1;
        for (int a = 0; a < 256; a++) {
            for (int b = 0; b < 256; b++) {
                for (int c = 0; c < cRange; c++) {
                    unsigned char cur[2] = {uint8_t(a), uint8_t(a * 7 + b)},
                                  prv[2] = {uint8_t(c), uint8_t(b)};
                    unsigned char fast = UnfilterByte(cur[1], cur + 1, prv + 1, 1, type);
                    Filter8(cur, prv, 1, 1, 1, type);
                    if (fast != cur[1]) FAIL() << type << " " << a << " " << b << " " << c;
                }
            }
        }
    }
    std::mt19937 rng(6);
    for (int round = 0; round < 2000; round++) {
        const int n = 1 + rng() % 8, pixels = 1 + rng() % 6, type = rng() % 6, y = rng() % 2;
        Bytes prev(8 + n * pixels, 0), raw(8 + n * pixels, 0), slow(n * pixels), fast(8 + n * pixels, 0);
        for (int i = 8; i < 8 + n * pixels; i++) prev[i] = y ? uint8_t(rng()) : 0, raw[i] = uint8_t(rng());
        std::copy(raw.begin() + 8, raw.end(), slow.begin());
        for (int x = 0; x < pixels; x++) Filter8(slow.data(), prev.data() + 8, x, y, n, type);
        for (int i = 8; i < 8 + n * pixels; i++)
            fast[i] = UnfilterByte(raw[i], fast.data() + i, prev.data() + i, n, type);
        ASSERT_EQ(Bytes(fast.begin() + 8, fast.end()), slow) << round;
    }
}

#ifdef PIXMILL_HAVE_ZLIB
// Whole rows against Filter8 pixel by pixel: every filter, pixel size and width up to 40 pixels,
// on the vector path and the plain one.
TEST(PngFilter, WholeRowsMatchFilter8) {
    std::mt19937 rng(9);
    for (bool vectors : {true, false}) {
        setPngVectors(vectors);
        for (int type = 0; type <= 5; type++)
            for (int n = 1; n <= 8; n++)
                for (int pixels = 1; pixels <= 40; pixels++)
                    for (int y = 0; y < 2; y++) {
                        const size_t len = size_t(n) * pixels;
                        // 8 zero bytes before each line and 16 after, as the decoder keeps them.
                        Bytes prev(len + 24, 0), row(len + 24, 0), slow(len);
                        for (size_t i = 8; i < 8 + len; i++)
                            prev[i] = y ? uint8_t(rng()) : 0, row[i] = uint8_t(rng());
                        std::copy(row.begin() + 8, row.begin() + 8 + len, slow.begin());
                        for (int x = 0; x < pixels; x++) Filter8(slow.data(), prev.data() + 8, x, y, n, type);
                        UnfilterRow(row.data() + 8, prev.data() + 8, len, n, type);
                        ASSERT_EQ(Bytes(row.begin() + 8, row.begin() + 8 + len), slow)
                            << vectors << " " << type << " " << n << " " << pixels << " " << y;
                    }
    }
    setPngVectors(!getenv("PIXMILL_SIMD") || strcmp(getenv("PIXMILL_SIMD"), "plain") != 0);
}

// ---------------------------------------------------------------- a small PNG writer

void putU32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

void addChunk(Bytes& png, const char* type, const Bytes& data) {
    putU32(png, uint32_t(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    putU32(png, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

Bytes ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace) {
    Bytes d;
    putU32(d, w);
    putU32(d, h);
    d.insert(d.end(), {uint8_t(depth), uint8_t(colorType), 0, 0, uint8_t(interlace)});
    return d;
}

Bytes zlibCompress(const Bytes& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), uLong(raw.size()), 6);
    out.resize(size);
    return out;
}

int channelsOf(int colorType) {
    return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
}

// An image as samples (up to 16 bits each), written as a PNG with every filter type in turn.
struct Image {
    uint32_t w = 1, h = 1;
    int colorType = 0, depth = 8;
    std::vector<uint16_t> samples;  // w * h * channels
    Bytes palette, trns;
    Bytes extraRaw;  // appended to the filtered data before compressing

    uint16_t sample(uint32_t x, uint32_t y, int c) const {
        return samples[(size_t(y) * w + x) * channelsOf(colorType) + c];
    }

    // Filtered scanlines of the sub-image of columns x0, x0+dx, ... and rows y0, y0+dy, ...
    void appendPass(Bytes& raw, uint32_t x0, uint32_t dx, uint32_t y0, uint32_t dy) const {
        const int ch = channelsOf(colorType), bpp = std::max(1, ch * depth / 8);
        Bytes prev;
        for (uint32_t y = y0, row = 0; y < h; y += dy, row++) {
            Bytes line;
            unsigned acc = 0, bits = 0;
            for (uint32_t x = x0; x < w; x += dx) {
                for (int c = 0; c < ch; c++) {
                    unsigned v = sample(x, y, c);
                    if (depth == 16) {
                        line.push_back(uint8_t(v >> 8));
                        line.push_back(uint8_t(v));
                    } else if (depth == 8) {
                        line.push_back(uint8_t(v));
                    } else {
                        acc = (acc << depth) | v;
                        bits += depth;
                        if (bits == 8) line.push_back(uint8_t(acc)), acc = bits = 0;
                    }
                }
            }
            if (line.empty() && bits == 0) return;  // an empty pass holds nothing
            // Padding bits of the last byte are set: a decoder must ignore them.
            if (bits) line.push_back(uint8_t((acc << (8 - bits)) | ((1u << (8 - bits)) - 1)));
            if (prev.empty()) prev.assign(line.size(), 0);
            int filter = int(row % 5);
            raw.push_back(uint8_t(filter));
            for (size_t i = 0; i < line.size(); i++) {
                int a = i >= size_t(bpp) ? line[i - bpp] : 0, b = prev[i],
                    c = i >= size_t(bpp) ? prev[i - bpp] : 0;
                int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
                int pred[5] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
                raw.push_back(uint8_t(line[i] - pred[filter]));
            }
            prev = line;
        }
    }

    Bytes png(int interlace, size_t idatPieces = 1) const {
        Bytes raw;
        if (interlace == 1) {
            const uint32_t g[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                      {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
            for (auto& p : g) appendPass(raw, p[0], p[1], p[2], p[3]);
        } else {
            appendPass(raw, 0, 1, 0, 1);
        }
        raw.insert(raw.end(), extraRaw.begin(), extraRaw.end());
        Bytes z = zlibCompress(raw);
        Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
        addChunk(out, "IHDR", ihdr(w, h, depth, colorType, interlace));
        if (!palette.empty()) addChunk(out, "PLTE", palette);
        if (!trns.empty()) addChunk(out, "tRNS", trns);
        size_t piece = z.size() / idatPieces + 1;
        for (size_t at = 0; at < z.size(); at += piece)
            addChunk(out, "IDAT", Bytes(z.begin() + at, z.begin() + std::min(z.size(), at + piece)));
        addChunk(out, "IEND", {});
        return out;
    }

    // The BGRA bytes the picture must hold: samples below 8 bits scaled (grey) or looked up
    // (palette), 16-bit samples by their high byte, tRNS applied.
    Bytes expected() const {
        Bytes out;
        const int max = (1 << depth) - 1;
        uint32_t keys[3] = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF};
        for (size_t i = 0; colorType != 3 && i + 1 < trns.size() && i < 6; i += 2)
            keys[i / 2] = trns[i] << 8 | trns[i + 1];
        auto eight = [&](unsigned v) {
            return uint8_t(depth == 16 ? v >> 8 : depth == 8 ? v : v * 255 / max);
        };
        for (uint32_t y = 0; y < h; y++) {
            for (uint32_t x = 0; x < w; x++) {
                uint8_t r, g, b, a = 255;
                unsigned s0 = sample(x, y, 0);
                if (colorType == 3) {
                    r = palette[3 * s0], g = palette[3 * s0 + 1], b = palette[3 * s0 + 2];
                    if (s0 < trns.size()) a = trns[s0];
                } else if (colorType == 0 || colorType == 4) {
                    r = g = b = eight(s0);
                    if (colorType == 4)
                        a = uint8_t(eight(sample(x, y, 1)));
                    else if (s0 == keys[0])
                        a = 0;
                } else {
                    r = eight(s0), g = eight(sample(x, y, 1)), b = eight(sample(x, y, 2));
                    if (colorType == 6)
                        a = eight(sample(x, y, 3));
                    else if (s0 == keys[0] && sample(x, y, 1) == keys[1] && sample(x, y, 2) == keys[2])
                        a = 0;
                }
                out.insert(out.end(), {b, g, r, a});
            }
        }
        return out;
    }
};

Image randomImage(std::mt19937& rng, uint32_t w, uint32_t h, int colorType, int depth) {
    Image im;
    im.w = w, im.h = h, im.colorType = colorType, im.depth = depth;
    const unsigned max = (1u << depth) - 1;
    im.samples.resize(size_t(w) * h * channelsOf(colorType));
    // Few distinct values, so that the keyed ones occur.
    for (auto& s : im.samples) s = uint16_t((rng() % 3 == 0 ? rng() % 3 : rng()) & max);
    if (colorType == 3) {
        for (unsigned i = 0; i <= max; i++)
            im.palette.insert(im.palette.end(), {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
        for (unsigned i = 0; i < std::min(max + 1, 5u); i++) im.trns.push_back(uint8_t(i * 60));
    } else if (colorType == 0) {
        im.trns = {0, 1};
    } else if (colorType == 2) {
        im.trns = {0, 1, 0, 2, 0, 0};
    }
    return im;
}

const int combinations[15][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                 {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

// ---------------------------------------------------------------- every combination

TEST(Png, EveryCombinationDecodesTheSameInterlacedOrNot) {
    std::mt19937 rng(5);
    const uint32_t sizes[][2] = {{1, 1}, {2, 1}, {3, 5}, {10, 3}, {13, 11}, {33, 17}};
    for (auto& c : combinations) {
        for (auto& s : sizes) {
            Image im = randomImage(rng, s[0], s[1], c[0], c[1]);
            SCOPED_TRACE(testing::Message()
                         << "colour " << c[0] << " depth " << c[1] << " " << s[0] << "x" << s[1]);
            Loaded plain = loadBytes(im.png(0)), interlaced = loadBytes(im.png(1, 3));
            ASSERT_EQ(plain.width, int(s[0]));
            ASSERT_EQ(plain.height, int(s[1]));
            EXPECT_EQ(plain.bgra, im.expected());
            EXPECT_EQ(interlaced.bgra, plain.bgra);
            EXPECT_EQ(interlaced.mode, plain.mode);
            EXPECT_TRUE(plain.messages.empty());
        }
    }
}

TEST(Png, OneBitRowsIgnoreTheirPaddingBits) {
    std::mt19937 rng(1);
    Image im = randomImage(rng, 10, 4, 0, 1);  // 2 bytes a row, the last 6 bits set by the writer
    im.trns.clear();
    Loaded l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, im.expected());
    EXPECT_EQ(l.mode, TRANSPARENCY_NONE);
}

// ---------------------------------------------------------------- transparency

TEST(Png, GreyKeyMakesAMask) {
    Image im;
    im.w = 4, im.h = 1, im.colorType = 0, im.depth = 8;
    im.samples = {0, 7, 0, 255};
    im.trns = {0, 0};
    Loaded l = loadBytes(im.png(0));
    EXPECT_EQ(l.mode, TRANSPARENCY_MASK);
    EXPECT_EQ(l.bgra, (Bytes{0, 0, 0, 0, 7, 7, 7, 255, 0, 0, 0, 0, 255, 255, 255, 255}));

    // 16-bit grey compares the whole sample; the picture keeps the high byte.
    im.depth = 16;
    im.samples = {0x1234, 0x1200, 0xffff, 0x0012};
    im.trns = {0x12, 0x34};
    l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{0x12, 0x12, 0x12, 0, 0x12, 0x12, 0x12, 255, 255, 255, 255, 255, 0, 0, 0, 255}));

    // Below 8 bits the key is the raw sample: 2-bit value 1 is grey 85.
    im.depth = 2;
    im.samples = {1, 2, 3, 1};
    im.trns = {0, 1};
    l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{85, 85, 85, 0, 170, 170, 170, 255, 255, 255, 255, 255, 85, 85, 85, 0}));
}

TEST(Png, TruecolourKeyNeedsAllThreeSamples) {
    Image im;
    im.w = 3, im.h = 1, im.colorType = 2, im.depth = 8;
    im.samples = {10, 20, 30, 10, 20, 31, 10, 21, 30};
    im.trns = {0, 10, 0, 20, 0, 30};
    Loaded l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{30, 20, 10, 0, 31, 20, 10, 255, 30, 21, 10, 255}));
    EXPECT_EQ(l.mode, TRANSPARENCY_MASK);
}

TEST(Png, PaletteTransparencyGivesEachEntryItsAlpha) {
    Image im;
    im.w = 4, im.h = 1, im.colorType = 3, im.depth = 8;
    im.palette = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    im.samples = {0, 1, 2, 3};
    im.trns = {0};  // one byte: entry 0 transparent, the rest opaque
    Loaded l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{3, 2, 1, 0, 6, 5, 4, 255, 9, 8, 7, 255, 12, 11, 10, 255}));
    EXPECT_EQ(l.mode, TRANSPARENCY_MASK);

    im.trns = {255, 128, 0, 255};  // entries 0 and 3 opaque, 1 half, 2 transparent
    l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{3, 2, 1, 255, 6, 5, 4, 128, 9, 8, 7, 0, 12, 11, 10, 255}));
    EXPECT_EQ(l.mode, TRANSPARENCY_ALPHA);
}

TEST(Png, PixelsNeverDecodedAreZero) {
    // Index 3 lies beyond a palette of two entries.
    Image im;
    im.w = 3, im.h = 1, im.colorType = 3, im.depth = 2;
    im.palette = {50, 60, 70, 80, 90, 100};
    im.samples = {1, 3, 0};
    Loaded l = loadBytes(im.png(0));
    EXPECT_EQ(l.bgra, (Bytes{100, 90, 80, 255, 0, 0, 0, 0, 70, 60, 50, 255}));

    // A stream cut in the middle of its data: the rows it did not reach stay zero. The cut chunk
    // is dropped whole, so the data comes in two chunks and the second one is lost.
    std::mt19937 rng(2);
    Image big = randomImage(rng, 64, 64, 6, 8);
    Bytes png = big.png(0, 2);
    Bytes cut(png.begin(), png.end() - 12 - 20);
    l = loadBytes(cut);
    ASSERT_EQ(l.width, 64);
    Bytes want = big.expected();
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 4 * 64, l.bgra.begin()));
    EXPECT_EQ(Bytes(l.bgra.end() - 4 * 64, l.bgra.end()), Bytes(4 * 64, 0));
}

TEST(Png, SurplusDataIsRefusedAndRowsStand) {
    std::mt19937 rng(4);
    Image im = randomImage(rng, 7, 5, 2, 16);
    im.extraRaw.assign(100, 9);
    EXPECT_EQ(loadBytes(im.png(0)).bgra, im.expected());
}

// ---------------------------------------------------------------- refused files

TEST(Png, RefusedHeadersLeaveThePictureEmpty) {
    struct Case {
        int colorType, depth, interlace;
        uint32_t w, h;
        const char* message;
        const char* cause;
    };
    const Case cases[] = {
        {3, 16, 0, 4, 4, "Unsupported colorType-bitDepth combination.",
         "unsupported PNG colour type 3 with bit depth 16"},
        {0, 3, 0, 4, 4, "Unsupported colorType-bitDepth combination.",
         "unsupported PNG colour type 0 with bit depth 3"},
        {2, 4, 0, 4, 4, "Unsupported colorType-bitDepth combination.",
         "unsupported PNG colour type 2 with bit depth 4"},
        {1, 8, 0, 4, 4, "Unsupported colorType-bitDepth combination.",
         "unsupported PNG colour type 1 with bit depth 8"},
        {0, 8, 2, 4, 4, "Unsupported interlace method.", "unsupported PNG interlace method 2"},
        {0, 8, 0, 0, 4, nullptr, "unsupported picture size 0x4"},
        {0, 8, 0, 65536, 32768, nullptr, "unsupported picture size 65536x32768"},  // 2^31 pixels
        {6, 16, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, nullptr, "unsupported picture size 4294967295x4294967295"},
    };
    for (const Case& c : cases) {
        Bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
        addChunk(png, "IHDR", ihdr(c.w, c.h, c.depth, c.colorType, c.interlace));
        addChunk(png, "IDAT", zlibCompress(Bytes(100, 0)));
        addChunk(png, "IEND", {});
        Loaded l = loadBytes(png);
        SCOPED_TRACE(testing::Message() << c.colorType << "/" << c.depth << " " << c.w << "x" << c.h);
        EXPECT_TRUE(l.empty());
        EXPECT_EQ(l.messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_EQ(l.failure, c.cause);
    }
}

TEST(Png, BrokenFilesFailCleanly) {
    std::mt19937 rng(8);
    Image im = randomImage(rng, 5, 5, 3, 8);
    Bytes good = im.png(0);

    Bytes noSignature = good;
    noSignature[0] = 'X';
    Loaded l = loadBytes(noSignature);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(l.messages, std::vector<std::string>{"The file does not have PNG signature."});
    EXPECT_TRUE(loadBytes(Bytes(good.begin(), good.begin() + 5)).empty());

    // A PLTE of 4 bytes.
    Bytes badPalette(good.begin(), good.begin() + 33);
    addChunk(badPalette, "PLTE", {1, 2, 3, 4});
    badPalette.insert(badPalette.end(), good.begin() + 33, good.end());
    l = loadBytes(badPalette);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(l.failure, "the PNG palette's length is not a multiple of 3");

    // No IHDR at all: nothing is decoded from undefined header values.
    Bytes noHeader = {137, 80, 78, 71, 13, 10, 26, 10};
    addChunk(noHeader, "IDAT", zlibCompress(Bytes(100, 0)));
    l = loadBytes(noHeader);
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(l.messages.empty());
    EXPECT_EQ(l.failure, "the PNG file has no header");
    // A header and no IDAT.
    Bytes noData = {137, 80, 78, 71, 13, 10, 26, 10};
    addChunk(noData, "IHDR", ihdr(4, 4, 8, 0, 0));
    addChunk(noData, "IEND", {});
    EXPECT_EQ(loadBytes(noData).failure, "the file holds no image data");

    // A chunk length far beyond the file.
    Bytes huge = good;
    huge[33] = 0x7f;
    EXPECT_FALSE(loadBytes(huge).width < 0);

    EXPECT_TRUE(loadFile("/nonexistent/x.png").empty());
}

TEST(Png, MessagesGoToStandardOutputAndFailuresEmptyThePicture) {
    TempDir dir;
    writeBytes(dir.file("not.png"), std::string("GIF89a and more"));
    CPicture pic(3, 3);
    testing::internal::CaptureStdout();
    pic.loadFromPNG(dir.file("not.png"));
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "The file does not have PNG signature.\n");
    EXPECT_EQ(pic.width, 0);
    EXPECT_EQ(pic.pixels, nullptr);
}

TEST(Png, ChunkOrderRules) {
    std::mt19937 rng(9);
    Image im = randomImage(rng, 6, 4, 0, 8);
    im.trns.clear();
    Bytes good = im.png(0);
    // Chunks after IEND are never read.
    Bytes after = good;
    addChunk(after, "IHDR", ihdr(9, 9, 8, 0, 0));
    EXPECT_EQ(loadBytes(after).bgra, im.expected());
    // No IEND: the IDAT data read so far decodes.
    Bytes noEnd(good.begin(), good.end() - 12);
    EXPECT_EQ(loadBytes(noEnd).bgra, im.expected());
    // A tRNS before IHDR is ignored, since the colour type is unknown there.
    Bytes early = {137, 80, 78, 71, 13, 10, 26, 10};
    addChunk(early, "tRNS", {0, 0});
    early.insert(early.end(), good.begin() + 8, good.end());
    EXPECT_EQ(loadBytes(early).mode, TRANSPARENCY_NONE);
}

TEST(Png, DecodesFromAMemoryStream) {
    std::mt19937 rng(10);
    Image im = randomImage(rng, 9, 7, 6, 16);
    Bytes png = im.png(1);
    FILE* f = fmemopen(png.data(), png.size(), "rb");
    ASSERT_TRUE(f);
    KpRawPngDecoder d;
    EXPECT_EQ(d.Decode(f), 1);
    fclose(f);
    ASSERT_EQ(d.wid, 9);
    Bytes bgra = im.expected();
    for (size_t i = 0; i < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);
    EXPECT_EQ(Bytes(d.rgba, d.rgba + bgra.size()), bgra);
    KpRawPngDecoder none;
    EXPECT_EQ(none.Decode(nullptr), -1);
}
#endif

// ---------------------------------------------------------------- PngSuite

// What the decoder makes of every PngSuite file: "ok" with size and transparency mode, or "empty";
// the hash (FNV-1a 64) covers the BGRA bytes.
struct SuiteResult {
    const char* file;
    int fileBytes;
    const char* status;
    uint64_t hash;
};

const SuiteResult suiteTable[] = {
#include "picture_png_suite_table.inc"
};

std::string statusOf(const Loaded& l) {
    if (l.empty()) return "empty";
    return "ok " + std::to_string(l.width) + "x" + std::to_string(l.height) + " mode " +
           std::to_string(l.mode);
}

std::vector<std::string> suiteFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.substr(n.size() - 4) == ".png") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PngSuite, EveryFileGivesItsRecordedResult) {
    std::string dir = testdataDir();
    if (dir.empty()) GTEST_SKIP() << "no conformance data";
    dir += "/pngsuite";
    std::map<std::string, const SuiteResult*> table;
    for (const SuiteResult& r : suiteTable) table[r.file] = &r;
    bool print = getenv("PIXMILL_PRINT_PNG_TABLE") != nullptr;
    std::vector<std::string> files = suiteFiles(dir);
    ASSERT_FALSE(files.empty());
    for (const std::string& name : files) {
        Loaded l = loadFile(dir + "/" + name);
        std::string status = statusOf(l);
        uint64_t hash = fnv1a(l.bgra);
        int size = int(readBytes(dir + "/" + name).size());
        if (print)
            printf("    {\"%s\", %d, \"%s\", 0x%016llxull},\n", name.c_str(), size, status.c_str(),
                   (unsigned long long)hash);
        auto it = table.find(name);
        if (it == table.end()) {
            ADD_FAILURE() << name << " is not in the table";
            continue;
        }
        EXPECT_EQ(size, it->second->fileBytes) << name;
        EXPECT_EQ(status, it->second->status) << name;
        EXPECT_EQ(hash, it->second->hash) << name;
    }
    EXPECT_EQ(files.size(), table.size());
}

#ifdef PIXMILL_HAVE_LIBPNG
TEST(PngSuite, ValidFilesMatchLibpng) {
    std::string dir = testdataDir();
    if (dir.empty()) GTEST_SKIP() << "no conformance data";
    dir += "/pngsuite";
    int compared = 0;
    for (const std::string& name : suiteFiles(dir)) {
        if (name[0] == 'x') continue;  // the deliberately corrupt files
        int w, h;
        Bytes rgba;
        ASSERT_TRUE(decodeWithLibpng(dir + "/" + name, w, h, rgba)) << name;
        Loaded l = loadFile(dir + "/" + name);
        ASSERT_EQ(l.width, w) << name;
        ASSERT_EQ(l.height, h) << name;
        for (size_t i = 0; i < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
        EXPECT_EQ(l.bgra, rgba) << name;
        compared++;
    }
    EXPECT_GT(compared, 150);
}
#endif

}  // namespace
