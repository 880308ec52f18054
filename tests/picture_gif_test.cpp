// SPDX-License-Identifier: MIT
// GIF decoder: LZW edge cases against a literal decoder, interlace, colour tables, transparency,
// extensions, malformed files, and the shared conformance set against giflib.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>

#include "gif_recipe.h"
#include "picture/CGif.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "picture/RowResampler.h"
#include "testsupport.h"
#include "tools/modTools.h"

#ifdef PIXMILL_HAVE_GIFLIB
#include <gif_lib.h>
#endif

using gifrecipe::GifBuilder;
using gifrecipe::Image;
using Bytes = std::vector<uint8_t>;

namespace {

// 2^bits distinct colours, none of them black or pure red, so that no rewrite applies.
Bytes distinctTable(int entries) {
    Bytes t;
    for (int i = 0; i < entries; ++i) {
        t.push_back(static_cast<uint8_t>(i));
        t.push_back(static_cast<uint8_t>(255 - i));
        t.push_back(static_cast<uint8_t>(1 + i % 200));
    }
    return t;
}

Bytes randomPixels(std::mt19937& rng, int count, int colours) {
    Bytes p(count);
    for (auto& v : p) v = static_cast<uint8_t>(rng() % colours);
    return p;
}

struct Loaded {
    int width = 0, height = 0, mode = 0;
    Bytes pixels;  // BGRA
    std::string failure;  // the cause a refused file gives
};

Loaded loadFile(const std::string& path) {
    CPicture picture;
    picture.loadFromGIF(path);
    Loaded out;
    out.width = picture.width;
    out.height = picture.height;
    out.mode = picture.transparencyMode;
    out.failure = picture.loadFailure;
    if (picture.pixels)
        out.pixels.assign(picture.pixels, picture.pixels + size_t(picture.width) * picture.height * 4);
    return out;
}

Loaded loadBytes(const Bytes& file) {
    TempDir dir;
    std::string path = dir.file("a.gif");
    EXPECT_TRUE(writeBytes(path, file));
    return loadFile(path);
}

// The BGRA bytes a picture must hold for these indices and this red, green, blue table (no
// transparency: alpha bytes 0; indices beyond the table black).
Bytes expectedPixels(const Bytes& indices, const Bytes& table) {
    Bytes out;
    for (uint8_t i : indices) {
        bool in = size_t(i) * 3 + 2 < table.size();
        out.push_back(in ? table[i * 3 + 2] : 0);
        out.push_back(in ? table[i * 3 + 1] : 0);
        out.push_back(in ? table[i * 3 + 0] : 0);
        out.push_back(0);
    }
    return out;
}

Bytes singleImage(const Image& im, const Bytes& table) {
    GifBuilder b;
    b.header(im.width, im.height, table).image(im).trailer();
    return b.bytes;
}

Image plainImage(int w, int h, const Bytes& pixels, int minCodeSize = 8) {
    Image im;
    im.width = w;
    im.height = h;
    im.pixels = pixels;
    im.lzw.minCodeSize = minCodeSize;
    return im;
}

// ---- A literal decoder: bit-by-bit codes, one heap string per code, the interlace walk per pixel
// into a bottom-up buffer with rows padded to 4 bytes. Same decisions on invalid codes. ----

class LiteralDecoder {
  public:
    LiteralDecoder(const Bytes& framed, int s, int w, int h, bool interlaced)
        : data(framed), s(s), w(w), h(h), interlaced(interlaced) {}

    Bytes decode() {
        stride = (w + 3) / 4 * 4;
        buffer.assign(size_t(stride) * h, 0);
        if (s > 11 || w == 0 || h == 0) return topDown();
        const unsigned clear = 1u << s, end = clear + 1;
        codeSize = s + 1;
        reset(clear);
        long prev = -1;
        for (;;) {
            unsigned c = nextCode(end);
            if (c == end || count >= long(w) * h) break;
            if (c == clear) {
                reset(clear);
                codeSize = s + 1;
                prev = -1;
                continue;
            }
            if (prev < 0) {
                if (c >= clear) break;
                put(strings[c][0]);
                prev = c;
                continue;
            }
            std::vector<uint16_t> entry = strings[prev];
            if (c < strings.size()) {
                entry.push_back(strings[c][0]);
                strings.push_back(entry);
                for (uint16_t v : strings[c]) put(v);
            } else if (c == strings.size()) {
                entry.push_back(strings[prev][0]);
                strings.push_back(entry);
                for (uint16_t v : entry) put(v);
            } else {
                break;
            }
            if (strings.size() >= (size_t(1) << codeSize) && codeSize <= 11) ++codeSize;
            prev = c;
        }
        return topDown();
    }

  private:
    void reset(unsigned clear) {
        strings.clear();
        for (unsigned i = 0; i < clear + 2; ++i) strings.push_back({static_cast<uint16_t>(i)});
    }
    unsigned nextCode(unsigned end) {
        unsigned code = 0;
        int got = 0;
        while (got < codeSize) {
            if (bitsLeft == 0) {
                if (bytePos + 1 < int(block.size())) {
                    ++bytePos;
                } else {
                    if (pos >= data.size() || data[pos] == 0 || pos + 1 + data[pos] > data.size()) return end;
                    block.assign(data.begin() + pos + 1, data.begin() + pos + 1 + data[pos]);
                    pos += 1 + data[pos];
                    bytePos = 0;
                }
                bitsLeft = 8;
            }
            int take = std::min(bitsLeft, codeSize - got);
            unsigned bits = (block[bytePos] >> (8 - bitsLeft)) & ((1u << take) - 1);
            code |= bits << got;
            got += take;
            bitsLeft -= take;
        }
        return code & MaskFromRight[codeSize - 1];
    }
    void put(uint16_t value) {
        if (count >= long(w) * h) return;
        long row, col;
        if (!interlaced) {
            row = count / w;
            col = count % w;
        } else {
            if (column == w) {
                column = 0;
                ++passRow;
            }
            for (;;) {
                row = pass == 1   ? 8 * passRow
                      : pass == 2 ? 8 * passRow + 4
                      : pass == 3 ? 4 * passRow + 2
                                  : 2 * passRow + 1;
                if (row < h) break;
                ++pass;
                passRow = 0;
            }
            col = column++;
        }
        buffer[size_t(h - 1 - row) * stride + col] = static_cast<uint8_t>(value);
        ++count;
    }
    Bytes topDown() const {
        Bytes out(size_t(w) * h);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) out[size_t(r) * w + c] = buffer[size_t(h - 1 - r) * stride + c];
        return out;
    }

    const Bytes& data;
    int s, w, h;
    bool interlaced;
    std::deque<std::vector<uint16_t>> strings;
    Bytes block, buffer;
    size_t pos = 0;
    int bytePos = 0, bitsLeft = 0, codeSize = 0, stride = 0;
    long count = 0, column = 0, passRow = 0, pass = 1;
};

Bytes framed(const Bytes& data, int blockSize) {
    GifBuilder b;
    b.subBlocks(data, blockSize);
    return b.bytes;
}

// Random codes a decoder can follow for a while: mostly table hits, the code being defined, some
// clears, and now and then an end or a code beyond the table.
Bytes randomCodeStream(std::mt19937& rng, int s, int codes) {
    gifrecipe::CodeWidthTracker t(s);
    gifrecipe::BitWriter out;
    const unsigned clear = 1u << s;
    for (int i = 0; i < codes; ++i) {
        unsigned r = rng() % 1000;
        unsigned c;
        if (r < 15) {
            c = clear;
        } else if (r < 17) {
            c = clear + 1;
        } else if (r < 20) {
            c = std::min<unsigned>(t.count + 1 + rng() % 5, (1u << t.width) - 1);
        } else if (t.first) {
            c = rng() % clear;
        } else {
            c = rng() % (t.count + 1);
        }
        out.put(c, t.width);
        if (c == clear)
            t.reset();
        else
            t.dataCode();
    }
    return out.finish();
}

void expectSameAsLiteral(const Bytes& data, int s, int w, int h, bool interlaced, int blockSize) {
    Bytes table = distinctTable(256);
    Image im;
    im.width = w;
    im.height = h;
    im.interlaced = interlaced;
    im.lzw.minCodeSize = s;
    im.useRaw = true;
    im.raw = data;
    im.blockSize = blockSize;
    Bytes indices = LiteralDecoder(framed(data, blockSize), s, w, h, interlaced).decode();
    // The fast decoder and the plain one.
    for (bool plain : {false, true}) {
        CGif::setPlainLzw(plain);
        Loaded got = loadBytes(singleImage(im, table));
        CGif::setPlainLzw(false);
        ASSERT_EQ(got.width, w);
        ASSERT_EQ(got.height, h);
        ASSERT_EQ(got.pixels, expectedPixels(indices, table)) << "s=" << s << " " << w << "x" << h
                                                              << (interlaced ? " interlaced" : "") << " block "
                                                              << blockSize << (plain ? " plain" : " fast");
    }
}

}  // namespace

// ---- LZW ----

TEST(GifLzw, MatchesLiteralDecoderOnRandomAndMalformedStreams) {
    std::mt19937 rng(1234);
    const int sizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 11};
    for (int iter = 0; iter < 400; ++iter) {
        int s = sizes[rng() % 9];
        int w = 1 + rng() % 40, h = 1 + rng() % 30;
        bool interlaced = rng() % 2;
        int blockSize = 1 + rng() % 255;
        Bytes data;
        switch (iter % 3) {
            case 0:
                data = randomCodeStream(rng, s, 50 + rng() % 3000);
                break;
            case 1:
                data = randomPixels(rng, 1 + rng() % 300, 256);
                break;  // mostly invalid early
            default: {
                gifrecipe::LzwOptions o;
                o.minCodeSize = s;
                o.leadingClear = rng() % 4 != 0;
                o.clearWhenFull = rng() % 2;
                o.clearEvery = rng() % 3 == 0 ? 1 + rng() % 300 : 0;
                o.endCode = rng() % 4 != 0;
                data = gifrecipe::lzwEncode(
                    randomPixels(rng, w * h + rng() % 20 - 10 + 10, 1 << std::min(s, 8)), o);
                if (rng() % 4 == 0 && !data.empty()) data.resize(rng() % data.size());  // truncated
            }
        }
        expectSameAsLiteral(data, s, w, h, interlaced, blockSize);
        if (HasFatalFailure()) return;
    }
}

TEST(GifLzw, TwoColourStreamUsesClearFourEndFiveAndFirstNewCodeSix) {
    // Codes (3 bits, then 4 once the table holds 8 entries): clear, 0, 1, 6 = "0 1", 7 = "1 0",
    // end. Pixels: 0 1 0 1 1 0.
    gifrecipe::BitWriter w;
    w.put(4, 3);
    w.put(0, 3);
    w.put(1, 3);
    w.put(6, 3);
    w.put(7, 4);
    w.put(5, 4);
    Bytes table = {10, 20, 30, 200, 210, 220};
    Image im = plainImage(6, 1, {}, 2);
    im.useRaw = true;
    im.raw = w.finish();
    Loaded got = loadBytes(singleImage(im, table));
    EXPECT_EQ(got.pixels, expectedPixels({0, 1, 0, 1, 1, 0}, table));

    // The encoder's stream for the same table gives the same image at every size.
    std::mt19937 rng(7);
    for (int n : {1, 2, 3, 7, 100, 5000}) {
        Bytes px = randomPixels(rng, n, 2);
        EXPECT_EQ(loadBytes(singleImage(plainImage(n, 1, px, 2), table)).pixels, expectedPixels(px, table));
    }
}

TEST(GifLzw, FullTableWithoutClearKeepsTwelveBitCodes) {
    std::mt19937 rng(99);
    Bytes table = distinctTable(256);
    for (int colours : {256, 4}) {
        Bytes px = randomPixels(rng, 300 * 200, colours);
        Image im = plainImage(300, 200, px, colours == 256 ? 8 : 2);
        im.lzw.clearWhenFull = false;
        Bytes file = singleImage(im, table);
        EXPECT_EQ(loadBytes(file).pixels, expectedPixels(px, table)) << colours;
    }
}

TEST(GifLzw, StreamWithoutLeadingClearAndWithStrayClearsDecodes) {
    std::mt19937 rng(5);
    Bytes table = distinctTable(16);
    Bytes px = randomPixels(rng, 50 * 9, 16);
    Image im = plainImage(50, 9, px, 4);
    im.lzw.leadingClear = false;
    EXPECT_EQ(loadBytes(singleImage(im, table)).pixels, expectedPixels(px, table));
    im.lzw.leadingClear = true;
    im.lzw.clearEvery = 1;  // clear after every code: two clears in a row never happen, but many do
    EXPECT_EQ(loadBytes(singleImage(im, table)).pixels, expectedPixels(px, table));
}

TEST(GifLzw, InvalidCodesEndTheImageAndLeaveTheRestZero) {
    Bytes table = distinctTable(4);
    auto decode = [&](std::function<void(gifrecipe::BitWriter&)> codes) {
        gifrecipe::BitWriter w;
        codes(w);
        Image im = plainImage(4, 2, {}, 2);
        im.useRaw = true;
        im.raw = w.finish();
        return loadBytes(singleImage(im, table)).pixels;
    };
    // First code after the clear is not a root: nothing decoded, every index 0.
    EXPECT_EQ(decode([](auto& w) {
                  w.put(4, 3);
                  w.put(6, 3);
              }),
              expectedPixels(Bytes(8, 0), table));
    // A code beyond the next free entry (6) ends decoding after "1".
    EXPECT_EQ(decode([](auto& w) {
                  w.put(4, 3);
                  w.put(1, 3);
                  w.put(7, 3);
                  w.put(1, 3);
              }),
              expectedPixels({1, 0, 0, 0, 0, 0, 0, 0}, table));
    // The end code right after a clear ends the image; clear twice is just a clear.
    EXPECT_EQ(decode([](auto& w) {
                  w.put(4, 3);
                  w.put(4, 3);
                  w.put(3, 3);
                  w.put(5, 3);
                  w.put(2, 3);
              }),
              expectedPixels({3, 0, 0, 0, 0, 0, 0, 0}, table));
}

// ---- Interlace ----

TEST(GifInterlace, InterlacedEqualsPlainAtEveryHeight) {
    std::mt19937 rng(42);
    Bytes table = distinctTable(64);
    for (int h = 1; h <= 19; ++h) {
        int w = 1 + rng() % 23;
        Bytes px = randomPixels(rng, w * h, 64);
        Image im = plainImage(w, h, px, 6);
        Loaded plain = loadBytes(singleImage(im, table));
        im.interlaced = true;
        Loaded inter = loadBytes(singleImage(im, table));
        ASSERT_EQ(plain.pixels, expectedPixels(px, table)) << h;
        ASSERT_EQ(inter.pixels, plain.pixels) << h;
    }
}

TEST(GifInterlace, ClearCodeInsideInterlacedImageKeepsRows) {
    std::mt19937 rng(3);
    Bytes table = distinctTable(256);
    Bytes px = randomPixels(rng, 61 * 47, 200);
    Image im = plainImage(61, 47, px, 8);
    im.interlaced = true;
    im.lzw.clearEvery = 37;
    EXPECT_EQ(loadBytes(singleImage(im, table)).pixels, expectedPixels(px, table));
}

TEST(GifInterlace, CalcRowColumnWalksThePasses) {
    imagedescriptorblock image;
    image.width = 2;
    image.height = 10;
    image.interlaced = 1;
    int column = 0, passRow = 0, pass = 1;
    unsigned long row, col;
    std::vector<unsigned long> rows;
    for (int k = 0; k < 20; ++k) {
        ASSERT_TRUE(CGif::CalcRowColumn(&image, column, passRow, pass, k, row, col));
        EXPECT_EQ(col, unsigned(k % 2));
        if (col == 0) rows.push_back(row);
    }
    EXPECT_EQ(rows, (std::vector<unsigned long>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
    EXPECT_FALSE(CGif::CalcRowColumn(&image, column, passRow, pass, 20, row, col));
}

// ---- Colour tables and transparency ----

TEST(GifColours, LocalTableGivesThePictureItsColours) {
    Bytes global = distinctTable(4), local = distinctTable(8);
    for (auto& v : local) v = static_cast<uint8_t>(v ^ 0x5A);
    Bytes px = {0, 1, 2, 3, 4, 5, 6, 7};
    Image im = plainImage(8, 1, px, 3);
    im.localTable = local;
    EXPECT_EQ(loadBytes(singleImage(im, global)).pixels, expectedPixels(px, local));
    // Without any table, and beyond the table, indices are black.
    EXPECT_EQ(loadBytes(singleImage(plainImage(8, 1, px, 3), {})).pixels, expectedPixels(px, {}));
    EXPECT_EQ(loadBytes(singleImage(plainImage(8, 1, px, 3), global)).pixels, expectedPixels(px, global));
}

TEST(GifColours, BlackTransparentIndexIsRewrittenSoRealBlackStaysOpaque) {
    // Entry 0 transparent black, entry 1 real black, entry 2 red 1, entry 3 white.
    Bytes table = {0, 0, 0, 0, 0, 0, 1, 0, 0, 255, 255, 255};
    Bytes px = {0, 1, 2, 3};
    GifBuilder b;
    b.header(4, 1, table).control(0, true, 0).image(plainImage(4, 1, px, 2)).trailer();
    Loaded got = loadBytes(b.bytes);
    EXPECT_EQ(got.mode, TRANSPARENCY_MASK);
    EXPECT_EQ(got.pixels, (Bytes{0, 0, 2, 0, /**/ 0, 0, 0, 255, /**/ 0, 0, 1, 255, /**/ 255, 255, 255, 255}));

    // Every red 1..254 taken: the transparent entry becomes red 255.
    Bytes full(256 * 3, 0);
    for (int i = 1; i <= 254; ++i) full[i * 3] = static_cast<uint8_t>(i);
    GifBuilder b2;
    b2.header(2, 1, full).control(0, true, 255).image(plainImage(2, 1, {255, 0}, 8)).trailer();
    EXPECT_EQ(loadBytes(b2.bytes).pixels, (Bytes{0, 0, 255, 0, /**/ 0, 0, 0, 255}));

    // A transparent index beyond the table counts as black: it is rewritten too.
    GifBuilder b3;
    b3.header(3, 1, table).control(0, true, 9).image(plainImage(3, 1, {9, 5, 3}, 4)).trailer();
    EXPECT_EQ(loadBytes(b3.bytes).pixels, (Bytes{0, 0, 2, 0, /**/ 0, 0, 0, 255, /**/ 255, 255, 255, 255}));
}

TEST(GifColours, TransparencyOfNonBlackColourMatchesByColour) {
    Bytes table = {10, 20, 30, 40, 50, 60, 10, 20, 30, 0, 0, 0};
    GifBuilder b;
    b.header(4, 1, table).control(0, true, 0).image(plainImage(4, 1, {0, 1, 2, 3}, 2)).trailer();
    Loaded got = loadBytes(b.bytes);
    EXPECT_EQ(got.mode, TRANSPARENCY_MASK);
    // Entry 2 has the transparent colour too, so it is transparent as well (found by colour).
    EXPECT_EQ(got.pixels, (Bytes{30, 20, 10, 0, 60, 50, 40, 255, 30, 20, 10, 0, 0, 0, 0, 255}));

    // The record asks for transparency but no pixel has the colour: opaque alphas, mode none.
    GifBuilder b2;
    b2.header(2, 1, table).control(0, true, 1).image(plainImage(2, 1, {0, 3}, 2)).trailer();
    Loaded opaque = loadBytes(b2.bytes);
    EXPECT_EQ(opaque.mode, TRANSPARENCY_NONE);
    EXPECT_EQ(opaque.pixels, (Bytes{30, 20, 10, 255, 0, 0, 0, 255}));
}

TEST(GifColours, AnimationShowsLastImageWithFirstImagesTransparency) {
    Bytes table = {0, 0, 0, 90, 80, 70, 255, 255, 255, 5, 5, 5};
    GifBuilder b;
    b.header(3, 1, table)
        .control(10, true, 0)
        .image(plainImage(3, 1, {0, 1, 2}, 2))
        .control(10, false, 0)
        .image(plainImage(3, 1, {2, 0, 3}, 2))
        .trailer();
    Loaded got = loadBytes(b.bytes);
    // The first image's transparent black became red 1 in the global table, which the last image
    // shares: its index 0 is transparent too, and nothing else.
    EXPECT_EQ(got.mode, TRANSPARENCY_MASK);
    EXPECT_EQ(got.pixels, (Bytes{255, 255, 255, 255, 0, 0, 1, 0, 5, 5, 5, 255}));

    // A last image with its own table: its colours, matched against the first image's colour.
    Image last = plainImage(3, 1, {0, 1, 2}, 2);
    last.localTable = {0, 0, 0, 0, 0, 1, 1, 0, 0, 9, 9, 9};
    GifBuilder b2;
    b2.header(3, 1, table).control(10, true, 0).image(plainImage(3, 1, {0, 1, 2}, 2)).image(last).trailer();
    EXPECT_EQ(loadBytes(b2.bytes).pixels, (Bytes{0, 0, 0, 255, 1, 0, 0, 255, 0, 0, 1, 0}));
}

TEST(GifColours, LastImageSmallerThanCanvasSitsTopLeftOnBlack) {
    Bytes table = distinctTable(4);
    GifBuilder b;
    Image im = plainImage(2, 1, {1, 2}, 2);
    im.left = 1;  // offsets play no part
    im.top = 1;
    b.header(3, 2, table).image(im).trailer();
    Loaded got = loadBytes(b.bytes);
    ASSERT_EQ(got.width, 3);
    Bytes expected = expectedPixels({1, 2}, table);
    expected.resize(24, 0);  // the rest of row 0 and all of row 1: zero bytes
    EXPECT_EQ(got.pixels, expected);
    // With transparency the black outside is opaque like every other pixel without the colour.
    GifBuilder b2;
    b2.header(3, 1, table).control(0, true, 2).image(plainImage(2, 1, {1, 2}, 2)).trailer();
    Loaded t = loadBytes(b2.bytes);
    EXPECT_EQ(t.mode, TRANSPARENCY_MASK);
    EXPECT_EQ(t.pixels[3], 255);
    EXPECT_EQ(t.pixels[7], 0);
    EXPECT_EQ(t.pixels[11], 255);
    // An image larger than the screen raises the canvas.
    GifBuilder b3;
    b3.header(1, 1, table).image(plainImage(4, 3, Bytes(12, 1), 2)).trailer();
    Loaded big = loadBytes(b3.bytes);
    EXPECT_EQ(big.width, 4);
    EXPECT_EQ(big.height, 3);
}

// ---- Control records and extensions ----

TEST(GifRecords, ControlRecordChoiceAndDelays) {
    Bytes table = distinctTable(4);
    TempDir dir;
    auto parse = [&](const GifBuilder& b) {
        writeBytes(dir.file("r.gif"), b.bytes);
        return std::make_unique<CGif>(dir.file("r.gif"));
    };
    Image im = plainImage(1, 1, {1}, 2);
    {
        GifBuilder b;  // two records: the first with a delay wins
        b.header(1, 1, table)
            .control(0, true, 3)
            .control(30, true, 1)
            .control(40, false, 0)
            .image(im)
            .trailer();
        auto gif = parse(b);
        ASSERT_EQ(gif->frameControls.size(), 1u);
        EXPECT_EQ(gif->frameControls[0]->delay, 30);
        EXPECT_EQ(gif->frameControls[0]->transparentIndex, 1);
        EXPECT_TRUE(gif->pendingControls.empty());
    }
    {
        GifBuilder b;  // several, none with a delay: a zero record (no transparency)
        b.header(1, 1, table).control(0, true, 3).control(0, true, 1).image(im).trailer();
        auto gif = parse(b);
        EXPECT_EQ(gif->frameControls[0]->transparent, 0);
        EXPECT_EQ(gif->frameControls[0]->delay, 10);
    }
    {
        GifBuilder b;  // delays below 2 repeat the last one; the first falls back to 10
        b.header(1, 1, table)
            .control(1, false, 0)
            .image(im)
            .control(50, false, 0)
            .image(im)
            .image(im)
            .control(0, false, 0)
            .image(im)
            .control(7, false, 0, 2)
            .image(im)
            .trailer();
        auto gif = parse(b);
        std::vector<int> delays;
        for (auto* r : gif->frameControls) delays.push_back(r->delay);
        EXPECT_EQ(delays, (std::vector<int>{10, 50, 50, 50, 7}));
        EXPECT_EQ(gif->frameControls[4]->disposal, 2);
        EXPECT_EQ(gif->images.size(), 5u);
    }
}

TEST(GifRecords, ExtensionsAreSkippedWhole) {
    Bytes table = distinctTable(4);
    Bytes px = {1, 2, 3, 0};
    Bytes plain = loadBytes(singleImage(plainImage(4, 1, px, 2), table)).pixels;
    std::string commas(200, ',');
    commas[17] = '!';
    GifBuilder b;
    b.header(4, 1, table)
        .extension(0xFF, {"NETSCAPE2.0", std::string("\x01\x00\x00", 3), commas})  // application
        .extension(0xFE, {std::string("first\0", 6), ",!,!", "more"})              // comment
        .extension(0x01, {std::string(12, '\x2C'), "Hello, world!"})               // plain text
        .extension(0x77, {"?"})                                                    // unknown label
        .image(plainImage(4, 1, px, 2))
        .extension(0xFE, {"after"})
        .trailer();
    EXPECT_EQ(loadBytes(b.bytes).pixels, plain);
}

TEST(GifRecords, DataBeyondTheImageOrTheTrailerIsIgnored) {
    Bytes table = distinctTable(4);
    Bytes px = {1, 2, 3, 0};
    Bytes plain = loadBytes(singleImage(plainImage(4, 1, px, 2), table)).pixels;
    // Extra sub-blocks after the end code that look like an image descriptor.
    Image im = plainImage(4, 1, px, 2);
    im.raw = gifrecipe::lzwEncode(px, im.lzw);
    im.blockSize = static_cast<int>(im.raw.size());  // the junk comes as sub-blocks of its own
    im.raw.insert(im.raw.end(), {0x2C, 0, 0, 0, 0, 9, 0, 9, 0, 0});
    im.useRaw = true;
    EXPECT_EQ(loadBytes(singleImage(im, table)).pixels, plain);
    // Junk after the trailer.
    GifBuilder b;
    b.header(4, 1, table).image(plainImage(4, 1, px, 2)).trailer().image(plainImage(4, 1, {3, 3, 3, 3}, 2));
    EXPECT_EQ(loadBytes(b.bytes).pixels, plain);
    // Stray bytes between blocks are skipped.
    GifBuilder c;
    c.header(4, 1, table);
    c.bytes.insert(c.bytes.end(), {0x00, 0x17, 0xFF});
    c.image(plainImage(4, 1, px, 2)).trailer();
    EXPECT_EQ(loadBytes(c.bytes).pixels, plain);
}

// ---- Malformed files ----

TEST(GifMalformed, FailuresLeaveThePictureEmpty) {
    Bytes table = distinctTable(4);
    Bytes good = singleImage(plainImage(4, 2, Bytes(8, 1), 2), table);
    EXPECT_EQ(loadBytes(good).width, 4);
    auto empty = [](const Bytes& f) { return loadBytes(f).width == 0; };
    EXPECT_TRUE(empty({}));
    // A missing file or a folder; a failed load also empties a picture that held one.
    TempDir dir;
    writeBytes(dir.file("good.gif"), good);
    CPicture picture;
    picture.loadFromGIF(dir.file("good.gif"));
    EXPECT_EQ(picture.width, 4);
    picture.loadFromGIF(dir.file("missing.gif"));
    EXPECT_EQ(picture.width, 0);
    EXPECT_EQ(picture.pixels, nullptr);
    picture.loadFromGIF(dir.path());
    EXPECT_EQ(picture.width, 0);
    GifBuilder noImage;
    noImage.header(4, 2, table).trailer();
    EXPECT_TRUE(empty(noImage.bytes));
    // Cut inside the screen descriptor, the global table, the image descriptor, a local table.
    for (size_t cut : {5, 11, 20, 13 + 12 + 5})
        EXPECT_TRUE(empty(Bytes(good.begin(), good.begin() + cut))) << cut;
    Image local = plainImage(4, 2, Bytes(8, 1), 2);
    local.localTable = table;
    Bytes withLocal = singleImage(local, table);
    EXPECT_TRUE(empty(Bytes(withLocal.begin(), withLocal.begin() + 13 + 12 + 10 + 6)));
    // 65535 x 65535 pixels: refused before anything is allocated.
    GifBuilder huge;
    huge.header(1, 1, table).image(plainImage(65535, 65535, {1}, 2)).trailer();
    EXPECT_TRUE(empty(huge.bytes));
    // A canvas too large for a picture.
    GifBuilder wide;
    wide.header(65535, 65535, table).image(plainImage(1, 1, {1}, 2)).trailer();
    EXPECT_TRUE(empty(wide.bytes));
    EXPECT_EQ(loadBytes(wide.bytes).failure, "the picture is too large");
    // Zero-size canvas and image.
    GifBuilder zero;
    zero.header(0, 0, table).image(plainImage(0, 5, {}, 2)).trailer();
    EXPECT_TRUE(empty(zero.bytes));
    EXPECT_EQ(loadBytes(zero.bytes).failure, "the picture is 0x5 pixels");
}

TEST(GifMalformed, TruncatedDataKeepsWhatWasDecoded) {
    Bytes table = distinctTable(4);
    std::mt19937 rng(8);
    Bytes px = randomPixels(rng, 400, 4);
    Image im = plainImage(400, 1, px, 2);
    im.blockSize = 16;
    Bytes file = singleImage(im, table);
    // The file ends in the middle of the data: the pixels of the whole sub-blocks survive, the rest
    // is index 0.
    Bytes cut(file.begin(), file.begin() + file.size() / 2);
    Loaded got = loadBytes(cut);
    ASSERT_EQ(got.width, 400);
    Bytes all = expectedPixels(px, table), zero = expectedPixels({0}, table);
    size_t k = 0;
    while (k < 400 && std::equal(all.begin() + k * 4, all.begin() + k * 4 + 4, got.pixels.begin() + k * 4))
        ++k;
    EXPECT_GT(k, 100u);
    for (size_t i = k; i < 400; ++i)
        EXPECT_TRUE(std::equal(zero.begin(), zero.end(), got.pixels.begin() + i * 4)) << i;
    // Minimum code size 12 or more: the image stays index 0.
    Image wide = plainImage(3, 1, {}, 12);
    wide.useRaw = true;
    wide.raw = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(loadBytes(singleImage(wide, table)).pixels, expectedPixels({0, 0, 0}, table));
    // A zero-width image between two good ones does not disturb parsing.
    GifBuilder b;
    b.header(4, 2, table)
        .image(plainImage(4, 2, Bytes(8, 3), 2))
        .image(plainImage(0, 2, {}, 2))
        .image(plainImage(4, 2, Bytes(8, 1), 2))
        .trailer();
    EXPECT_EQ(loadBytes(b.bytes).pixels, expectedPixels(Bytes(8, 1), table));
}

TEST(GifMalformed, WriteFuzzSeeds) {
    // PIXMILL_GIF_SEEDS=dir writes the fuzzer's seed corpus from these recipes.
    const char* dir = getenv("PIXMILL_GIF_SEEDS");
    if (!dir) GTEST_SKIP() << "set PIXMILL_GIF_SEEDS to write seeds";
    std::mt19937 rng(11);
    Bytes table = distinctTable(16);
    Image a = plainImage(24, 17, randomPixels(rng, 24 * 17, 16), 4);
    Image b = a;
    b.interlaced = true;
    b.lzw.clearEvery = 20;
    b.localTable = distinctTable(16);
    Image c = plainImage(64, 64, randomPixels(rng, 64 * 64, 2), 2);
    c.lzw.clearWhenFull = false;
    GifBuilder s1, s2, s3, s4;
    s1.header(24, 17, table).image(a).trailer();
    s2.header(24, 17, table)
        .extension(0xFF, {"NETSCAPE2.0", std::string("\x01\x00\x00", 3)})
        .control(5, true, 0)
        .image(b)
        .control(0, true, 3)
        .extension(0xFE, {"c"})
        .image(a)
        .trailer();
    s3.header(64, 64, {0, 0, 0, 255, 255, 255}).control(0, true, 0).image(c).trailer();
    s4.header(8, 8, {}).image(plainImage(8, 8, randomPixels(rng, 64, 4), 2)).trailer();
    std::string base = std::string(dir) + "/";
    writeBytes(base + "plain.gif", s1.bytes);
    writeBytes(base + "animated-interlaced.gif", s2.bytes);
    writeBytes(base + "two-colour-full-table.gif", s3.bytes);
    writeBytes(base + "no-table.gif", s4.bytes);
}

// ---- The shared conformance set ----

namespace {

uint64_t pictureHash(const Loaded& p) {
    uint64_t h = 1469598103934665603ull;
    auto add = [&](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int v : {p.width, p.height, p.mode})
        for (int i = 0; i < 4; ++i) add(static_cast<uint8_t>(v >> (8 * i)));
    for (uint8_t b : p.pixels) add(b);
    return h;
}

std::string statusOf(const Loaded& p) {
    if (p.width == 0) return "empty";
    char s[64];
    snprintf(s, sizeof s, "%dx%d mode %d", p.width, p.height, p.mode);
    return s;
}


std::vector<std::string> gifFiles(const std::string& root, const std::string& sub = "") {
    std::vector<std::string> out;
    std::string dir = root + "/" + sub;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string rel = sub.empty() ? name : sub + "/" + name;
            if (DirExist(root + "/" + rel + "/")) {
                for (auto& f : gifFiles(root, rel)) out.push_back(f);
            } else if (name.size() > 4 && name.substr(name.size() - 4) == ".gif") {
                out.push_back(rel);
            }
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Expected {
    const char* file;
    long size;
    const char* status;
    uint64_t hash;
};

// What every file of ../shared/testdata/gif decodes to (status and picture hash). Regenerate with
// PIXMILL_GIF_TABLE=1 and review the diff.
const Expected kConformance[] = {
#include "picture_gif_conformance.inc"
};

// The streamed source puts the whole picture's rows, and the row-fed resampler makes the same bytes
// from either (every filter, smaller and larger, turned), rows of plain background put once.
void expectStreamMatchesWhole(const std::string& path, const std::string& what) {
    CPicture whole;
    whole.loadFromGIF(path);
    std::unique_ptr<ImageSource> source = ImageSource::open(path);
    ASSERT_EQ(source->isOpen(), !whole.isEmpty()) << what;
    if (whole.isEmpty()) {
        EXPECT_EQ(source->failure(), whole.loadFailure) << what;
        return;
    }
    ASSERT_TRUE(source->streams()) << what;
    EXPECT_EQ(source->mode, whole.transparencyMode) << what;
    EXPECT_EQ(source->warning(), whole.loadWarning) << what;
    const int W = whole.width, H = whole.height;
    const size_t bytes = size_t(W) * H * 4;
    CPicture streamed(W, H);
    PictureRows rows(streamed);
    ASSERT_TRUE(source->putRows(rows)) << what;
    EXPECT_EQ(memcmp(streamed.pixels, whole.pixels, bytes), 0) << what;
    const int channels = whole.transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    // Large pictures (fuzz-made screens) once; the rest every way.
    const bool large = int64_t(W) * H > 300000;
    for (int filter = large ? 2 : 1; filter <= (large ? 2 : 3); ++filter)
        for (int turn : {0, 6})
            for (auto size : {std::make_pair(W / 5 + 1, H / 7 + 1), std::make_pair(W / 3 + 2, 2 * H + 1)}) {
                if (large && (turn != 0 || size.second > H)) continue;
                CPicture a(size.first, size.second), b(size.first, size.second);
                RowResampler fromWhole(W, H, a, filter, channels, turn);
                putPictureRows(whole, fromWhole);
                std::unique_ptr<ImageSource> again = ImageSource::open(path);
                RowResampler fromStream(W, H, b, filter, channels, turn);
                ASSERT_TRUE(again->putRows(fromStream));
                EXPECT_EQ(memcmp(a.pixels, b.pixels, size_t(a.width) * a.height * 4), 0)
                    << what << " filter " << filter << " turn " << turn << " to " << a.width << "x" << a.height;
            }
}

#ifdef PIXMILL_HAVE_GIFLIB
// The picture our rules give for giflib's reading of a file: the last image's indices at the top left
// through its palette (local, else global with earlier rewrites), the first image's transparency.
// False when giflib cannot read the file whole.
bool giflibPicture(const std::string& path, Loaded& out, int& images) {
    int err = 0;
    GifFileType* g = DGifOpenFileName(path.c_str(), &err);
    if (!g) return false;
    bool ok = DGifSlurp(g) == GIF_OK && g->ImageCount > 0;
    images = ok ? g->ImageCount : 0;
    if (ok) {
        uint8_t global[256][3] = {};
        if (g->SColorMap)
            for (int i = 0; i < std::min(g->SColorMap->ColorCount, 256); ++i) {
                global[i][0] = g->SColorMap->Colors[i].Red;
                global[i][1] = g->SColorMap->Colors[i].Green;
                global[i][2] = g->SColorMap->Colors[i].Blue;
            }
        int canvasW = g->SWidth, canvasH = g->SHeight;
        bool firstTransparent = false;
        uint8_t firstColour[3] = {};
        uint8_t palette[256][3] = {};
        for (int n = 0; n < g->ImageCount; ++n) {
            const SavedImage& im = g->SavedImages[n];
            canvasW = std::max(canvasW, im.ImageDesc.Width);
            canvasH = std::max(canvasH, im.ImageDesc.Height);
            std::vector<const ExtensionBlock*> records;
            for (int e = 0; e < im.ExtensionBlockCount; ++e)
                if (im.ExtensionBlocks[e].Function == GRAPHICS_EXT_FUNC_CODE &&
                    im.ExtensionBlocks[e].ByteCount >= 4)
                    records.push_back(&im.ExtensionBlocks[e]);
            const ExtensionBlock* chosen = records.size() == 1 ? records[0] : nullptr;
            for (size_t r = 0; records.size() > 1 && r < records.size() && !chosen; ++r)
                if (records[r]->Bytes[1] | records[r]->Bytes[2]) chosen = records[r];
            bool transparent = chosen && (chosen->Bytes[0] & 1);
            int index = chosen ? chosen->Bytes[3] : 0;
            const ColorMapObject* local = im.ImageDesc.ColorMap;
            memset(palette, 0, sizeof palette);
            for (int i = 0; i < 256; ++i)
                for (int c = 0; c < 3; ++c) palette[i][c] = local ? 0 : global[i][c];
            if (local)
                for (int i = 0; i < std::min(local->ColorCount, 256); ++i) {
                    palette[i][0] = local->Colors[i].Red;
                    palette[i][1] = local->Colors[i].Green;
                    palette[i][2] = local->Colors[i].Blue;
                }
            if (transparent && !palette[index][0] && !palette[index][1] && !palette[index][2]) {
                int f = 1;
                for (; f <= 254; ++f) {
                    bool taken = false;
                    for (int i = 0; i < 256; ++i)
                        taken |= palette[i][0] == f && !palette[i][1] && !palette[i][2];
                    if (!taken) break;
                }
                palette[index][0] = static_cast<uint8_t>(f);
                if (!local) global[index][0] = static_cast<uint8_t>(f);
            }
            if (n == 0 && transparent) {
                firstTransparent = true;
                memcpy(firstColour, palette[index], 3);
            }
        }
        const SavedImage& last = g->SavedImages[g->ImageCount - 1];
        out = Loaded();
        if (int64_t(canvasW) * canvasH > 0) {
            out.width = canvasW;
            out.height = canvasH;
            out.pixels.assign(size_t(canvasW) * canvasH * 4, 0);
            bool any = false;
            for (int y = 0; y < canvasH; ++y)
                for (int x = 0; x < canvasW; ++x) {
                    uint8_t* p = &out.pixels[(size_t(y) * canvasW + x) * 4];
                    if (x < last.ImageDesc.Width && y < last.ImageDesc.Height && last.RasterBits) {
                        const uint8_t* c = palette[last.RasterBits[size_t(y) * last.ImageDesc.Width + x]];
                        p[0] = c[2], p[1] = c[1], p[2] = c[0];
                    }
                    if (firstTransparent) {
                        bool match =
                            p[2] == firstColour[0] && p[1] == firstColour[1] && p[0] == firstColour[2];
                        p[3] = match ? 0 : 255;
                        any |= match;
                    }
                }
            out.mode = any ? TRANSPARENCY_MASK : TRANSPARENCY_NONE;
        }
    }
    DGifCloseFile(g, &err);
    return ok;
}
#endif

}  // namespace

TEST(GifConformance, SharedTestFilesDecodeAsRecorded) {
    std::string root = testdataDir();
    if (root.empty() || !DirExist(root + "/gif/")) GTEST_SKIP() << "no shared test data";
    root += "/gif";
    std::map<std::string, const Expected*> table;
    for (const Expected& e : kConformance) table[e.file] = &e;
    const bool print = getenv("PIXMILL_GIF_TABLE") != nullptr;
    int oracleChecked = 0;
    // A few fuzz-made files declare canvases of hundreds of millions of pixels; holding them is
    // allowed but slow, so this test records them as refused.
    struct LimitScope {
        int64_t old = CGif::getPixelLimit();
        LimitScope() { CGif::setPixelLimit(int64_t(1) << 25); }
        ~LimitScope() { CGif::setPixelLimit(old); }
    } limit;
    for (const std::string& rel : gifFiles(root)) {
        std::string path = root + "/" + rel;
        long size = static_cast<long>(readBytes(path).size());
        Loaded got = loadFile(path);
        uint64_t hash = pictureHash(got);
        expectStreamMatchesWhole(path, rel);
        {
            // The plain LZW decoder, kept as the reference, gives the same picture.
            CGif::setPlainLzw(true);
            const Loaded plain = loadFile(path);
            CGif::setPlainLzw(false);
            EXPECT_EQ(pictureHash(plain), hash) << rel << ": the plain LZW decoder differs";
            EXPECT_EQ(plain.failure, got.failure) << rel;
        }
        std::string note;
#ifdef PIXMILL_HAVE_GIFLIB
        Loaded oracle;
        int images = 0;
        if (got.width > 0 && giflibPicture(path, oracle, images)) {
            ++oracleChecked;
            EXPECT_EQ(statusOf(got), statusOf(oracle)) << rel;
            EXPECT_TRUE(got.pixels == oracle.pixels) << rel << " differs from giflib";
            note = images == 1 ? "giflib" : "giflib, " + std::to_string(images) + " images";
        }
#endif
        if (print) {
            printf("    {\"%s\", %ld, \"%s\", 0x%016llxull},  // %s\n", rel.c_str(), size,
                   statusOf(got).c_str(), static_cast<unsigned long long>(hash), note.c_str());
            continue;
        }
        auto it = table.find(rel);
        if (it == table.end()) {
            ADD_FAILURE() << rel << " is not in the table";
            continue;
        }
        EXPECT_EQ(it->second->size, size) << rel;
        EXPECT_EQ(it->second->status, statusOf(got)) << rel;
        EXPECT_EQ(it->second->hash, hash) << rel;
        table.erase(it);
    }
    for (auto& left : table) ADD_FAILURE() << left.first << " is in the table but missing";
    printf("%d files compared with giflib\n", oracleChecked);
}

// Screens far larger than their one image, with and without transparency (black and coloured),
// interlaced, images taller or wider than the screen, data cut short, no image at all.
TEST(GifStream, ScreensAroundSmallImagesMatchTheWholePicture) {
    std::mt19937 rng(25);
    const Bytes table = distinctTable(16);
    Bytes blackFirst = table;
    blackFirst[0] = blackFirst[1] = blackFirst[2] = 0;
    struct Case {
        int screenW, screenH, w, h;
        bool interlaced;
        int transparentIndex;  // -1: none
        const Bytes* table;
        bool cut;
    };
    const Case cases[] = {
        {300, 200, 7, 5, false, -1, &table, false},     {300, 200, 7, 5, false, 3, &table, false},
        {300, 200, 7, 5, true, 0, &blackFirst, false},  {40, 900, 41, 3, false, 2, &table, false},
        {900, 40, 5, 60, true, -1, &table, false},      {257, 129, 256, 128, false, 15, &table, true},
        {64, 64, 64, 64, false, 1, &table, false},      {120, 80, 3, 80, false, 0, &blackFirst, false},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        GifBuilder b;
        b.header(c.screenW, c.screenH, *c.table);
        if (c.transparentIndex >= 0) b.control(0, true, c.transparentIndex);
        Image im = plainImage(c.w, c.h, randomPixels(rng, c.w * c.h, 16), 4);
        im.interlaced = c.interlaced;
        b.image(im).trailer();
        if (c.cut) b.bytes.resize(b.bytes.size() / 2);
        const std::string path = dir.file("case" + std::to_string(n++) + ".gif");
        ASSERT_TRUE(writeBytes(path, b.bytes));
        expectStreamMatchesWhole(path, path);
    }
    GifBuilder none;
    none.header(50, 50, table).trailer();
    ASSERT_TRUE(writeBytes(dir.file("none.gif"), none.bytes));
    expectStreamMatchesWhole(dir.file("none.gif"), "no image");
}

// What the job reserves for a GIF: the screen raised to its largest image, which it streams, and
// the indices that image needs (twice while an interlaced one is reordered).
TEST(GifStream, DeclaredLayoutCountsTheLargestImage) {
    const Bytes table = distinctTable(4);
    GifBuilder b;
    Image small = plainImage(3, 2, Bytes(6, 1), 2), tall = plainImage(2, 40, Bytes(80, 1), 2);
    tall.interlaced = true;
    b.header(10, 10, table).image(small).extension(0xFE, {"note"}).image(tall).trailer();
    TempDir dir;
    ASSERT_TRUE(writeBytes(dir.file("a.gif"), b.bytes));
    int32_t w = 0, h = 0;
    bool whole = true;
    uint64_t held = 0;
    ASSERT_TRUE(declaredSize(dir.file("a.gif"), w, h, whole, &held));
    EXPECT_EQ(w, 10);
    EXPECT_EQ(h, 40);
    EXPECT_FALSE(whole);
    EXPECT_EQ(held, sizeof(CGif) + 2 * 80);
}
