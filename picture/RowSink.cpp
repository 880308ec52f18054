// SPDX-License-Identifier: MIT
// Row streams: a whole picture's rows, a rectangle of rows, and rows turned into a picture.
#include "picture/RowSink.h"

#include <algorithm>
#include <cstring>

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

// Source pixel (x, y) goes to (H - 1 - y, x) for code 6, (y, W - 1 - x) for code 8 and
// (W - 1 - x, H - 1 - y) for code 3. A strip of rows lands as a band of columns, so each turned
// row receives `count` neighbouring pixels at a time.
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
    for (int x = 0; x < W; ++x) {
        uint32_t* d = code == 6 ? reinterpret_cast<uint32_t*>(turned.pixelAt(H - 1 - y, x))
                                : reinterpret_cast<uint32_t*>(turned.pixelAt(y, W - 1 - x));
        const uint8_t* s = rows + size_t(x) * 4;
        if (code == 6) {
            for (int i = 0; i < count; ++i, s += stride) memcpy(d - i, s, 4);
        } else {
            for (int i = 0; i < count; ++i, s += stride) memcpy(d + i, s, 4);
        }
    }
}
