// SPDX-License-Identifier: MIT
// Unsharp mask: the blur is separable and exact in integers, so it is summed a row at a time
// (horizontal sums of three rows kept) and gives the same bytes as the 3 x 3 sum.
#include "picture/Sharpen.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// floor(a / 128) for any sign, without relying on how >> treats negative numbers.
int floorDiv128(int a) {
    return a >= 0 ? a / 128 : -((-a + 127) / 128);
}

// Sums 1 2 1 along a row of width w for the three colour channels: 3 ints per pixel.
void rowSums(const uint8_t* row, int w, int* out) {
    for (int x = 0; x < w; ++x) {
        const uint8_t* left = row + size_t(std::max(x - 1, 0)) * 4;
        const uint8_t* centre = row + size_t(x) * 4;
        const uint8_t* right = row + size_t(std::min(x + 1, w - 1)) * 4;
        for (int c = 0; c < 3; ++c) out[x * 3 + c] = left[c] + 2 * centre[c] + right[c];
    }
}

}  // namespace

void sharpenPicture(CPicture& picture, int amount) {
    const int w = picture.width, h = picture.height;
    if (amount == 0 || w == 0 || h == 0) return;
    // Sums of the row above, this row and the row below, from the rows as they were.
    std::vector<int> above(size_t(w) * 3), here(size_t(w) * 3), below(size_t(w) * 3);
    std::vector<uint8_t> original(size_t(w) * 4);  // this row before it is changed
    rowSums(picture.pixelAt(0, 0), w, here.data());
    above = here;
    for (int y = 0; y < h; ++y) {
        rowSums(picture.pixelAt(0, std::min(y + 1, h - 1)), w, below.data());
        uint8_t* row = picture.pixelAt(0, y);
        memcpy(original.data(), row, original.size());
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int i = x * 3 + c, v = original[size_t(x) * 4 + size_t(c)];
                const int blur = (above[size_t(i)] + 2 * here[size_t(i)] + below[size_t(i)] + 8) >> 4;
                const int out = v + floorDiv128(amount * (v - blur) + 64);
                row[size_t(x) * 4 + size_t(c)] = uint8_t(std::min(255, std::max(0, out)));
            }
        }
        above.swap(here);
        here.swap(below);
    }
}
