// SPDX-License-Identifier: MIT
// Nearest-neighbour resampling: each output pixel copies the source pixel at its sample position.
#include "picture/NearestRows.h"

#include <algorithm>
#include <cstring>

namespace {

// The truncated sample positions along one axis, as the other filters form them (repeated
// addition in double precision); -1 where the position lies beyond the source.
std::vector<int> samplePositions(int sourceSize, int outputSize) {
    std::vector<int> positions(size_t(std::max(outputSize, 0)), -1);
    const double scale = double(sourceSize) / outputSize;
    double at = 0;
    for (int i = 0; i < outputSize; ++i, at += scale)
        if (at < sourceSize) positions[size_t(i)] = int(at);
    return positions;
}

// A position counted from the other end (a turn mirrors that axis); -1 stays.
std::vector<int> mirrored(std::vector<int> positions, int size) {
    for (int& p : positions)
        if (p >= 0) p = size - 1 - p;
    return positions;
}

}  // namespace

NearestRows::NearestRows(int srcW, int srcH, CPicture& dst, int channels, int turn)
    : dst(dst), channels(channels), columns(turn == 6 || turn == 8) {
    const int turnedW = columns ? srcH : srcW, turnedH = columns ? srcW : srcH;
    std::vector<int> xs = samplePositions(turnedW, dst.width), ys = samplePositions(turnedH, dst.height);
    // turned (tx, ty) is source (ty, srcH - 1 - tx) for 6, (srcW - 1 - ty, tx) for 8 and
    // (srcW - 1 - tx, srcH - 1 - ty) for 3.
    std::vector<int> rowsOf;
    switch (turn) {
        case 6:
            across = ys;
            rowsOf = mirrored(xs, srcH);
            break;
        case 8:
            across = mirrored(ys, srcW);
            rowsOf = xs;
            break;
        case 3:
            across = mirrored(xs, srcW);
            rowsOf = mirrored(ys, srcH);
            break;
        default:
            across = xs;
            rowsOf = ys;
    }
    for (size_t k = 0; k < rowsOf.size(); ++k)
        if (rowsOf[k] >= 0) along.emplace_back(rowsOf[k], int(k));
    std::stable_sort(along.begin(), along.end());
}

void NearestRows::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    for (int r = 0; r < count; ++r) putRow(y + r, rows + size_t(r) * stride);
}

void NearestRows::putRow(int y, const uint8_t* row) {
    const size_t bytes = size_t(channels);
    for (; next < along.size() && along[next].first <= y; ++next) {
        if (along[next].first != y) continue;
        const int target = along[next].second;
        for (size_t k = 0; k < across.size(); ++k) {
            if (across[k] < 0) continue;
            const uint8_t* from = row + size_t(across[k]) * 4;
            uint8_t* to = columns ? dst.pixelAt(target, int(k)) : dst.pixelAt(int(k), target);
            memcpy(to, from, bytes);
        }
    }
}
