// SPDX-License-Identifier: MIT
// The wide kernels: eight (AVX2) or sixteen (AVX-512) neighbouring output pixels per step, two
// pixels (four channels each) per 256-bit half. Every lane is plain IEEE single precision and keeps
// its pixel's order of additions; there is no fused multiply-add. Only the functions marked AVX2 or
// AVX512 use those instructions: the rest of the file (the standard library's code among it) stays
// runnable on any x86-64 processor.
#include "picture/ResampleKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#define PIXMILL_AVX2 __attribute__((target("avx2")))
#define PIXMILL_AVX512 __attribute__((target("avx2,avx512f")))

namespace resample {
namespace {

PIXMILL_AVX2 inline __m128 pixelAt(const float* row, int col) {
    return _mm_load_ps(row + size_t(col) * 4);
}

// Two pixels that lie apart in the row: two loads and a shuffle.
PIXMILL_AVX2 inline __m256 pixelPair(const float* row, int lo, int hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(pixelAt(row, lo)), pixelAt(row, hi), 1);
}

// Clamped, truncated and packed: the same as the scalar rule on every lane.
PIXMILL_AVX2 inline void storePair(uint8_t* out, __m256 sum, int channels) {
    __m256 clamped = _mm256_min_ps(_mm256_max_ps(sum, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
    __m256i ints = _mm256_cvttps_epi32(clamped);
    __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(ints), _mm256_extracti128_si256(ints, 1));
    uint64_t bytes = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(words, words)));
    if (channels == 3) {
        // Byte 3 of opaque pictures keeps what the output already holds.
        uint64_t old;
        memcpy(&old, out, 8);
        const uint64_t keep = 0xFF000000FF000000ull;
        bytes = (bytes & ~keep) | (old & keep);
    }
    memcpy(out, &bytes, 8);
}

PIXMILL_AVX2 inline void storeOne(uint8_t* out, __m128 sum, int channels) {
    __m128 clamped = _mm_min_ps(_mm_max_ps(sum, _mm_setzero_ps()), _mm_set1_ps(255.0f));
    __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(clamped), _mm_setzero_si128());
    uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
    memcpy(out, &bytes, static_cast<size_t>(channels));
}

// Two pairs of neighbouring pixels in one 512-bit vector, and the halves of one.
PIXMILL_AVX512 inline __m512 twoPairs(const float* lo, const float* hi) {
    return __builtin_shufflevector(_mm256_loadu_ps(lo), _mm256_loadu_ps(hi), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                   11, 12, 13, 14, 15);
}
// Lane q of every 128-bit quarter, spread over the quarter.
template <int Q>
PIXMILL_AVX512 inline __m512 spread(__m512 v) {
    return __builtin_shufflevector(v, v, Q, Q, Q, Q, 4 + Q, 4 + Q, 4 + Q, 4 + Q, 8 + Q, 8 + Q, 8 + Q, 8 + Q, 12 + Q,
                                   12 + Q, 12 + Q, 12 + Q);
}
PIXMILL_AVX512 inline __m256 lowHalf(__m512 v) {
    return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
}
PIXMILL_AVX512 inline __m256 highHalf(__m512 v) {
    return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
}

// A group of output pixels as `Pairs` pairs (four for AVX2, eight for AVX-512). Two ways to feed
// a pair:
// - shifted: the pair's second pixel runs `shift` column taps behind its first, so that at every
//   step the two read neighbouring source pixels and one load fetches both. Steps where a pixel has
//   no tap carry the weight 0, whose product is a zero and leaves the sum exactly as it is (a sum
//   that starts at +0 is never -0, so adding a zero of either sign changes nothing).
// - gathered: both pixels at the same tap, each loaded on its own (where taps are clamped at the
//   edges, or the shifted steps would read beyond the row).
struct Group {
    bool shifted = false;
    int steps = 0;       // column steps per row tap
    int firstColumn[8];  // shifted: the column read by each pair's first lane at step 0
    size_t weights = 0;  // offset of the weights: shifted, steps x 2 Pairs; gathered, taps x 8 Pairs
    size_t columns = 0;  // gathered: offset of taps x 2 Pairs source columns
};

// The plan of one row: groups of 2 x Pairs output pixels from column `from` on, as long as their
// sample columns lie in the source.
template <int N, int Pairs>
struct RowPlan {
    static constexpr int kPixels = 2 * Pairs;

    RowPlan(const AxisTable& table, int dstW, int from) : cols(table) {
        grouped = from;
        for (int j = from; j + kPixels <= dstW && cols.inside[size_t(j) + kPixels - 1]; j += kPixels) {
            Group g;
            if (!planShifted(j, g)) planGathered(j, g);
            groups.push_back(g);
            grouped = j + kPixels;
        }
    }

    int tap(int pixel, int t) const { return cols.index[size_t(pixel) * N + t]; }
    float weight(int pixel, int t) const { return cols.weight[size_t(pixel) * N + t]; }

    // True when every pixel of the group reads N neighbouring, unclamped columns and the shifted
    // steps stay inside the row; fills the plan then.
    bool planShifted(int j, Group& g) {
        int shift[Pairs], steps = 0;
        for (int p = 0; p < kPixels; ++p)
            for (int t = 0; t < N; ++t)
                if (tap(j + p, t) != tap(j + p, 0) + t) return false;
        for (int q = 0; q < Pairs; ++q) {
            const int a = j + 2 * q, b = a + 1;
            // Lane b reads column first(a) + s + 1 at step s, which is its tap s - shift.
            shift[q] = tap(b, 0) - tap(a, 0) - 1;
            if (shift[q] < 0) return false;
            steps = std::max(steps, N + shift[q]);
        }
        for (int q = 0; q < Pairs; ++q)
            // The last step reads two pixels from the pair's first column + steps - 1.
            if (tap(j + 2 * q, 0) + steps > cols.sourceSize - 1) return false;
        // Shifted steps pay off only when they are not many more than the taps.
        if (steps > N + N / 2 + 1) return false;
        g.shifted = true;
        g.steps = steps;
        g.weights = weights.size();
        for (int q = 0; q < Pairs; ++q) g.firstColumn[q] = tap(j + 2 * q, 0);
        // Per step, the weights of all pairs once each (see compactLane); the kernels spread each
        // over its four channels.
        for (int s = 0; s < steps; ++s) {
            float compact[2 * Pairs];
            for (int q = 0; q < Pairs; ++q) {
                const int a = j + 2 * q, b = a + 1, tb = s - shift[q];
                compact[compactLane(q)] = s < N ? weight(a, s) : 0.0f;
                compact[compactLane(q) + 4] = tb >= 0 && tb < N ? weight(b, tb) : 0.0f;
            }
            weights.insert(weights.end(), compact, compact + 2 * Pairs);
        }
        return true;
    }

    // Where a shifted step keeps the weight of pair q's first pixel; its second pixel's is four
    // lanes on. Four pairs: [a0 a1 a2 a3 | b0 b1 b2 b3], so that an in-lane shuffle by q makes pair
    // q's vector [a_q x4 | b_q x4]. Eight pairs: [a0 a2 a4 a6 | b0 b2 b4 b6 | a1 a3 a5 a7 | b1 b3 b5
    // b7], so that the shuffle by h makes the vector of pairs 2h and 2h + 1.
    static int compactLane(int q) { return Pairs == 8 ? (q % 2) * 8 + q / 2 : q; }

    void planGathered(int j, Group& g) {
        g.shifted = false;
        g.weights = weights.size();
        g.columns = columns.size();
        for (int t = 0; t < N; ++t) {
            for (int q = 0; q < Pairs; ++q)
                for (int lane = 0; lane < 8; ++lane) weights.push_back(weight(j + 2 * q + lane / 4, t));
            for (int p = 0; p < kPixels; ++p) columns.push_back(tap(j + p, t));
        }
    }

    AxisTable cols;
    int grouped = 0;
    std::vector<Group> groups;
    std::vector<float> weights;  // eight lanes per vector
    std::vector<int> columns;
};

// Four pairs of a shifted group, four chains of 256-bit sums. The weights of a step are multiplied
// by the row weight once for all pairs and then spread: lane for lane the same products.
template <int N, bool RowsOuter>
PIXMILL_AVX2 void runShifted4(const float* const* rows, const float* wy, const Group& g, const float* wx,
                              uint8_t* out, int channels) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    const size_t c0 = size_t(g.firstColumn[0]) * 4, c1 = size_t(g.firstColumn[1]) * 4,
                 c2 = size_t(g.firstColumn[2]) * 4, c3 = size_t(g.firstColumn[3]) * 4;
    auto step = [&](const float* p, __m256 w) PIXMILL_AVX2 {
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_loadu_ps(p + c0), _mm256_permute_ps(w, 0x00)));
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(p + c1), _mm256_permute_ps(w, 0x55)));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(_mm256_loadu_ps(p + c2), _mm256_permute_ps(w, 0xAA)));
        a3 = _mm256_add_ps(a3, _mm256_mul_ps(_mm256_loadu_ps(p + c3), _mm256_permute_ps(w, 0xFF)));
    };
    if (RowsOuter) {
        // Row tap k outer; the column steps inner.
        for (int k = 0; k < N; ++k) {
            const float* r = rows[k];
            const __m256 y = _mm256_broadcast_ss(wy + k);
            for (int s = 0; s < g.steps; ++s)
                step(r + size_t(s) * 4, _mm256_mul_ps(_mm256_loadu_ps(wx + 8 * size_t(s)), y));
        }
    } else {
        // Column steps outer; the row taps inner.
        for (int s = 0; s < g.steps; ++s) {
            const __m256 w = _mm256_loadu_ps(wx + 8 * size_t(s));
            for (int l = 0; l < N; ++l) step(rows[l] + size_t(s) * 4, _mm256_mul_ps(w, _mm256_broadcast_ss(wy + l)));
        }
    }
    storePair(out, a0, channels);
    storePair(out + 8, a1, channels);
    storePair(out + 16, a2, channels);
    storePair(out + 24, a3, channels);
}

// Eight pairs of a shifted group: two pairs per 512-bit vector, four chains. Every lane computes
// what the 256-bit code computes for it, in the same order.
template <int N, bool RowsOuter>
PIXMILL_AVX512 void runShifted8(const float* const* rows, const float* wy, const Group& g, const float* wx,
                                uint8_t* out, int channels) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t c[8];
    for (int q = 0; q < 8; ++q) c[q] = size_t(g.firstColumn[q]) * 4;
    auto step = [&](const float* p, __m512 w) PIXMILL_AVX512 {
        a0 = _mm512_add_ps(a0, _mm512_mul_ps(twoPairs(p + c[0], p + c[1]), spread<0>(w)));
        a1 = _mm512_add_ps(a1, _mm512_mul_ps(twoPairs(p + c[2], p + c[3]), spread<1>(w)));
        a2 = _mm512_add_ps(a2, _mm512_mul_ps(twoPairs(p + c[4], p + c[5]), spread<2>(w)));
        a3 = _mm512_add_ps(a3, _mm512_mul_ps(twoPairs(p + c[6], p + c[7]), spread<3>(w)));
    };
    if (RowsOuter) {
        for (int k = 0; k < N; ++k) {
            const float* r = rows[k];
            const __m512 y = _mm512_set1_ps(wy[k]);
            for (int s = 0; s < g.steps; ++s)
                step(r + size_t(s) * 4, _mm512_mul_ps(_mm512_loadu_ps(wx + 16 * size_t(s)), y));
        }
    } else {
        for (int s = 0; s < g.steps; ++s) {
            const __m512 w = _mm512_loadu_ps(wx + 16 * size_t(s));
            for (int l = 0; l < N; ++l) step(rows[l] + size_t(s) * 4, _mm512_mul_ps(w, _mm512_set1_ps(wy[l])));
        }
    }
    const __m512 sums[4] = {a0, a1, a2, a3};
    for (int h = 0; h < 4; ++h) {
        storePair(out + 16 * h, lowHalf(sums[h]), channels);
        storePair(out + 16 * h + 8, highHalf(sums[h]), channels);
    }
}

// Four pairs of a gathered group, at `pair0` of a plan of `Pairs` pairs per vector set.
template <int N, bool RowsOuter, int Pairs>
PIXMILL_AVX2 void runGathered4(const float* const* rows, const float* wy, const float* wx, const int* col,
                               uint8_t* out, int channels) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int k = 0; k < N; ++k) {
        for (int l = 0; l < N; ++l) {
            const float* r = RowsOuter ? rows[k] : rows[l];
            const int t = RowsOuter ? l : k;
            const __m256 y = _mm256_broadcast_ss(RowsOuter ? wy + k : wy + l);
            const float* w = wx + 8 * Pairs * t;
            const int* c = col + 2 * Pairs * t;
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(pixelPair(r, c[0], c[1]), _mm256_mul_ps(_mm256_loadu_ps(w), y)));
            a1 = _mm256_add_ps(a1,
                               _mm256_mul_ps(pixelPair(r, c[2], c[3]), _mm256_mul_ps(_mm256_loadu_ps(w + 8), y)));
            a2 = _mm256_add_ps(a2,
                               _mm256_mul_ps(pixelPair(r, c[4], c[5]), _mm256_mul_ps(_mm256_loadu_ps(w + 16), y)));
            a3 = _mm256_add_ps(a3,
                               _mm256_mul_ps(pixelPair(r, c[6], c[7]), _mm256_mul_ps(_mm256_loadu_ps(w + 24), y)));
        }
    }
    storePair(out, a0, channels);
    storePair(out + 8, a1, channels);
    storePair(out + 16, a2, channels);
    storePair(out + 24, a3, channels);
}

// One pixel on its own, as at the end of a row.
template <int N, bool RowsOuter>
PIXMILL_AVX2 __m128 onePixel(const float* const* rows, const float* wy, const float* wx, const int* c) {
    __m128 acc = _mm_setzero_ps();
    for (int k = 0; k < N; ++k)
        for (int l = 0; l < N; ++l) {
            const float w = RowsOuter ? wx[l] * wy[k] : wy[l] * wx[k];
            const __m128 p = RowsOuter ? pixelAt(rows[k], c[l]) : pixelAt(rows[l], c[k]);
            acc = _mm_add_ps(acc, _mm_mul_ps(p, _mm_set1_ps(w)));
        }
    return acc;
}

// Groups of eight pixels (AVX2) from column `from`, then single pixels to the end of the row.
template <int N, bool RowsOuter>
class Avx2Kernel final : public FloatRowKernel {
  public:
    Avx2Kernel(const AxisTable& table, int dstW, int channels, int from = 0)
        : FloatRowKernel(N, table.sourceSize, widenerFor(8)), plan(table, dstW, from), from(from), dstW(dstW),
          channels(channels) {}

    PIXMILL_AVX2 void runFloat(const float* const* rows, const float* wy, uint8_t* out) const override {
        for (size_t i = 0; i < plan.groups.size(); ++i) {
            const Group& g = plan.groups[i];
            uint8_t* o = out + (size_t(from) + i * 8) * 4;
            if (g.shifted)
                runShifted4<N, RowsOuter>(rows, wy, g, plan.weights.data() + g.weights, o, channels);
            else
                runGathered4<N, RowsOuter, 4>(rows, wy, plan.weights.data() + g.weights,
                                              plan.columns.data() + g.columns, o, channels);
        }
        const AxisTable& cols = plan.cols;
        for (int j = plan.grouped; j < dstW; ++j) {
            __m128 sum = _mm_setzero_ps();
            if (cols.inside[size_t(j)])
                sum = onePixel<N, RowsOuter>(rows, wy, cols.weight.data() + size_t(j) * N,
                                             cols.index.data() + size_t(j) * N);
            storeOne(out + size_t(j) * 4, sum, channels);
        }
    }

  private:
    RowPlan<N, 4> plan;
    int from, dstW, channels;
};

// Groups of sixteen pixels (AVX-512 where shifted, AVX2 halves where gathered); the rest of the
// row goes to the AVX2 kernel.
template <int N, bool RowsOuter>
class Avx512Kernel final : public FloatRowKernel {
  public:
    Avx512Kernel(const AxisTable& table, int dstW, int channels)
        : FloatRowKernel(N, table.sourceSize, widenerFor(16)), plan(table, dstW, 0),
          rest(table, dstW, channels, plan.grouped), channels(channels) {}

    void runFloat(const float* const* rows, const float* wy, uint8_t* out) const override {
        for (size_t i = 0; i < plan.groups.size(); ++i) {
            const Group& g = plan.groups[i];
            uint8_t* o = out + i * 64;
            const float* w = plan.weights.data() + g.weights;
            if (g.shifted) {
                runShifted8<N, RowsOuter>(rows, wy, g, w, o, channels);
            } else {
                const int* c = plan.columns.data() + g.columns;
                runGathered4<N, RowsOuter, 8>(rows, wy, w, c, o, channels);
                runGathered4<N, RowsOuter, 8>(rows, wy, w + 32, c + 8, o + 32, channels);
            }
        }
        rest.runFloat(rows, wy, out);
    }

  private:
    RowPlan<N, 8> plan;
    Avx2Kernel<N, RowsOuter> rest;
    int channels;
};

PIXMILL_AVX2 void widenRowAvx2(const uint8_t* p, float* out, int pixels) {
    int x = 0;
    for (; x + 2 <= pixels; x += 2) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + size_t(x) * 4));
        _mm256_storeu_ps(out + size_t(x) * 4, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)));
    }
    for (; x < pixels; ++x)
        for (int c = 0; c < 4; ++c) out[size_t(x) * 4 + c] = float(p[size_t(x) * 4 + c]);
}

PIXMILL_AVX512 void widenRowAvx512(const uint8_t* p, float* out, int pixels) {
    int x = 0;
    // The zero-masked forms, with every lane selected: the plain ones leave GCC thinking a lane
    // may be undefined.
    for (; x + 4 <= pixels; x += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + size_t(x) * 4));
        _mm512_storeu_ps(out + size_t(x) * 4, _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepu8_epi32(0xFFFF, bytes)));
    }
    widenRowAvx2(p + size_t(x) * 4, out + size_t(x) * 4, pixels - x);
}

template <template <int, bool> class Kernel, bool RowsOuter>
std::unique_ptr<RowKernel> kernelFor(const AxisTable& cols, int dstW, int channels) {
    if (cols.taps == 2) return std::unique_ptr<RowKernel>(new Kernel<2, RowsOuter>(cols, dstW, channels));
    if (cols.taps == 6) return std::unique_ptr<RowKernel>(new Kernel<6, RowsOuter>(cols, dstW, channels));
    return std::unique_ptr<RowKernel>(new Kernel<17, RowsOuter>(cols, dstW, channels));
}

}  // namespace

std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return rowsOuter ? kernelFor<Avx2Kernel, true>(cols, dstW, channels)
                     : kernelFor<Avx2Kernel, false>(cols, dstW, channels);
}

std::unique_ptr<RowKernel> makeAvx512Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return rowsOuter ? kernelFor<Avx512Kernel, true>(cols, dstW, channels)
                     : kernelFor<Avx512Kernel, false>(cols, dstW, channels);
}

WidenRow widenerFor(int width) {
    if (width >= 16) return widenRowAvx512;
    if (width >= 8) return widenRowAvx2;
    return widenRowSse2;
}

}  // namespace resample

#else

namespace resample {
std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return makeSse2Kernel(cols, dstW, channels, rowsOuter);
}
std::unique_ptr<RowKernel> makeAvx512Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return makeSse2Kernel(cols, dstW, channels, rowsOuter);
}
WidenRow widenerFor(int) {
    return widenRowSse2;
}
}  // namespace resample

#endif
