// Row streams: a whole picture's rows, a rectangle of rows, and rows turned into a picture.
#include "picture/RowSink.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void putPictureRows(const CPicture& picture, RowSink& sink) {
    if (picture.isEmpty()) return;
    sink.putRows(0, picture.height, picture.pixels, size_t(picture.width) * 4);
}

void PictureRows::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    const size_t bytes = size_t(picture.width) * 4;
    for (int i = 0; i < count; ++i) memcpy(picture.pixelAt(0, y + i), rows + size_t(i) * stride, bytes);
}

RowWindow::RowWindow(RowSink& next, int x0, int y0, int w, int h) : next(next), x0(x0), y0(y0), w(w), h(h) {}

void RowWindow::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    // Only the rows inside the window, moved to its top.
    const int first = std::max(y, y0), last = std::min(y + count, y0 + h);
    if (first >= last) return;
    next.putRows(first - y0, last - first, rows + size_t(first - y) * stride + size_t(x0) * 4, stride);
}

TurningRows::TurningRows(CPicture& turned, int code, int width, int height)
    : turned(turned), code(code), width(width), height(height) {
    if (code == 3)
        turned.createUninitialised(width, height);
    else
        turned.createUninitialised(height, width);
}

void TurningRows::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    const size_t rowBytes = size_t(width) * 4;
    while (count > 0) {
        // Whole strips go straight through; lone rows wait in the strip buffer.
        if (stripCount == 0 && count >= kStrip) {
            turnStrip(y, kStrip, rows, stride);
            y += kStrip;
            rows += size_t(kStrip) * stride;
            count -= kStrip;
            continue;
        }
        if (!strip) strip.reset(new uint8_t[rowBytes * kStrip]);
        if (stripCount == 0) stripFirst = y;
        memcpy(strip.get() + size_t(stripCount) * rowBytes, rows, rowBytes);
        ++stripCount;
        ++y;
        rows += stride;
        --count;
        if (stripCount == kStrip || stripFirst + stripCount == height) {
            turnStrip(stripFirst, stripCount, strip.get(), rowBytes);
            stripCount = 0;
        }
    }
}

namespace {

#if defined(__SSE2__)
// Four pixels of four rows, turned: out[k] holds pixel k of rows 0..3 in row order, or in reverse
// order when `reverse`.
inline void turnBlock(const uint8_t* rows, size_t stride, bool reverse, __m128i out[4]) {
    const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows));
    const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + stride));
    const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + 2 * stride));
    const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + 3 * stride));
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpackhi_epi32(r0, r1);
    const __m128i t2 = _mm_unpacklo_epi32(r2, r3), t3 = _mm_unpackhi_epi32(r2, r3);
    out[0] = _mm_unpacklo_epi64(t0, t2);
    out[1] = _mm_unpackhi_epi64(t0, t2);
    out[2] = _mm_unpacklo_epi64(t1, t3);
    out[3] = _mm_unpackhi_epi64(t1, t3);
    if (reverse)
        for (int k = 0; k < 4; ++k) out[k] = _mm_shuffle_epi32(out[k], _MM_SHUFFLE(0, 1, 2, 3));
}
#endif

}  // namespace

// Source pixel (x, y) goes to (H - 1 - y, x) for code 6, (y, W - 1 - x) for code 8 and
// (W - 1 - x, H - 1 - y) for code 3. A strip of rows lands as a band of columns, so each turned
// row receives `count` neighbouring pixels at a time; blocks of four by four pixels are turned in
// registers, the edges of the strip pixel by pixel.
void TurningRows::turnStrip(int y, int count, const uint8_t* rows, size_t stride) {
    const int W = width, H = height;
    if (code == 3) {
        for (int i = 0; i < count; ++i) {
            const uint32_t* s = reinterpret_cast<const uint32_t*>(rows + size_t(i) * stride);
            uint32_t* d = reinterpret_cast<uint32_t*>(turned.pixelAt(W - 1, H - 1 - (y + i)));
            for (int x = 0; x < W; ++x) *d-- = s[x];
        }
        return;
    }
    // Turned row of source column x, and the turned pixel of strip row i in it.
    auto target = [&](int x, int i) {
        return code == 6 ? turned.pixelAt(H - 1 - (y + i), x) : turned.pixelAt(y + i, W - 1 - x);
    };
    int x0 = 0, i0 = 0;
#if defined(__SSE2__)
    x0 = W / 4 * 4;
    i0 = count / 4 * 4;
    for (int x = 0; x < x0; x += 4)
        for (int i = 0; i < i0; i += 4) {
            __m128i columns[4];
            turnBlock(rows + size_t(i) * stride + size_t(x) * 4, stride, code == 6, columns);
            // Code 6 puts the strip's rows right to left: the block's leftmost pixel is row i + 3.
            for (int k = 0; k < 4; ++k)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(target(x + k, code == 6 ? i + 3 : i)), columns[k]);
        }
#endif
    // What the blocks left: the last rows of the strip under the blocks, then the last columns.
    for (int x = 0; x < x0; ++x)
        for (int i = i0; i < count; ++i) memcpy(target(x, i), rows + size_t(i) * stride + size_t(x) * 4, 4);
    for (int x = x0; x < W; ++x)
        for (int i = 0; i < count; ++i) memcpy(target(x, i), rows + size_t(i) * stride + size_t(x) * 4, 4);
}
