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

// One output row of a tapped filter. `rows` are the float rows (four floats per pixel) of the row
// taps in tap order, `wy` their weights; `out` is the output row.
class RowKernel {
  public:
    virtual ~RowKernel() = default;
    virtual void run(const float* const* rows, const float* wy, uint8_t* out) const = 0;
};

// Kernels by the number of output pixels computed at once: 1, 4, 8 or 16. `rowsOuter` is the order
// of filter 3 (rows outer, weight wx * wy); filters 1 and 2 take columns outer (wy * wx).
std::unique_ptr<RowKernel> makePlainKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeSse2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);
std::unique_ptr<RowKernel> makeAvx512Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter);

// Byte rows to float rows (four floats per pixel; exact, as every byte value is a float), by the
// kernel width: plain or SSE2, AVX2, AVX-512.
typedef void (*WidenRow)(const uint8_t* bytes, float* out, int pixels);
void widenRowSse2(const uint8_t* bytes, float* out, int pixels);
WidenRow widenerFor(int width);

}  // namespace resample
