// SPDX-License-Identifier: MIT
// CPicture core: creation limits, alpha premultiplication, block copy clipping and blending,
// quarter turns.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "picture/Picture.h"

namespace {

using Pic = std::unique_ptr<CPicture>;

void fillNoise(CPicture& p, uint32_t seed) {
    for (size_t i = 0; i < size_t(p.width) * p.height * 4; ++i) {
        seed = seed * 1664525u + 1013904223u;
        p.pixels[i] = uint8_t(seed >> 24);
    }
}

bool samePixels(const CPicture& a, const CPicture& b) {
    return a.width == b.width && a.height == b.height &&
           memcmp(a.pixels, b.pixels, size_t(a.width) * a.height * 4) == 0;
}

}  // namespace

TEST(PictureCreate, SizesBelowOneBecomeOneAndTooManyPixelsThrow) {
    CPicture p;
    p.create(0, -3);
    ASSERT_EQ(p.width, 1);
    ASSERT_EQ(p.height, 1);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_NONE);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p.pixels[i], 0);

    p.transparencyMode = TRANSPARENCY_ALPHA;
    EXPECT_THROW(p.create(65536, 32768), std::bad_alloc);  // exactly 2^31 pixels
    EXPECT_TRUE(p.isEmpty());
    EXPECT_EQ(p.pixels, nullptr);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_NONE);
}

TEST(PicturePremultiply, OnlyAlphaPicturesChange) {
    CPicture p(256, 4);
    for (int a = 0; a < 256; ++a)
        for (int y = 0; y < 4; ++y) {
            uint8_t* px = p.pixelAt(a, y);
            px[0] = 255;
            px[1] = uint8_t(y * 80);
            px[2] = uint8_t(a);
            px[3] = uint8_t(a);
        }
    for (int mode : {TRANSPARENCY_NONE, TRANSPARENCY_MASK, TRANSPARENCY_PREMULTIPLIED}) {
        CPicture q(256, 4);
        memcpy(q.pixels, p.pixels, 256 * 4 * 4);
        q.transparencyMode = mode;
        q.preMultiplyAlpha();
        EXPECT_EQ(q.transparencyMode, mode);
        EXPECT_TRUE(samePixels(p, q)) << mode;
    }
    p.transparencyMode = TRANSPARENCY_ALPHA;
    p.preMultiplyAlpha();
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_PREMULTIPLIED);
    EXPECT_EQ(0, memcmp(p.pixelAt(255, 2), "\xFF\xA0\xFF\x00", 4));  // alpha 255 keeps the colour
    EXPECT_EQ(0, memcmp(p.pixelAt(0, 3), "\x00\x00\x00\xFF", 4));    // alpha 0 turns it to 0
    EXPECT_EQ(0, memcmp(p.pixelAt(128, 1), "\x80\x28\x40\x7F", 4));  // (c * 129) >> 8
}

// ---- bitblt ----

namespace {

// What bitblt means: pixel (sx + i, sy + j) onto (dx + i, dy + j) wherever both exist.
void naiveCopy(CPicture& dst, int dx, int dy, int w, int h, const CPicture& src, int sx, int sy) {
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            int x = sx + i, y = sy + j, X = dx + i, Y = dy + j;
            if (x >= 0 && y >= 0 && x < src.width && y < src.height && X >= 0 && Y >= 0 && X < dst.width &&
                Y < dst.height)
                memcpy(dst.pixelAt(X, Y), src.pixelAt(x, y), 4);
        }
}

}  // namespace

TEST(PictureBitblt, ClippingCopiesExactlyTheOverlap) {
    // Every placement of a block around two small pictures, including ones that miss entirely.
    for (int sw = 1; sw <= 4; sw += 3)
        for (int dw = 1; dw <= 5; dw += 2) {
            CPicture src(sw, 3);
            fillNoise(src, uint32_t(sw * 7 + dw));
            for (int sx = -6; sx <= 6; ++sx)
                for (int dx = -6; dx <= 6; ++dx)
                    for (int w = -1; w <= 9; w += 2)
                        for (int sy = -2; sy <= 3; sy += 5)
                            for (int dy = -1; dy <= 2; ++dy) {
                                CPicture got(dw, 2), want(dw, 2);
                                CPicture::bitblt(&got, dx, dy, w, 3, &src, sx, sy);
                                naiveCopy(want, dx, dy, w, 3, src, sx, sy);
                                ASSERT_TRUE(samePixels(got, want))
                                    << "src " << sw << " dst " << dw << " sx " << sx << " dx " << dx << " w "
                                    << w << " sy " << sy << " dy " << dy;
                            }
        }
}

TEST(PictureBitblt, DocumentedExampleAndExtremeArguments) {
    CPicture src(4, 4), dst(10, 10);
    fillNoise(src, 3);
    CPicture::bitblt(&dst, 5, 0, 4, 4, &src, -2, 1);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            bool inBlock = x >= 7 && x < 9 && y < 3;
            uint32_t want = 0, got;
            if (inBlock) memcpy(&want, src.pixelAt(x - 7, y + 1), 4);
            memcpy(&got, dst.pixelAt(x, y), 4);
            EXPECT_EQ(got, want) << x << "," << y;
        }
    // Arguments at the ends of int never reach outside either picture (run under AddressSanitizer).
    const int extremes[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX};
    for (int a : extremes)
        for (int b : extremes)
            for (int c : extremes) {
                CPicture::bitblt(&dst, a, b, c, c, &src, b, a);
                CPicture::bitblt(&dst, 0, 0, a, b, &src, c, 0);
            }
    CPicture empty;
    CPicture::bitblt(&dst, 0, 0, 4, 4, &empty, 0, 0);
    CPicture::bitblt(&empty, 0, 0, 4, 4, &src, 0, 0);
    CPicture::bitblt(nullptr, 0, 0, 4, 4, &src, 0, 0);
}

TEST(PictureBitblt, AlphaSourceIsPremultipliedUnlessNothingCanBeCopied) {
    CPicture src(2, 2), dst(4, 4);
    src.transparencyMode = TRANSPARENCY_ALPHA;
    // A negative width: nothing happens, the source keeps its mode.
    CPicture::bitblt(&dst, 0, 0, -1, 2, &src, 0, 0);
    EXPECT_EQ(src.transparencyMode, TRANSPARENCY_ALPHA);
    // Starting outside the source: the same.
    CPicture::bitblt(&dst, 0, 0, 1, 1, &src, 2, 0);
    EXPECT_EQ(src.transparencyMode, TRANSPARENCY_ALPHA);
    // Zero width, start inside both: the whole source is converted all the same.
    src.pixels[0] = 200;
    src.pixels[3] = 127;
    CPicture::bitblt(&dst, 1, 1, 0, 2, &src, 0, 0);
    EXPECT_EQ(src.transparencyMode, TRANSPARENCY_PREMULTIPLIED);
    EXPECT_EQ(src.pixels[0], 100);
    EXPECT_EQ(src.pixels[3], 128);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(dst.pixels[i], 0);
}

TEST(PictureBitblt, BlendModes) {
    CPicture dst(3, 1);
    for (int i = 0; i < 12; ++i) dst.pixels[i] = 200;
    // Alpha 0, alpha 255 and alpha 128 over grey 200.
    CPicture alpha(3, 1);
    const uint8_t a[12] = {50, 60, 70, 0, 10, 20, 30, 255, 100, 0, 255, 128};
    memcpy(alpha.pixels, a, 12);
    alpha.transparencyMode = TRANSPARENCY_ALPHA;
    CPicture::bitblt(&dst, 0, 0, 3, 1, &alpha, 0, 0);
    EXPECT_EQ(alpha.transparencyMode, TRANSPARENCY_PREMULTIPLIED);
    EXPECT_EQ(0, memcmp(dst.pixels, "\xC7\xC7\xC7\xC8", 4));  // 200 * 255 >> 8 = 199; byte 3 kept
    EXPECT_EQ(0, memcmp(dst.pixels + 4, "\x0A\x14\x1E\xC8", 4));
    // 100 * 129 >> 8 = 50, 200 * 127 >> 8 = 99; 255 * 129 >> 8 = 128
    EXPECT_EQ(0, memcmp(dst.pixels + 8, "\x95\x63\xE3\xC8", 4));

    CPicture mask(3, 1), over(3, 1);
    const uint8_t m[12] = {1, 2, 3, 0, 4, 5, 6, 1, 7, 8, 9, 255};
    memcpy(mask.pixels, m, 12);
    mask.transparencyMode = TRANSPARENCY_MASK;
    for (int i = 0; i < 12; ++i) over.pixels[i] = 77;
    CPicture::bitblt(&over, 0, 0, 3, 1, &mask, 0, 0);
    EXPECT_EQ(0, memcmp(over.pixels, "\x4D\x4D\x4D\x4D\x04\x05\x06\x4D\x07\x08\x09\x4D", 12));

    CPicture none(1, 1), under(1, 1);
    memcpy(none.pixels, "\x01\x02\x03\x04", 4);
    CPicture::bitblt(&under, 0, 0, 1, 1, &none, 0, 0);
    EXPECT_EQ(0, memcmp(under.pixels, "\x01\x02\x03\x04", 4));  // all four bytes, mode untouched
    EXPECT_EQ(under.transparencyMode, TRANSPARENCY_NONE);

    CPicture odd(1, 1), target(1, 1);
    odd.transparencyMode = 7;
    memset(odd.pixels, 9, 4);
    CPicture::bitblt(&target, 0, 0, 1, 1, &odd, 0, 0);
    EXPECT_EQ(target.pixels[0], 0);
}

// ---- rotate90 ----

TEST(PictureRotate, CornersMoveAsTheTurnSays) {
    CPicture p(3, 2);
    fillNoise(p, 9);
    p.transparencyMode = TRANSPARENCY_ALPHA;
    uint32_t topLeft;
    memcpy(&topLeft, p.pixelAt(0, 0), 4);
    auto at = [](const CPicture& q, int x, int y) {
        uint32_t v;
        memcpy(&v, q.pixelAt(x, y), 4);
        return v;
    };
    Pic cw(p.rotate90(6)), ccw(p.rotate90(8)), half(p.rotate90(3));
    ASSERT_EQ(cw->width, 2);
    ASSERT_EQ(cw->height, 3);
    EXPECT_EQ(at(*cw, 1, 0), topLeft);
    EXPECT_EQ(at(*ccw, 0, 2), topLeft);
    ASSERT_EQ(half->width, 3);
    EXPECT_EQ(at(*half, 2, 1), topLeft);
    // Alpha bytes are copied, but the turned picture is opaque.
    EXPECT_EQ(cw->transparencyMode, TRANSPARENCY_NONE);
    EXPECT_EQ(p.transparencyMode, TRANSPARENCY_ALPHA);
    EXPECT_EQ(p.rotate90(1), nullptr);
    EXPECT_EQ(p.rotate90(5), nullptr);
}

TEST(PictureRotate, TurnsComposeOnOddSizes) {
    CPicture p(7, 5);
    fillNoise(p, 4);
    Pic a(p.rotate90(6)), b(a->rotate90(6)), c(b->rotate90(6)), d(c->rotate90(6));
    EXPECT_TRUE(samePixels(p, *d));
    Pic half(p.rotate90(3));
    EXPECT_TRUE(samePixels(*half, *b));
    Pic back(a->rotate90(8));
    EXPECT_TRUE(samePixels(p, *back));
    CPicture empty;
    Pic none(empty.rotate90(6));
    EXPECT_TRUE(none->isEmpty());
}
