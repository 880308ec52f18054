// SPDX-License-Identifier: MIT
// Internal to the resampler: the weight tables of one axis and the kernels that turn the tapped
// source rows into one output row. Each kernel computes every sum in the order the resampler
// defines, in plain IEEE single precision; wider kernels only run several pixels side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace resample {

// Weights and clamped source indices of one axis, `taps` per output index; `inside` is false where
// the sample position lies beyond the source (that output is zero).
struct AxisTable {
    int taps = 0;
    int sourceSize = 0;
    std::vector<float> weight;
    std::vector<int> index;
    std::vector<uint8_t> inside;
};

// One output row of a tapped filter. Each source row the output reads is first prepared (widened
// to floats, or gathered per output pixel) into `preparedBytes()` bytes; `run` then takes the
// prepared rows of the row taps in tap order, `wy` their weights, and writes the output row `out`.
class RowKernel {
  public:
    virtual ~RowKernel() = default;
    virtual size_t preparedBytes() const = 0;
    virtual void prepare(const uint8_t* row, uint8_t* prepared) const = 0;
    virtual void run(const uint8_t* const* rows, const float* wy, uint8_t* out) const = 0;
};

// Byte rows to float rows (four floats per pixel; exact, as every byte value is a float), by the
// kernel width: plain or SSE2, AVX2, AVX-512.
typedef void (*WidenRow)(const uint8_t* bytes, float* out, int pixels);
void widenRowSse2(const uint8_t* bytes, float* out, int pixels);
WidenRow widenerFor(int width);

// The kernels that read float rows: their rows are prepared by widening.
class FloatRowKernel : public RowKernel {
  public:
    FloatRowKernel(int taps, int sourceWidth, WidenRow widen) : taps(taps), sourceWidth(sourceWidth), widen(widen) {}
    size_t preparedBytes() const override { return size_t(sourceWidth) * 4 * sizeof(float); }
    void prepare(const uint8_t* row, uint8_t* prepared) const override {
        widen(row, reinterpret_cast<float*>(prepared), sourceWidth);
    }
    void run(const uint8_t* const* rows, const float* wy, uint8_t* out) const override {
        const float* floatRows[17];
        for (int t = 0; t < taps; ++t) floatRows[t] = reinterpret_cast<const float*>(rows[t]);
        runFloat(floatRows, wy, out);
    }

    virtual void runFloat(const float* const* rows, const float* wy, uint8_t* out) const = 0;

  private:
    int taps, sourceWidth;
    WidenRow widen;
};

// Kernels by the number of output pixels computed at once: 1, 4, 8 or 16 (the four channels of a
// pixel side by side), or 32 (sixteen pixels of one channel per vector, from rows gathered per
// output pixel). `rowsOuter` is the order of filter 3 (rows outer, weight wx * wy); filters 1 and 2
// take columns outer (wy * wx).
std::unique_ptr<RowKernel> makePlainKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeSse2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeAvx512Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makePlanarKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);

}  // namespace resample
