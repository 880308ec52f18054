// SPDX-License-Identifier: MIT
// CPicture core: creation, emptying, alpha premultiplication, block copy and quarter turns.
#include "picture/Picture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "picture/PixelMemory.h"

CPicture::CPicture() {}

CPicture::CPicture(int w, int h) {
    create(w, h);
}

CPicture::~CPicture() {
    close();
}

void CPicture::create(int w, int h) {
    allocate(w, h, true);
}

void CPicture::createUninitialised(int w, int h) {
    allocate(w, h, false);
}

void CPicture::allocate(int w, int h, bool zeroed) {
    close();
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    uint64_t count = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    // width * height must stay a positive signed 32-bit product everywhere pixels are indexed.
    if (count >= (uint64_t(1) << 31)) throw std::bad_alloc();
    uint8_t* buffer = acquirePixels(size_t(count) * 4, zeroed, &capacity);
    if (!buffer) throw std::bad_alloc();
    pixels = buffer;
    width = w;
    height = h;
}

void CPicture::close() {
    releasePixels(pixels, capacity);
    capacity = 0;
    pixels = nullptr;
    width = 0;
    height = 0;
    transparencyMode = TRANSPARENCY_NONE;
}

void CPicture::preMultiplyAlpha() {
    if (transparencyMode != TRANSPARENCY_ALPHA) return;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    uint8_t* p = pixels;
    for (size_t i = 0; i < count; ++i, p += 4) {
        unsigned a = p[3];
        // (a + 1) keeps alpha 255 exact and turns alpha 0 into colour 0.
        for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * (a + 1)) >> 8);
        p[3] = static_cast<uint8_t>(255 - a);
    }
    transparencyMode = TRANSPARENCY_PREMULTIPLIED;
}

void CPicture::undoPreMultiplication() {
    if (transparencyMode != TRANSPARENCY_PREMULTIPLIED) return;
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    uint8_t* p = pixels;
    for (size_t i = 0; i < count; ++i, p += 4) {
        // Byte 3 held 255 - alpha and the colours were scaled by (alpha + 1) / 256.
        unsigned alpha = 255u - p[3];
        p[3] = static_cast<uint8_t>(alpha);
        for (int c = 0; c < 3; ++c) {
            unsigned v = p[c] * 256u / (alpha + 1);
            p[c] = static_cast<uint8_t>(v > 255 ? 255 : v);
        }
    }
    transparencyMode = TRANSPARENCY_ALPHA;
}

namespace {

// One axis of a block copy: the first source and destination index and the count.
struct BlitSpan {
    int64_t count;  // negative: nothing to copy, and the source is not touched
    int64_t srcStart;
    int64_t dstStart;
};

// Clipping of one axis. The arithmetic is the historical one (it decides when a mode-2 source is
// converted); it is done in 64 bits so that extreme arguments cannot overflow.
BlitSpan clipSpan(int64_t srcSize, int64_t dstSize, int64_t s, int64_t d, int64_t n) {
    int64_t n1 = s + n > srcSize ? srcSize - s : n;
    int64_t n2 = d + n1 > dstSize ? dstSize - d : n1;
    int64_t d2 = d - std::min<int64_t>(s, 0);
    BlitSpan span;
    span.count = n2 + std::min<int64_t>(s, 0) + std::min<int64_t>(d2, 0);
    span.dstStart = std::max<int64_t>(d2, 0);
    span.srcStart = std::max<int64_t>(s, 0) - std::min<int64_t>(d2, 0);
    return span;
}

bool spanStartsInside(const BlitSpan& span, int64_t srcSize, int64_t dstSize) {
    return span.count >= 0 && span.srcStart < srcSize && span.dstStart < dstSize;
}

// Never more than both pictures hold from the start positions; the clipping above already
// guarantees this, the guard only keeps a future change of it from reaching outside a buffer.
int64_t boundedCount(const BlitSpan& span, int64_t srcSize, int64_t dstSize) {
    return std::min({span.count, srcSize - span.srcStart, dstSize - span.dstStart});
}

void blendMaskRow(uint8_t* d, const uint8_t* s, int64_t count) {
    for (int64_t i = 0; i < count; ++i, d += 4, s += 4) {
        if (s[3] != 0) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
}

// Premultiplied source: byte 3 holds 255 - alpha, the share of the destination that shows through.
void blendPremultipliedRow(uint8_t* d, const uint8_t* s, int64_t count) {
    for (int64_t i = 0; i < count; ++i, d += 4, s += 4) {
        unsigned a = s[3];
        for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>(s[c] + ((d[c] * a) >> 8));
    }
}

}  // namespace

void CPicture::bitblt(CPicture* dst, int dx, int dy, int w, int h, CPicture* src, int sx, int sy) {
    if (!dst || !src || dst->isEmpty() || src->isEmpty()) return;
    BlitSpan cols = clipSpan(src->width, dst->width, sx, dx, w);
    BlitSpan rows = clipSpan(src->height, dst->height, sy, dy, h);
    if (!spanStartsInside(cols, src->width, dst->width) || !spanStartsInside(rows, src->height, dst->height))
        return;
    src->preMultiplyAlpha();
    int64_t count = boundedCount(cols, src->width, dst->width);
    int64_t lines = boundedCount(rows, src->height, dst->height);
    for (int64_t j = 0; j < lines; ++j) {
        uint8_t* d = dst->pixelAt(static_cast<int>(cols.dstStart), static_cast<int>(rows.dstStart + j));
        const uint8_t* s = src->pixelAt(static_cast<int>(cols.srcStart), static_cast<int>(rows.srcStart + j));
        switch (src->transparencyMode) {
            case TRANSPARENCY_NONE:
                // memmove: a picture may be copied onto itself.
                memmove(d, s, static_cast<size_t>(count) * 4);
                break;
            case TRANSPARENCY_MASK:
                blendMaskRow(d, s, count);
                break;
            case TRANSPARENCY_PREMULTIPLIED:
                blendPremultipliedRow(d, s, count);
                break;
            default:
                return;
        }
    }
}

namespace {

// Where source pixel (x, y) of a w x h picture lands for an EXIF orientation code.
void copyTurned(const CPicture& in, CPicture& out, int code) {
    const int w = in.width, h = in.height;
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = in.pixelAt(0, y);
        for (int x = 0; x < w; ++x, s += 4) {
            uint8_t* d = code == 6   ? out.pixelAt(h - 1 - y, x)
                         : code == 8 ? out.pixelAt(y, w - 1 - x)
                                     : out.pixelAt(w - 1 - x, h - 1 - y);
            memcpy(d, s, 4);
        }
    }
}

}  // namespace

// Codes other than 3, 6 and 8 are no quarter turn: nullptr. An empty picture turns into an empty one.
CPicture* CPicture::rotate90(int code) {
    if (code != 3 && code != 6 && code != 8) return nullptr;
    CPicture* out = new CPicture();
    if (isEmpty()) return out;
    try {
        if (code == 3)
            out->create(width, height);
        else
            out->create(height, width);
    } catch (...) {
        delete out;
        throw;
    }
    copyTurned(*this, *out, code);
    return out;
}
