// The AVX2 kernel: eight neighbouring output pixels per step, two pixels (four channels each) per
// 256-bit vector. Every lane is plain IEEE single precision and keeps its pixel's order of
// additions; there is no fused multiply-add. Only the functions marked AVX2 use it: the rest of the
// file (the standard library's code among it) stays runnable on any x86-64 processor.
#include "picture/ResampleKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#define PIXMILL_AVX2 __attribute__((target("avx2")))

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

// A group of eight output pixels as four pairs. Two ways to feed a pair:
// - shifted: the pair's second pixel runs `shift` column taps behind its first, so that at every
//   step the two read neighbouring source pixels and one load fetches both. Steps where a pixel has
//   no tap carry the weight 0, whose product is a zero and leaves the sum exactly as it is (a sum
//   that starts at +0 is never -0, so adding a zero of either sign changes nothing).
// - gathered: both pixels at the same tap, each loaded on its own (where taps are clamped at the
//   edges, or the shifted steps would read beyond the row).
struct Group {
    bool shifted = false;
    int steps = 0;       // column steps per row tap
    int firstColumn[4];  // shifted: the column read by each pair's first lane at step 0
    size_t weights = 0;  // offset of steps x 4 vectors of 8 weights
    size_t columns = 0;  // gathered: offset of taps x 8 source columns
};

template <int N, bool RowsOuter>
class Avx2Kernel final : public RowKernel {
  public:
    Avx2Kernel(const AxisTable& table, int dstW, int channels) : cols(table), dstW(dstW), channels(channels) {
        for (int j = 0; j + 8 <= dstW && cols.inside[size_t(j) + 7]; j += 8) {
            Group g;
            if (!planShifted(j, g)) planGathered(j, g);
            groups.push_back(g);
            grouped = j + 8;
        }
    }

    PIXMILL_AVX2 void run(const float* const* rows, const float* wy, uint8_t* out) const override {
        for (size_t g = 0; g < groups.size(); ++g) {
            uint8_t* o = out + g * 32;
            if (groups[g].shifted)
                runShifted(rows, wy, groups[g], o);
            else
                runGathered(rows, wy, groups[g], o);
        }
        for (int j = grouped; j < dstW; ++j) {
            __m128 sum = _mm_setzero_ps();
            if (cols.inside[size_t(j)]) sum = one(rows, wy, j);
            storeOne(out + size_t(j) * 4, sum, channels);
        }
    }

  private:
    int tap(int pixel, int t) const { return cols.index[size_t(pixel) * N + t]; }
    float weight(int pixel, int t) const { return cols.weight[size_t(pixel) * N + t]; }

    // True when every pixel of the group reads N neighbouring, unclamped columns and the shifted
    // steps stay inside the row; fills the plan then.
    bool planShifted(int j, Group& g) {
        int shift[4], steps = 0;
        for (int p = 0; p < 8; ++p)
            for (int t = 0; t < N; ++t)
                if (tap(j + p, t) != tap(j + p, 0) + t) return false;
        for (int q = 0; q < 4; ++q) {
            const int a = j + 2 * q, b = a + 1;
            // Lane b reads column first(a) + s + 1 at step s, which is its tap s - shift.
            shift[q] = tap(b, 0) - tap(a, 0) - 1;
            if (shift[q] < 0) return false;
            steps = std::max(steps, N + shift[q]);
        }
        for (int q = 0; q < 4; ++q)
            // The last step reads two pixels from the pair's first column + steps - 1.
            if (tap(j + 2 * q, 0) + steps > cols.sourceSize - 1) return false;
        // Shifted steps pay off only when they are not many more than the taps.
        if (steps > N + N / 2 + 1) return false;
        g.shifted = true;
        g.steps = steps;
        g.weights = weights.size();
        for (int q = 0; q < 4; ++q) g.firstColumn[q] = tap(j + 2 * q, 0);
        for (int s = 0; s < steps; ++s)
            for (int q = 0; q < 4; ++q) {
                const int a = j + 2 * q, b = a + 1, tb = s - shift[q];
                const float wa = s < N ? weight(a, s) : 0.0f;
                const float wb = tb >= 0 && tb < N ? weight(b, tb) : 0.0f;
                for (int lane = 0; lane < 8; ++lane) weights.push_back(lane < 4 ? wa : wb);
            }
        return true;
    }

    void planGathered(int j, Group& g) {
        g.shifted = false;
        g.weights = weights.size();
        g.columns = columns.size();
        for (int t = 0; t < N; ++t) {
            for (int q = 0; q < 4; ++q)
                for (int lane = 0; lane < 8; ++lane) weights.push_back(weight(j + 2 * q + lane / 4, t));
            for (int p = 0; p < 8; ++p) columns.push_back(tap(j + p, t));
        }
    }

    PIXMILL_AVX2 void runShifted(const float* const* rows, const float* wy, const Group& g,
                                 uint8_t* out) const {
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        const float* wx = weights.data() + g.weights;
        const size_t c0 = size_t(g.firstColumn[0]) * 4, c1 = size_t(g.firstColumn[1]) * 4,
                     c2 = size_t(g.firstColumn[2]) * 4, c3 = size_t(g.firstColumn[3]) * 4;
        for (int k = 0; k < N; ++k) {
            if (RowsOuter) {
                // Row tap k outer; the column steps inner.
                const float* r = rows[k];
                const __m256 y = _mm256_broadcast_ss(wy + k);
                for (int s = 0; s < g.steps; ++s) {
                    const float* w = wx + 32 * size_t(s);
                    const size_t o = size_t(s) * 4;
                    a0 = _mm256_add_ps(
                        a0, _mm256_mul_ps(_mm256_loadu_ps(r + c0 + o), _mm256_mul_ps(_mm256_loadu_ps(w), y)));
                    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(r + c1 + o),
                                                         _mm256_mul_ps(_mm256_loadu_ps(w + 8), y)));
                    a2 = _mm256_add_ps(a2, _mm256_mul_ps(_mm256_loadu_ps(r + c2 + o),
                                                         _mm256_mul_ps(_mm256_loadu_ps(w + 16), y)));
                    a3 = _mm256_add_ps(a3, _mm256_mul_ps(_mm256_loadu_ps(r + c3 + o),
                                                         _mm256_mul_ps(_mm256_loadu_ps(w + 24), y)));
                }
            }
        }
        if (!RowsOuter) {
            // Column steps outer; the row taps inner.
            for (int s = 0; s < g.steps; ++s) {
                const float* w = wx + 32 * size_t(s);
                const __m256 w0 = _mm256_loadu_ps(w), w1 = _mm256_loadu_ps(w + 8),
                             w2 = _mm256_loadu_ps(w + 16), w3 = _mm256_loadu_ps(w + 24);
                const size_t o = size_t(s) * 4;
                for (int l = 0; l < N; ++l) {
                    const float* r = rows[l];
                    const __m256 y = _mm256_broadcast_ss(wy + l);
                    a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_loadu_ps(r + c0 + o), _mm256_mul_ps(w0, y)));
                    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_loadu_ps(r + c1 + o), _mm256_mul_ps(w1, y)));
                    a2 = _mm256_add_ps(a2, _mm256_mul_ps(_mm256_loadu_ps(r + c2 + o), _mm256_mul_ps(w2, y)));
                    a3 = _mm256_add_ps(a3, _mm256_mul_ps(_mm256_loadu_ps(r + c3 + o), _mm256_mul_ps(w3, y)));
                }
            }
        }
        storePair(out, a0, channels);
        storePair(out + 8, a1, channels);
        storePair(out + 16, a2, channels);
        storePair(out + 24, a3, channels);
    }

    PIXMILL_AVX2 void runGathered(const float* const* rows, const float* wy, const Group& g,
                                  uint8_t* out) const {
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        const float* wx = weights.data() + g.weights;
        const int* col = columns.data() + g.columns;
        for (int k = 0; k < N; ++k) {
            for (int l = 0; l < N; ++l) {
                const float* r = RowsOuter ? rows[k] : rows[l];
                const int t = RowsOuter ? l : k;
                const __m256 y = _mm256_broadcast_ss(RowsOuter ? wy + k : wy + l);
                const float* w = wx + 32 * t;
                const int* c = col + 8 * t;
                a0 = _mm256_add_ps(
                    a0, _mm256_mul_ps(pixelPair(r, c[0], c[1]), _mm256_mul_ps(_mm256_loadu_ps(w), y)));
                a1 = _mm256_add_ps(
                    a1, _mm256_mul_ps(pixelPair(r, c[2], c[3]), _mm256_mul_ps(_mm256_loadu_ps(w + 8), y)));
                a2 = _mm256_add_ps(
                    a2, _mm256_mul_ps(pixelPair(r, c[4], c[5]), _mm256_mul_ps(_mm256_loadu_ps(w + 16), y)));
                a3 = _mm256_add_ps(
                    a3, _mm256_mul_ps(pixelPair(r, c[6], c[7]), _mm256_mul_ps(_mm256_loadu_ps(w + 24), y)));
            }
        }
        storePair(out, a0, channels);
        storePair(out + 8, a1, channels);
        storePair(out + 16, a2, channels);
        storePair(out + 24, a3, channels);
    }

    // One pixel on its own, as at the end of a row.
    PIXMILL_AVX2 __m128 one(const float* const* rows, const float* wy, int j) const {
        const float* wx = cols.weight.data() + size_t(j) * N;
        const int* c = cols.index.data() + size_t(j) * N;
        __m128 acc = _mm_setzero_ps();
        for (int k = 0; k < N; ++k)
            for (int l = 0; l < N; ++l) {
                const float w = RowsOuter ? wx[l] * wy[k] : wy[l] * wx[k];
                const __m128 p = RowsOuter ? pixelAt(rows[k], c[l]) : pixelAt(rows[l], c[k]);
                acc = _mm_add_ps(acc, _mm_mul_ps(p, _mm_set1_ps(w)));
            }
        return acc;
    }

    AxisTable cols;
    int dstW, channels;
    int grouped = 0;
    std::vector<Group> groups;
    std::vector<float> weights;  // eight lanes per vector
    std::vector<int> columns;
};

template <bool RowsOuter>
std::unique_ptr<RowKernel> avx2For(const AxisTable& cols, int dstW, int channels) {
    if (cols.taps == 2) return std::unique_ptr<RowKernel>(new Avx2Kernel<2, RowsOuter>(cols, dstW, channels));
    if (cols.taps == 6) return std::unique_ptr<RowKernel>(new Avx2Kernel<6, RowsOuter>(cols, dstW, channels));
    return std::unique_ptr<RowKernel>(new Avx2Kernel<17, RowsOuter>(cols, dstW, channels));
}

}  // namespace

std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return rowsOuter ? avx2For<true>(cols, dstW, channels) : avx2For<false>(cols, dstW, channels);
}

}  // namespace resample

#else

namespace resample {
std::unique_ptr<RowKernel> makeAvx2Kernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return makeSse2Kernel(cols, dstW, channels, rowsOuter);
}
}  // namespace resample

#endif
