// SPDX-License-Identifier: MIT
// Resampling in linear light, fed row by row: sRGB bytes decoded to linear light, resampled in
// single precision with the filters' own weights and order, and encoded back.
#pragma once

#include <vector>

#include "picture/RowSink.h"

// The sRGB transfer: the linear value of each byte (exact to single precision), and a linear value
// back to a byte (clamped to 0..1, encoded in double precision, rounded to nearest).
float linearOfByte(uint8_t v);
uint8_t byteOfLinear(float linear);

// Fills `dst` (created by the caller, zeroed, any size) from a source of srcW x srcH with filter 1,
// 2 or 3. Every output pixel is the sum the filter defines (sample position, taps, weights, clamped
// reads and the order of additions as the other filters), formed over the linear values of colour
// bytes 0 to 2 and then encoded; byte 3, when `channels` is 4, is summed over its bytes and clamped
// and truncated as the other filters do. Source rows are held only while an output row reads them.
class LinearRows final : public RowSink {
  public:
    LinearRows(int srcW, int srcH, CPicture& dst, int filter, int channels);
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;
    bool needsByte3() const override { return channels == 4; }

  private:
    void produce(int i, double y);
    const float* row(int index) const { return ring.data() + size_t(index % ringRows) * size_t(srcW) * 4; }

    int srcW, srcH;
    CPicture& dst;
    int filter, channels;
    int before, after;  // rows read above and below the sample row
    int ringRows;
    std::vector<float>
        ring;  // source rows as floats (linear colours, plain byte 3), row r in slot r % ringRows
    int received = 0;
    int nextOutput = 0;
    double nextY = 0;
};
