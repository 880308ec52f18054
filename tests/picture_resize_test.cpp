// SPDX-License-Identifier: MIT
// Resampling: the product against the literal resampler byte for byte, and the filters' documented
// behaviour on small pictures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "literal_resize.h"
#include "picture/Picture.h"
#include "picture/ResampleWidth.h"
#include "picture/RowResampler.h"
#include "picture/RowSink.h"

namespace {

using Pic = std::unique_ptr<CPicture>;

// Deterministic noise with runs of 0 and 255, so filters 2 and 3 overshoot and get clamped.
Pic noisePicture(int w, int h, int mode, uint32_t seed) {
    Pic p(new CPicture(w, h));
    p->transparencyMode = mode;
    uint32_t s = seed * 2654435761u + 1;
    for (size_t i = 0; i < size_t(w) * h * 4; ++i) {
        s = s * 1664525u + 1013904223u;
        uint8_t v = uint8_t(s >> 24);
        p->pixels[i] = (s >> 8) % 3 == 0 ? (v & 1 ? 255 : 0) : v;
    }
    return p;
}

// A destination that is not fresh: resizeStatic must leave byte 3 alone in opaque mode.
Pic dirtyPicture(int w, int h) {
    Pic p(new CPicture(w, h));
    memset(p->pixels, 0xA5, size_t(w) * h * 4);
    return p;
}

// Every kernel this processor runs: the plain one, four, eight and sixteen pixels at once, and the
// planar one (32).
std::vector<int> kernelWidths() {
    std::vector<int> widths;
    for (int w : {1, 4, 8, 16, 32})
        if (w <= resampleWidthAvailable()) widths.push_back(w);
    return widths;
}

struct WidthScope {
    explicit WidthScope(int w) { setResampleWidth(w); }
    ~WidthScope() { setResampleWidth(0); }
};

bool samePixels(const CPicture& a, const CPicture& b) {
    return a.width == b.width && a.height == b.height &&
           memcmp(a.pixels, b.pixels, size_t(a.width) * a.height * 4) == 0;
}

struct SizePair {
    int sw, sh, dw, dh;
};

// Enlargements, reductions, mixed, odd sizes, single rows and columns.
const SizePair kPairs[] = {
    {1, 1, 1, 1},    {1, 1, 5, 3},    {1, 7, 3, 2},    {7, 1, 2, 9},     {5, 3, 1, 1},
    {5, 3, 13, 7},   {13, 9, 6, 4},   {13, 9, 27, 19}, {40, 31, 20, 15}, {40, 31, 17, 31},
    {31, 40, 9, 23}, {64, 48, 11, 5}, {17, 17, 33, 8}, {50, 2, 7, 2},    {2, 50, 3, 9},
};

}  // namespace

TEST(ResizeExactness, MatchesLiteralForEveryFilterModeAndSize) {
    const int filters[] = {0, 1, 2, 3, 4, -1};
    for (int width : kernelWidths()) {
        WidthScope scope(width);
        SCOPED_TRACE(testing::Message() << "kernel width " << width);
        uint32_t seed = 1;
        for (const SizePair& sp : kPairs) {
            for (int mode = 0; mode <= 3; ++mode) {
                Pic src = noisePicture(sp.sw, sp.sh, mode, seed++);
                for (int filter : filters) {
                    Pic want = dirtyPicture(sp.dw, sp.dh), got = dirtyPicture(sp.dw, sp.dh);
                    literal::resizeStatic(src.get(), want.get(), filter);
                    CPicture::resizeStatic(src.get(), got.get(), filter);
                    SCOPED_TRACE(testing::Message() << sp.sw << "x" << sp.sh << " -> " << sp.dw << "x"
                                                    << sp.dh << " filter " << filter << " mode " << mode);
                    EXPECT_TRUE(samePixels(*want, *got));
                    EXPECT_EQ(want->transparencyMode, got->transparencyMode);
                }
            }
        }
    }
}

// Real scale factors with long rows: the grouped paths (pixels side by side, pairs whose second
// pixel runs some taps behind the first, groups gathered from one or several windows of the row)
// and their tails, away from the edges and at them, for reductions of photo-like ratios and strong
// ones, enlargements, and opaque as well as transparent pictures.
TEST(ResizeExactness, MatchesLiteralOnLargerPictures) {
    const SizePair pairs[] = {{301, 97, 123, 41},  {97, 61, 250, 130}, {400, 300, 103, 77},
                              {1000, 40, 256, 10}, {375, 500, 72, 96}, {620, 30, 80, 12},
                              {90, 20, 301, 50},   {2000, 24, 61, 5}};
    for (int width : kernelWidths()) {
        WidthScope scope(width);
        for (const SizePair& sp : pairs) {
            for (int mode : {TRANSPARENCY_NONE, TRANSPARENCY_ALPHA}) {
                Pic src = noisePicture(sp.sw, sp.sh, mode, uint32_t(sp.sw));
                for (int filter = 1; filter <= 3; ++filter) {
                    Pic want = dirtyPicture(sp.dw, sp.dh), got = dirtyPicture(sp.dw, sp.dh);
                    literal::resizeStatic(src.get(), want.get(), filter);
                    CPicture::resizeStatic(src.get(), got.get(), filter);
                    EXPECT_TRUE(samePixels(*want, *got)) << sp.sw << "x" << sp.sh << " filter " << filter
                                                         << " mode " << mode << " width " << width;
                }
            }
        }
    }
}

// A turn folded into the resampler gives what turning the picture first and resampling it gives.
TEST(ResizeExactness, TurnedRowsMatchTheTurnedPicture) {
    std::vector<SizePair> pairs(std::begin(kPairs), std::end(kPairs));
    pairs.push_back({301, 97, 41, 123});
    pairs.push_back({375, 500, 96, 72});
    for (int width : kernelWidths()) {
        WidthScope scope(width);
        uint32_t seed = 7;
        for (const SizePair& sp : pairs)
            for (int mode : {TRANSPARENCY_NONE, TRANSPARENCY_ALPHA}) {
                Pic src = noisePicture(sp.sw, sp.sh, mode, seed++);
                for (int turn : {6, 8, 3}) {
                    Pic turned(src->rotate90(turn));
                    turned->transparencyMode = mode;
                    for (int filter = 1; filter <= 3; ++filter) {
                        Pic want = dirtyPicture(sp.dw, sp.dh), got = dirtyPicture(sp.dw, sp.dh);
                        literal::resizeStatic(turned.get(), want.get(), filter);
                        RowResampler rows(sp.sw, sp.sh, *got, filter, mode == TRANSPARENCY_NONE ? 3 : 4, turn);
                        putPictureRows(*src, rows);
                        EXPECT_TRUE(samePixels(*want, *got)) << sp.sw << "x" << sp.sh << " -> " << sp.dw << "x"
                                                             << sp.dh << " turn " << turn << " filter " << filter
                                                             << " mode " << mode << " width " << width;
                    }
                }
            }
    }
}

TEST(ResizeKernels, LanczosSupportAndCentre) {
    EXPECT_EQ(visGetLanczos8(8.0f), 0.0f);
    EXPECT_EQ(visGetLanczos8(-9.0f), 0.0f);
    EXPECT_EQ(visGetLanczos8(0.0f), 1.0f);
    EXPECT_EQ(visGetLanczos8(-2.5f), visGetLanczos8(2.5f));
    EXPECT_EQ(SinC(0.0f), 1.0f);
    // Zeros of the sinc fall on the integers, up to single-precision rounding of t * pi.
    EXPECT_NEAR(SinC(3.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(visGetLanczos8(7.999f), 0.0f, 1e-6f);
}

TEST(Resize, KeepAspectShrinksTheRequestedSize) {
    CPicture src(400, 300);
    Pic fit(src.resize(200, 200, 1, true));
    EXPECT_EQ(fit->width, 200);
    EXPECT_EQ(fit->height, 150);
    Pic stretch(src.resize(200, 200, 1, false));
    EXPECT_EQ(stretch->width, 200);
    EXPECT_EQ(stretch->height, 200);
    Pic tall(src.resize(400, 100, 1, true));
    EXPECT_EQ(tall->width, 133);
    EXPECT_EQ(tall->height, 100);
    Pic tiny(src.resize(0, -5, 2, false));
    EXPECT_EQ(tiny->width, 1);
    EXPECT_EQ(tiny->height, 1);
}

TEST(Resize, HalvingBilinearKeepsEvenPixels) {
    Pic src = noisePicture(10, 6, TRANSPARENCY_NONE, 7);
    Pic half(src->resize(5, 3, 1, false));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(0, memcmp(half->pixelAt(x, y), src->pixelAt(2 * x, 2 * y), 3)) << x << "," << y;
            EXPECT_EQ(half->pixelAt(x, y)[3], 0);  // opaque: byte 3 is not filtered
        }
}

TEST(Resize, BilinearEnlargementRepeatsTheLastColumn) {
    // Column 2 is 200, the next row 0: an unclamped second tap would pull the last outputs down.
    CPicture src(3, 2);
    for (int x = 0; x < 3; ++x) memset(src.pixelAt(x, 0), 60 + 70 * x, 3);
    Pic big(src.resize(9, 2, 1, false));
    // Sample columns 2, 2.33 and 2.67 read column 2 twice; the weights sum to 1 up to rounding,
    // and truncation may then lose one.
    for (int x = 6; x < 9; ++x) EXPECT_NEAR(big->pixelAt(x, 0)[0], 200, 1) << x;
    EXPECT_EQ(big->pixelAt(6, 0)[0], 200);
}

TEST(Resize, SharpEdgesClampToByteRange) {
    // Black and white stripes ring under filters 2 and 3; the ringing is cut at 0 and 255.
    CPicture src(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) memset(src.pixelAt(x, y), (x / 2) % 2 ? 255 : 0, 4);
    for (int filter = 2; filter <= 3; ++filter) {
        Pic out(src.resize(29, 8, filter, false));
        int whites = 0, blacks = 0;
        for (int x = 0; x < 29; ++x) {
            whites += out->pixelAt(x, 4)[1] == 255;
            blacks += out->pixelAt(x, 4)[1] == 0;
        }
        EXPECT_GT(whites, 0) << filter;
        EXPECT_GT(blacks, 0) << filter;
    }
}

TEST(Resize, MaskBecomesAlphaAndOpaqueKeepsByte3Zero) {
    Pic mask = noisePicture(9, 7, TRANSPARENCY_MASK, 11);
    Pic out(mask->resize(20, 5, 3, false));
    EXPECT_EQ(out->transparencyMode, TRANSPARENCY_ALPHA);
    bool between = false;
    for (int i = 0; i < 100; ++i) between |= out->pixels[i * 4 + 3] != 0 && out->pixels[i * 4 + 3] != 255;
    EXPECT_TRUE(between);

    Pic opaque = noisePicture(9, 7, TRANSPARENCY_NONE, 12);
    Pic flat(opaque->resize(20, 5, 2, false));
    EXPECT_EQ(flat->transparencyMode, TRANSPARENCY_NONE);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(flat->pixels[i * 4 + 3], 0);
}

TEST(Resize, BoxFilterEnlargementAndUnknownFilterGiveZero) {
    Pic src = noisePicture(6, 6, TRANSPARENCY_ALPHA, 5);
    for (auto [w, h, filter] : {std::tuple{12, 3, 0}, std::tuple{3, 12, 0}, std::tuple{4, 4, 9}}) {
        Pic out(src->resize(w, h, filter, false));
        std::vector<uint8_t> zero(size_t(w) * h * 4, 0);
        EXPECT_EQ(0, memcmp(out->pixels, zero.data(), zero.size())) << w << "x" << h << " filter " << filter;
    }
    // Filter 0 on an exact halving averages each 2 x 2 box.
    CPicture grey(2, 2);
    const uint8_t values[4] = {10, 20, 30, 41};
    for (int i = 0; i < 4; ++i) memset(grey.pixels + i * 4, values[i], 3);
    Pic avg(grey.resize(1, 1, 0, false));
    EXPECT_EQ(avg->pixels[0], 25);
}

TEST(Resize, EmptySourceGivesZeroPicture) {
    CPicture empty;
    Pic out(empty.resize(3, 2, 3, false));
    ASSERT_EQ(out->width, 3);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(out->pixels[i], 0);
}
