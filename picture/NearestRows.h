// SPDX-License-Identifier: MIT
// Nearest-neighbour resampling fed row by row, for pixel art and screenshots at whole multiples.
#pragma once

#include <utility>
#include <vector>

#include "picture/RowSink.h"

// Fills `dst` (created by the caller, zeroed, any size) from a source of srcW x srcH whose rows are
// then put in order. Output pixel (j, i) is the source pixel under the sample position the other
// filters use, (j * srcW / dstW, i * srcH / dstH) formed by repeated addition and truncated, so a
// whole-multiple enlargement repeats every pixel exactly. A position beyond the source gives a
// zero pixel. `channels` 3 leaves byte 3 of the output alone. With `turn` (EXIF code 6, 8 or 3)
// the source is turned so first, without the turned picture being made.
class NearestRows final : public RowSink {
  public:
    NearestRows(int srcW, int srcH, CPicture& dst, int channels, int turn = 0);
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;
    bool needsByte3() const override { return channels == 4; }

  private:
    void putRow(int y, const uint8_t* row);

    CPicture& dst;
    int channels;
    bool columns;  // a source row fills output columns (quarter turns), not output rows
    // The source column of each output pixel along the other axis; -1 beyond the source.
    std::vector<int> across;
    // (source row, output row or column) pairs in source-row order, and the next one to serve.
    std::vector<std::pair<int, int>> along;
    size_t next = 0;
};
