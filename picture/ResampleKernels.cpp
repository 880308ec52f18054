// SPDX-License-Identifier: MIT
// The plain kernel (one output pixel at a time, one channel at a time) and the SSE2 kernel (four
// neighbouring output pixels side by side, four channels per vector).
#include "picture/ResampleKernels.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace resample {
namespace {

// Clamps a sum to 0..255 and truncates it toward zero. Filters 2 and 3 need the clamp; filter 1
// never leaves 0..255 (non-negative weights summing to about 1), so it changes none of its results.
uint8_t toByte(float s) {
    s = s < 0.0f ? 0.0f : s > 255.0f ? 255.0f : s;
    return static_cast<uint8_t>(static_cast<int>(s));
}

// The sums of one output pixel, channel by channel, in the order the filter defines.
template <int N, bool RowsOuter>
void plainPixel(const float* const* rows, const float* wy, const float* wx, const int* cols, int channels,
                uint8_t* out) {
    for (int c = 0; c < channels; ++c) {
        float acc = 0.0f;
        for (int k = 0; k < N; ++k)
            for (int l = 0; l < N; ++l) {
                if (RowsOuter)
                    acc += rows[k][size_t(cols[l]) * 4 + c] * (wx[l] * wy[k]);
                else
                    acc += rows[l][size_t(cols[k]) * 4 + c] * (wy[l] * wx[k]);
            }
        out[c] = toByte(acc);
    }
}

template <int N, bool RowsOuter>
class PlainKernel final : public FloatRowKernel {
  public:
    PlainKernel(const AxisTable& cols, int dstW, int channels)
        : FloatRowKernel(N, cols.sourceSize, widenRowSse2), cols(cols), dstW(dstW), channels(channels) {}
    void runFloat(const float* const* rows, const float* wy, uint8_t* out) const override {
        for (int j = 0; j < dstW; ++j) {
            uint8_t* o = out + size_t(j) * 4;
            if (!cols.inside[size_t(j)]) {
                memset(o, 0, size_t(channels));
                continue;
            }
            plainPixel<N, RowsOuter>(rows, wy, cols.weight.data() + size_t(j) * N,
                                     cols.index.data() + size_t(j) * N, channels, o);
        }
    }

  private:
    AxisTable cols;
    int dstW, channels;
};

template <bool RowsOuter>
std::unique_ptr<RowKernel> plainFor(const AxisTable& cols, int dstW, int channels) {
    if (cols.taps == 2)
        return std::unique_ptr<RowKernel>(new PlainKernel<2, RowsOuter>(cols, dstW, channels));
    if (cols.taps == 6)
        return std::unique_ptr<RowKernel>(new PlainKernel<6, RowsOuter>(cols, dstW, channels));
    return std::unique_ptr<RowKernel>(new PlainKernel<17, RowsOuter>(cols, dstW, channels));
}

}  // namespace

std::unique_ptr<RowKernel> makePlainKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return rowsOuter ? plainFor<true>(cols, dstW, channels) : plainFor<false>(cols, dstW, channels);
}

}  // namespace resample

#if !defined(__SSE2__)
namespace resample {
std::unique_ptr<RowKernel> makeSse2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return makePlainKernel(cols, dstW, channels, rowsOuter);
}
}  // namespace resample
#else

namespace resample {
namespace {

// Four single-precision lanes, one per pixel byte. Lane arithmetic is plain IEEE single precision,
// the same as scalar code, so sums come out bit for bit as if written per channel.
typedef float v4sf __attribute__((vector_size(16)));

v4sf splat(float v) {
    return v4sf{v, v, v, v};
}

v4sf floatsAt(const float* row, ptrdiff_t pixel) {
    return *reinterpret_cast<const v4sf*>(row + pixel * 4);
}

// max, min and a truncating conversion: the same as toByte on every lane. Byte 3 is written only
// for four channels.
void storeSum(uint8_t* out, v4sf sum, int channels) {
    __m128 clamped = _mm_min_ps(_mm_max_ps(__m128(sum), _mm_setzero_ps()), _mm_set1_ps(255.0f));
    __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(clamped), _mm_setzero_si128());
    uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
    memcpy(out, &bytes, static_cast<size_t>(channels));
}

template <int N, bool RowsOuter>
v4sf sumOne(const float* const* rows, const float* wy, const float* wx, const int* cols) {
    v4sf acc = {0, 0, 0, 0};
    for (int k = 0; k < N; ++k)
        for (int l = 0; l < N; ++l) {
            if (RowsOuter)
                acc += floatsAt(rows[k], cols[l]) * (wx[l] * wy[k]);
            else
                acc += floatsAt(rows[l], cols[k]) * (wy[l] * wx[k]);
        }
    return acc;
}

// Four neighbouring output pixels at once: four independent chains of additions, each in the
// order of a single pixel, so the adder's latency is hidden without reordering any sum. The four
// weights of a tap are multiplied in one vector: lane p is exactly the scalar product for pixel p.
template <int N, bool RowsOuter>
void sumFour(const float* const* rows, const float* wy, const v4sf* wx, const int* cols, v4sf* out) {
    v4sf a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
    for (int k = 0; k < N; ++k) {
        for (int l = 0; l < N; ++l) {
            const float* r = RowsOuter ? rows[k] : rows[l];
            const int t = RowsOuter ? l : k;
            const v4sf w = RowsOuter ? wx[l] * splat(wy[k]) : splat(wy[l]) * wx[k];
            a0 += floatsAt(r, cols[4 * t]) * splat(w[0]);
            a1 += floatsAt(r, cols[4 * t + 1]) * splat(w[1]);
            a2 += floatsAt(r, cols[4 * t + 2]) * splat(w[2]);
            a3 += floatsAt(r, cols[4 * t + 3]) * splat(w[3]);
        }
    }
    out[0] = a0;
    out[1] = a1;
    out[2] = a2;
    out[3] = a3;
}

template <int N, bool RowsOuter>
class Sse2Kernel final : public FloatRowKernel {
  public:
    Sse2Kernel(const AxisTable& table, int dstW, int channels)
        : FloatRowKernel(N, table.sourceSize, widenRowSse2), cols(table), dstW(dstW), channels(channels) {
        // Groups of four from output column 0 for as long as all four sample columns lie in the
        // source; sample columns grow, so the grouped columns are a prefix of the row.
        for (int j = 0; j + 4 <= dstW && cols.inside[size_t(j) + 3]; j += 4) {
            for (int t = 0; t < N; ++t) {
                v4sf w;
                for (int p = 0; p < 4; ++p) {
                    w[p] = cols.weight[size_t(j + p) * N + t];
                    groupCols.push_back(cols.index[size_t(j + p) * N + t]);
                }
                groupWeights.push_back(w);
            }
            grouped = j + 4;
        }
    }

    void runFloat(const float* const* rows, const float* wy, uint8_t* out) const override {
        for (int j = 0; j < grouped; j += 4) {
            v4sf sums[4];
            const size_t g = size_t(j / 4) * N;
            sumFour<N, RowsOuter>(rows, wy, groupWeights.data() + g, groupCols.data() + 4 * g, sums);
            for (int p = 0; p < 4; ++p) storeSum(out + size_t(j + p) * 4, sums[p], channels);
        }
        for (int j = grouped; j < dstW; ++j) {
            v4sf sum = {0, 0, 0, 0};
            if (cols.inside[size_t(j)])
                sum = sumOne<N, RowsOuter>(rows, wy, cols.weight.data() + size_t(j) * N,
                                           cols.index.data() + size_t(j) * N);
            storeSum(out + size_t(j) * 4, sum, channels);
        }
    }

  private:
    AxisTable cols;
    int dstW, channels;
    int grouped = 0;
    std::vector<v4sf> groupWeights;  // per group and tap: the four pixels' weights
    std::vector<int> groupCols;      // per group, tap and pixel: the source column
};

template <bool RowsOuter>
std::unique_ptr<RowKernel> sse2For(const AxisTable& cols, int dstW, int channels) {
    if (cols.taps == 2) return std::unique_ptr<RowKernel>(new Sse2Kernel<2, RowsOuter>(cols, dstW, channels));
    if (cols.taps == 6) return std::unique_ptr<RowKernel>(new Sse2Kernel<6, RowsOuter>(cols, dstW, channels));
    return std::unique_ptr<RowKernel>(new Sse2Kernel<17, RowsOuter>(cols, dstW, channels));
}

}  // namespace

std::unique_ptr<RowKernel> makeSse2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return rowsOuter ? sse2For<true>(cols, dstW, channels) : sse2For<false>(cols, dstW, channels);
}

}  // namespace resample
#endif
