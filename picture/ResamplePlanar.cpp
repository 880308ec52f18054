// SPDX-License-Identifier: MIT
// The planar kernel: sixteen neighbouring output pixels of one channel per 512-bit vector. Each
// source row is split into its channels and gathered once, per output pixel and column tap, with
// byte permutes (AVX-512 VBMI); the sums then need no shuffles and waste no lanes: per tap one
// weight product for sixteen pixels, and a multiply and an add per channel. Every lane is plain IEEE
// single precision and keeps its pixel's order of additions; there is no fused multiply-add. Only
// the functions marked VBMI use those instructions.
#include "picture/ResampleKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <climits>

// GCC 12's 512-bit intrinsics pass an undefined vector through the lanes that their all-ones masks
// never keep, and then warn that it is used.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define PIXMILL_VBMI __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi")))

namespace resample {
namespace {

constexpr int kLanes = 16;    // output pixels per group
constexpr int kWindow = 128;  // planar columns one two-register byte permute reaches

// Where the bytes of a row go. A prepared row holds, for each group of sixteen output pixels, each
// channel and each column tap, the sixteen source bytes those pixels read: `chunks` blocks of 64
// bytes (four taps each) per channel. Each block is permuted out of the channel's split row, from
// one or more windows of 128 columns starting at the group's first column read.
struct GatherPlan {
    int taps = 0, chunks = 0, channels = 0, groups = 0, dstW = 0, srcW = 0;
    size_t planeStride = 0;                 // bytes per channel of a split row, padded for the last window
    size_t groupBytes = 0;                  // channels x chunks x 64
    std::vector<int> base;                  // per group: its first window's column
    std::vector<int> windows;               // per group: how many windows it reads
    std::vector<size_t> maskAt;             // per group: its first entry in masks
    std::vector<uint8_t> index;             // per group and chunk: 64 columns, relative to a window
    std::vector<unsigned long long> masks;  // per group, chunk and window: the bytes it fills
    std::vector<float> wx;                  // per group and tap: the sixteen pixels' weights

    GatherPlan(const AxisTable& cols, int dstW, int channels)
        : taps(cols.taps),
          chunks((cols.taps + 3) / 4),
          channels(channels),
          groups((dstW + kLanes - 1) / kLanes),
          dstW(dstW),
          srcW(cols.sourceSize) {
        groupBytes = size_t(channels) * size_t(chunks) * 64;
        size_t reach = size_t(srcW);
        for (int g = 0; g < groups; ++g) reach = std::max(reach, planGroup(cols, g));
        planeStride = (reach + 63) / 64 * 64;
    }

    // Plans group g; returns how far into a split row its windows read.
    size_t planGroup(const AxisTable& cols, int g) {
        const int j0 = g * kLanes, count = std::min(kLanes, dstW - j0);
        int lo = INT_MAX, hi = -1;
        for (int p = 0; p < count; ++p)
            if (cols.inside[size_t(j0 + p)])
                for (int t = 0; t < taps; ++t) {
                    lo = std::min(lo, column(cols, j0 + p, t));
                    hi = std::max(hi, column(cols, j0 + p, t));
                }
        // A group that reads nothing (every sample beyond the source) keeps weights of 0.
        if (hi < 0) lo = hi = 0;
        const int spans = (hi - lo) / kWindow + 1;
        base.push_back(lo);
        windows.push_back(spans);
        maskAt.push_back(masks.size());
        masks.resize(masks.size() + size_t(chunks) * size_t(spans), 0);
        for (int c = 0; c < chunks; ++c)
            for (int lane = 0; lane < 64; ++lane) {
                const int t = c * 4 + lane / kLanes, p = lane % kLanes;
                // Lanes of taps or pixels that do not exist read the first column, with weight 0.
                const bool real = t < taps && p < count && cols.inside[size_t(j0 + p)];
                const int offset = (real ? column(cols, j0 + p, t) : lo) - lo;
                index.push_back(uint8_t(offset % kWindow));
                masks[maskAt.back() + size_t(c) * size_t(spans) + size_t(offset / kWindow)] |= 1ull << lane;
            }
        for (int t = 0; t < taps; ++t)
            for (int p = 0; p < kLanes; ++p)
                wx.push_back(p < count ? cols.weight[size_t(j0 + p) * size_t(taps) + size_t(t)] : 0.0f);
        return size_t(lo) + size_t(spans) * kWindow;
    }

    static int column(const AxisTable& cols, int j, int t) {
        return cols.index[size_t(j) * size_t(cols.taps) + size_t(t)];
    }
};

// Byte orders for vpermb: sixteen pixels sorted by channel, and back.
struct ByteOrders {
    alignas(64) uint8_t byChannel[64];
    alignas(64) uint8_t byPixel[64];
    ByteOrders() {
        for (int lane = 0; lane < 64; ++lane) {
            byChannel[lane] = uint8_t((lane % kLanes) * 4 + lane / kLanes);
            byPixel[lane] = uint8_t((lane % 4) * kLanes + lane / 4);
        }
    }
};
const ByteOrders kOrders;

// Sixty-four pixels (all four blocks of sixteen given by `keep`) split into their channels: each
// block sorted by channel with a byte permute, then the 128-bit quarters transposed.
template <int C>
PIXMILL_VBMI inline void splitBlock(const uint8_t* row, const __mmask64 keep[4], uint8_t* planes,
                                    size_t stride) {
    const __m512i byChannel = _mm512_load_si512(kOrders.byChannel);
    __m512i z[4];
    for (int q = 0; q < 4; ++q)
        z[q] = _mm512_permutexvar_epi8(byChannel, _mm512_maskz_loadu_epi8(keep[q], row + q * 64));
    const __m512i t0 = _mm512_shuffle_i32x4(z[0], z[1], 0x44), t1 = _mm512_shuffle_i32x4(z[2], z[3], 0x44);
    const __m512i t2 = _mm512_shuffle_i32x4(z[0], z[1], 0xEE), t3 = _mm512_shuffle_i32x4(z[2], z[3], 0xEE);
    _mm512_storeu_si512(planes, _mm512_shuffle_i32x4(t0, t1, 0x88));
    _mm512_storeu_si512(planes + stride, _mm512_shuffle_i32x4(t0, t1, 0xDD));
    _mm512_storeu_si512(planes + 2 * stride, _mm512_shuffle_i32x4(t2, t3, 0x88));
    if (C == 4) _mm512_storeu_si512(planes + 3 * stride, _mm512_shuffle_i32x4(t2, t3, 0xDD));
}

// Splits a row of pixels into one row per channel, `stride` bytes apart.
template <int C>
PIXMILL_VBMI void splitRow(const uint8_t* row, int pixels, uint8_t* planes, size_t stride) {
    const __mmask64 all[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    int x = 0;
    for (; x + 64 <= pixels; x += 64) splitBlock<C>(row + size_t(x) * 4, all, planes + x, stride);
    if (x == pixels) return;
    __mmask64 keep[4];
    for (int q = 0; q < 4; ++q) {
        const int left = pixels - (x + q * kLanes);
        keep[q] = left >= kLanes ? ~0ull : left > 0 ? (1ull << (4 * left)) - 1 : 0;
    }
    splitBlock<C>(row + size_t(x) * 4, keep, planes + x, stride);
}

// Gathers the bytes of every group, channel and column tap out of the split row.
template <int Chunks, int C>
PIXMILL_VBMI void gatherRow(const GatherPlan& plan, const uint8_t* planes, uint8_t* __restrict prepared) {
    const int groups = plan.groups;
    const size_t stride = plan.planeStride;
    const uint8_t* index = plan.index.data();
    for (int g = 0; g < groups; ++g, index += Chunks * 64) {
        const int windows = plan.windows[size_t(g)];
        const uint8_t* from = planes + size_t(plan.base[size_t(g)]);
        uint8_t* out = prepared + size_t(g) * (C * Chunks * 64);
        if (windows == 1) {
            __m512i at[Chunks];
            for (int k = 0; k < Chunks; ++k) at[k] = _mm512_loadu_si512(index + 64 * k);
            for (int c = 0; c < C; ++c) {
                const uint8_t* p = from + size_t(c) * stride;
                const __m512i lo = _mm512_loadu_si512(p), hi = _mm512_loadu_si512(p + 64);
                for (int k = 0; k < Chunks; ++k, out += 64)
                    _mm512_storeu_si512(out, _mm512_permutex2var_epi8(lo, at[k], hi));
            }
            continue;
        }
        const unsigned long long* masks = plan.masks.data() + plan.maskAt[size_t(g)];
        for (int c = 0; c < C; ++c) {
            const uint8_t* p = from + size_t(c) * stride;
            for (int k = 0; k < Chunks; ++k, out += 64) {
                const __m512i at = _mm512_loadu_si512(index + 64 * k);
                __m512i bytes = _mm512_setzero_si512();
                for (int w = 0; w < windows; ++w) {
                    const uint8_t* window = p + size_t(w) * kWindow;
                    const __m512i got = _mm512_permutex2var_epi8(_mm512_loadu_si512(window), at,
                                                                 _mm512_loadu_si512(window + 64));
                    bytes = _mm512_mask_mov_epi8(bytes, masks[size_t(k) * size_t(windows) + size_t(w)], got);
                }
                _mm512_storeu_si512(out, bytes);
            }
        }
    }
}

// Sixteen source bytes of one channel and tap as floats.
PIXMILL_VBMI inline __m512 floatsAt(const uint8_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

// Clamped, truncated and put back in the picture layout; byte 3 of opaque pictures keeps what the
// output already holds.
template <int C>
PIXMILL_VBMI void storeGroup(const __m512* sums, uint8_t* out, int pixels) {
    __m128i bytes[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    for (int c = 0; c < C; ++c) {
        const __m512 clamped =
            _mm512_min_ps(_mm512_max_ps(sums[c], _mm512_setzero_ps()), _mm512_set1_ps(255.0f));
        bytes[c] = _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(clamped));
    }
    __m512i all = _mm512_castsi128_si512(bytes[0]);
    all = _mm512_inserti32x4(all, bytes[1], 1);
    all = _mm512_inserti32x4(all, bytes[2], 2);
    all = _mm512_inserti32x4(all, bytes[3], 3);
    __m512i pixelsOut = _mm512_permutexvar_epi8(_mm512_load_si512(kOrders.byPixel), all);
    // Opaque pictures: byte 3 is left out of the store, never read and written back, so a fresh
    // output page is first touched by a write (a read would map the shared zero page, and the
    // write after it would cost a copy and a flush of every processor's address cache).
    const __mmask64 keep = (pixels >= kLanes ? ~0ull : (1ull << (4 * pixels)) - 1) &
                           (C == 3 ? 0x7777777777777777ull : ~0ull);
    _mm512_mask_storeu_epi8(out, keep, pixelsOut);
}

// One group's sums in the filter's order: row taps outer (filter 3) or column taps outer.
template <int N, bool RowsOuter, int C>
PIXMILL_VBMI void runGroup(const uint8_t* const* rows, const float* wy, const float* wx, size_t offset,
                           uint8_t* out, int pixels) {
    constexpr size_t kChannelBytes = size_t((N + 3) / 4) * 64;
    __m512 sums[C];
    for (int c = 0; c < C; ++c) sums[c] = _mm512_setzero_ps();
    for (int k = 0; k < N; ++k) {
        for (int l = 0; l < N; ++l) {
            const int column = RowsOuter ? l : k, row = RowsOuter ? k : l;
            const __m512 w = _mm512_mul_ps(_mm512_loadu_ps(wx + kLanes * column), _mm512_set1_ps(wy[row]));
            const uint8_t* p = rows[row] + offset + size_t(column) * kLanes;
            for (int c = 0; c < C; ++c)
                sums[c] = _mm512_add_ps(sums[c], _mm512_mul_ps(floatsAt(p + c * kChannelBytes), w));
        }
    }
    storeGroup<C>(sums, out, pixels);
}

template <int N, bool RowsOuter, int C>
class PlanarKernel final : public RowKernel {
  public:
    PlanarKernel(const AxisTable& cols, int dstW)
        : plan(cols, dstW, C), planes(size_t(C) * plan.planeStride, 0) {}

    size_t preparedBytes() const override { return size_t(plan.groups) * plan.groupBytes; }

    void prepare(const uint8_t* row, uint8_t* prepared) const override {
        splitRow<C>(row, plan.srcW, planes.data(), plan.planeStride);
        gatherRow<(N + 3) / 4, C>(plan, planes.data(), prepared);
    }

    void run(const uint8_t* const* rows, const float* wy, uint8_t* out) const override {
        for (int g = 0; g < plan.groups; ++g)
            runGroup<N, RowsOuter, C>(rows, wy, plan.wx.data() + size_t(g) * N * kLanes,
                                      size_t(g) * plan.groupBytes, out + size_t(g) * kLanes * 4,
                                      std::min(kLanes, plan.dstW - g * kLanes));
    }

  private:
    GatherPlan plan;
    mutable std::vector<uint8_t> planes;  // the split row being gathered
};

template <bool RowsOuter, int C>
std::unique_ptr<RowKernel> planarFor(const AxisTable& cols, int dstW) {
    if (cols.taps == 2) return std::unique_ptr<RowKernel>(new PlanarKernel<2, RowsOuter, C>(cols, dstW));
    if (cols.taps == 6) return std::unique_ptr<RowKernel>(new PlanarKernel<6, RowsOuter, C>(cols, dstW));
    return std::unique_ptr<RowKernel>(new PlanarKernel<17, RowsOuter, C>(cols, dstW));
}

}  // namespace

std::unique_ptr<RowKernel> makePlanarKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    // A prepared row holds bytes per output pixel and tap: for strong enlargements, and rows far
    // wider than they are tall, the widened rows of the other kernels take less memory.
    const uint64_t planarRow =
        uint64_t((dstW + kLanes - 1) / kLanes) * uint64_t(channels) * uint64_t((cols.taps + 3) / 4) * 64;
    const uint64_t floatRow = uint64_t(cols.sourceSize) * 4 * sizeof(float);
    if (planarRow > std::max<uint64_t>(floatRow, (uint64_t(4) << 20) / uint64_t(cols.taps)))
        return makeAvx512Kernel(cols, dstW, channels, rowsOuter);
    if (channels == 3) return rowsOuter ? planarFor<true, 3>(cols, dstW) : planarFor<false, 3>(cols, dstW);
    return rowsOuter ? planarFor<true, 4>(cols, dstW) : planarFor<false, 4>(cols, dstW);
}

}  // namespace resample

#else

namespace resample {
std::unique_ptr<RowKernel> makePlanarKernel(const AxisTable& cols, int dstW, int channels, bool rowsOuter) {
    return makeAvx512Kernel(cols, dstW, channels, rowsOuter);
}
}  // namespace resample

#endif
