// Resampling: area, bilinear, Spline36 and Lanczos-8 filters evaluated at one sample position per
// output pixel, with weights tabled per output row and column.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "picture/Picture.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Four single-precision lanes, one per pixel byte. Lane arithmetic is plain IEEE single precision,
// the same as scalar code, so sums come out bit for bit as if written per channel.
typedef float v4sf __attribute__((vector_size(16)));
typedef int32_t v4si __attribute__((vector_size(16)));
typedef uint8_t v4u8 __attribute__((vector_size(4)));

// The four bytes of one pixel as floats (exact: every byte value is a float).
v4sf pixelFloats(const uint8_t* p) {
    v4u8 bytes;
    memcpy(&bytes, p, 4);
    return __builtin_convertvector(__builtin_convertvector(bytes, v4si), v4sf);
}

// pi two units in the last place below the double nearest to it; the kernels are defined with it.
constexpr double kPi = 3.1415926535897922;

// Spline36 coefficients, each rounded to single precision.
constexpr float kS1a = 13.0f / 11.0f, kS1b = 453.0f / 209.0f, kS1c = 3.0f / 209.0f;
constexpr float kS2a = 6.0f / 11.0f, kS2b = 270.0f / 209.0f, kS2c = 156.0f / 209.0f;
constexpr float kS3a = 1.0f / 11.0f, kS3b = 45.0f / 209.0f, kS3c = 26.0f / 209.0f;

float spline36(float t) {
    if (t <= 1.0f) return ((kS1a * t - kS1b) * t - kS1c) * t + 1.0f;
    if (t <= 2.0f) {
        float u = t - 1.0f;
        return ((-kS2a * u + kS2b) * u - kS2c) * u;
    }
    float u = t - 2.0f;
    return ((kS3a * u - kS3b) * u + kS3c) * u;
}

// The distance from a sample position to a tap: a double difference rounded to single precision.
float tapDistance(double position, int64_t tap) {
    return static_cast<float>(position - double(tap));
}

float kernelWeight(int filter, float distance) {
    float t = std::fabs(distance);
    if (filter == 1) return 1.0f - t;
    if (filter == 2) return spline36(t);
    return visGetLanczos8(t);
}

struct FilterShape {
    int taps;   // per axis
    int first;  // offset of the first tap from the truncated sample position
};

FilterShape shapeOf(int filter) {
    if (filter == 1) return {2, 0};
    if (filter == 2) return {6, -2};
    return {17, -8};
}

int clampIndex(int64_t i, int size) {
    return i < 0 ? 0 : i >= size ? size - 1 : static_cast<int>(i);
}

// Sample positions by repeated addition, as the historical resampler stepped them.
std::vector<double> samplePositions(int count, double scale) {
    std::vector<double> positions(static_cast<size_t>(count));
    double p = 0;
    for (auto& v : positions) {
        v = p;
        p += scale;
    }
    return positions;
}

// Weights and clamped source indices of one axis, per output index; `inside` is false where the
// sample position lies beyond the source (that output is zero).
struct AxisTable {
    std::vector<float> weight;
    std::vector<int> index;
    std::vector<uint8_t> inside;
};

AxisTable tableAxis(const std::vector<double>& positions, int srcSize, int filter) {
    FilterShape shape = shapeOf(filter);
    AxisTable table;
    table.weight.assign(positions.size() * shape.taps, 0.0f);
    table.index.assign(positions.size() * shape.taps, 0);
    table.inside.assign(positions.size(), 0);
    for (size_t o = 0; o < positions.size(); ++o) {
        double p = positions[o];
        if (!(p < srcSize)) continue;
        table.inside[o] = 1;
        // Weights come from the unclamped tap; only the position read is clamped to the picture.
        int64_t base = int64_t(static_cast<int>(p)) + shape.first;
        for (int t = 0; t < shape.taps; ++t) {
            table.weight[o * shape.taps + t] = kernelWeight(filter, tapDistance(p, base + t));
            table.index[o * shape.taps + t] = clampIndex(base + t, srcSize);
        }
    }
    return table;
}

// Source rows converted to floats once, kept in a ring big enough for one output row's taps
// (the rows one output row reads are consecutive, so row % slots never collides).
class FloatRows {
  public:
    FloatRows(const CPicture& src, int slots)
        : src(src), rows(static_cast<size_t>(slots)), loaded(static_cast<size_t>(slots), -1) {}

    const v4sf* row(int y) {
        size_t slot = static_cast<size_t>(y) % rows.size();
        if (loaded[slot] != y) {
            convert(y, rows[slot]);
            loaded[slot] = y;
        }
        return rows[slot].data();
    }

  private:
    void convert(int y, std::vector<v4sf>& out) {
        out.resize(static_cast<size_t>(src.width));
        const uint8_t* p = src.pixelAt(0, y);
        size_t x = 0;
#if defined(__SSE2__)
        // Four pixels per step: bytes widened to 16 and then 32 bits against zero.
        const __m128i zero = _mm_setzero_si128();
        for (; x + 4 <= out.size(); x += 4) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x * 4));
            __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
            out[x] = v4sf(_mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
            out[x + 1] = v4sf(_mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
            out[x + 2] = v4sf(_mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
            out[x + 3] = v4sf(_mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
        }
#endif
        for (; x < out.size(); ++x) out[x] = pixelFloats(p + x * 4);
    }

    const CPicture& src;
    std::vector<std::vector<v4sf>> rows;
    std::vector<int> loaded;
};

// Clamps each sum to 0..255 and truncates it toward zero. Filters 2 and 3 need the clamp; filters
// 0 and 1 never leave 0..255 (non-negative weights summing to about 1), so it changes none of their
// results and keeps the conversion defined.
void storeSum(uint8_t* out, v4sf sum, int channels) {
#if defined(__SSE2__)
    // max, min and a truncating conversion: the same as the scalar steps below for every sum.
    __m128 clamped = _mm_min_ps(_mm_max_ps(__m128(sum), _mm_setzero_ps()), _mm_set1_ps(255.0f));
    __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(clamped), _mm_setzero_si128());
    uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
    memcpy(out, &bytes, static_cast<size_t>(channels));
#else
    for (int c = 0; c < channels; ++c) {
        float s = sum[c];
        s = s < 0.0f ? 0.0f : s > 255.0f ? 255.0f : s;
        out[c] = static_cast<uint8_t>(static_cast<int>(s));
    }
#endif
}

// Columns outer, rows inner (filters 1 and 2): weight = wy * wx.
template <int N>
v4sf sumColumnsOuter(const v4sf* const* rows, const float* wy, const float* wx, const int* cols) {
    v4sf acc = {0, 0, 0, 0};
    for (int k = 0; k < N; ++k)
        for (int l = 0; l < N; ++l) acc += rows[l][cols[k]] * (wy[l] * wx[k]);
    return acc;
}

// Rows outer, columns inner (filter 3): weight = wx * wy.
template <int N>
v4sf sumRowsOuter(const v4sf* const* rows, const float* wy, const float* wx, const int* cols) {
    v4sf acc = {0, 0, 0, 0};
    for (int k = 0; k < N; ++k) {
        const v4sf* r = rows[k];
        for (int l = 0; l < N; ++l) acc += r[cols[l]] * (wx[l] * wy[k]);
    }
    return acc;
}

v4sf splat(float v) {
    return v4sf{v, v, v, v};
}

v4sf floatsAt(const char* row, ptrdiff_t byteOffset) {
    return *reinterpret_cast<const v4sf*>(row + byteOffset);
}

// The column taps of four neighbouring output pixels, interleaved: for tap t, lane p of weight[t]
// is pixel p's weight and offset[4t + p] its source column as a byte offset into a float row.
struct ColumnGroups {
    std::vector<v4sf> weight;
    std::vector<ptrdiff_t> offset;
};

// Groups of four from output column 0 for as long as all four sample columns lie in the source.
template <int N>
ColumnGroups groupColumns(const AxisTable& cols, int dstW) {
    ColumnGroups groups;
    for (int j = 0; j + 4 <= dstW && cols.inside[size_t(j) + 3]; j += 4) {
        for (int t = 0; t < N; ++t) {
            v4sf w;
            for (int p = 0; p < 4; ++p) {
                w[p] = cols.weight[size_t(j + p) * N + t];
                groups.offset.push_back(ptrdiff_t(cols.index[size_t(j + p) * N + t]) *
                                        ptrdiff_t(sizeof(v4sf)));
            }
            groups.weight.push_back(w);
        }
    }
    return groups;
}

// Four neighbouring output pixels at once: four independent chains of additions, each in the
// order of a single pixel, so the adder's latency is hidden without reordering any sum. The four
// weights of a tap are multiplied in one vector: lane p is exactly the scalar product for pixel p.
template <int N, bool RowsOuter>
void sumFour(const char* const* rows, const float* wy, const v4sf* wx, const ptrdiff_t* off, v4sf* out) {
    v4sf a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
    for (int k = 0; k < N; ++k) {
        for (int l = 0; l < N; ++l) {
            const char* r = RowsOuter ? rows[k] : rows[l];
            int t = RowsOuter ? l : k;
            v4sf w = RowsOuter ? wx[l] * splat(wy[k]) : splat(wy[l]) * wx[k];
            a0 += floatsAt(r, off[4 * t]) * splat(w[0]);
            a1 += floatsAt(r, off[4 * t + 1]) * splat(w[1]);
            a2 += floatsAt(r, off[4 * t + 2]) * splat(w[2]);
            a3 += floatsAt(r, off[4 * t + 3]) * splat(w[3]);
        }
    }
    out[0] = a0;
    out[1] = a1;
    out[2] = a2;
    out[3] = a3;
}

template <int N, bool RowsOuter>
v4sf sumOne(const v4sf* const* rows, const float* wy, const float* wx, const int* cols) {
    return RowsOuter ? sumRowsOuter<N>(rows, wy, wx, cols) : sumColumnsOuter<N>(rows, wy, wx, cols);
}

// One output row of a tapped filter; rows[] are the clamped source rows of its taps.
template <int N, bool RowsOuter>
void filterRow(const v4sf* const* rows, const float* wy, const AxisTable& colTable,
               const ColumnGroups& groups, uint8_t* out, int dstW, int channels) {
    const char* rowBytes[N];
    for (int t = 0; t < N; ++t) rowBytes[t] = reinterpret_cast<const char*>(rows[t]);
    // Sample columns grow, so the grouped columns are a prefix of the row.
    const int grouped = static_cast<int>(groups.weight.size() / N) * 4;
    for (int j = 0; j < grouped; j += 4) {
        v4sf sums[4];
        size_t g = size_t(j / 4) * N;
        sumFour<N, RowsOuter>(rowBytes, wy, groups.weight.data() + g, groups.offset.data() + 4 * g, sums);
        for (int p = 0; p < 4; ++p) storeSum(out + size_t(j + p) * 4, sums[p], channels);
    }
    const float* wx = colTable.weight.data();
    const int* cols = colTable.index.data();
    for (int j = grouped; j < dstW; ++j) {
        v4sf sum = {0, 0, 0, 0};
        if (colTable.inside[j])
            sum = sumOne<N, RowsOuter>(rows, wy, wx + size_t(j) * N, cols + size_t(j) * N);
        storeSum(out + size_t(j) * 4, sum, channels);
    }
}

template <int N, bool RowsOuter>
void resizeTapped(const CPicture& src, CPicture& dst, int filter, int channels) {
    AxisTable colTable =
        tableAxis(samplePositions(dst.width, double(src.width) / dst.width), src.width, filter);
    AxisTable rowTable =
        tableAxis(samplePositions(dst.height, double(src.height) / dst.height), src.height, filter);
    ColumnGroups groups = groupColumns<N>(colTable, dst.width);
    FloatRows cache(src, N);
    const v4sf* rows[N];
    for (int i = 0; i < dst.height; ++i) {
        uint8_t* out = dst.pixelAt(0, i);
        if (!rowTable.inside[i]) {
            for (int j = 0; j < dst.width; ++j) memset(out + size_t(j) * 4, 0, size_t(channels));
            continue;
        }
        for (int t = 0; t < N; ++t) rows[t] = cache.row(rowTable.index[size_t(i) * N + t]);
        filterRow<N, RowsOuter>(rows, rowTable.weight.data() + size_t(i) * N, colTable, groups, out,
                                dst.width, channels);
    }
}

// Filter 0: the box of boxW x boxH pixels from the sample position, equal weights. Nothing calls it
// in this system; it is kept plain. Positions are clamped only as a guard (reductions stay inside).
void resizeBox(const CPicture& src, CPicture& dst, int channels) {
    double scaleX = double(src.width) / dst.width, scaleY = double(src.height) / dst.height;
    int boxW = static_cast<int>(scaleX), boxH = static_cast<int>(scaleY);
    // A box of no pixels (an enlargement) reads nothing; its weight is never used.
    float weight = boxW > 0 && boxH > 0 ? 1.0f / static_cast<float>(boxW * boxH) : 0.0f;
    std::vector<double> xs = samplePositions(dst.width, scaleX), ys = samplePositions(dst.height, scaleY);
    for (int i = 0; i < dst.height; ++i) {
        for (int j = 0; j < dst.width; ++j) {
            v4sf sum = {0, 0, 0, 0};
            if (xs[j] < src.width && ys[i] < src.height) {
                int ix = static_cast<int>(xs[j]), iy = static_cast<int>(ys[i]);
                for (int c = ix; c < ix + boxW; ++c)
                    for (int r = iy; r < iy + boxH; ++r) {
                        const uint8_t* p = src.pixelAt(clampIndex(c, src.width), clampIndex(r, src.height));
                        sum += pixelFloats(p) * weight;
                    }
            }
            storeSum(dst.pixelAt(j, i), sum, channels);
        }
    }
}

void zeroChannels(CPicture& dst, int channels) {
    size_t count = size_t(dst.width) * size_t(dst.height);
    for (size_t p = 0; p < count; ++p) memset(dst.pixels + p * 4, 0, size_t(channels));
}

// A double size to int: NaN gives 0, values beyond int saturate.
int sizeFromDouble(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(v);
}

}  // namespace

float SinC(float t) {
    if (t == 0.0f) return 1.0f;
    float p = static_cast<float>(double(t) * kPi);
    return static_cast<float>(std::sin(double(p)) / double(p));
}

float visGetLanczos8(float t) {
    t = std::fabs(t);
    if (!(t < 8.0f)) return 0.0f;
    return SinC(t) * SinC(t / 8.0f);
}

CPicture* CPicture::resize(int w, int h, int filter, bool keepAspect) {
    if (keepAspect && !isEmpty()) {
        double r = double(w) / width;
        if (double(h) / r > height)
            h = sizeFromDouble(height * r);
        else
            w = sizeFromDouble(width * (double(h) / height));
    }
    CPicture* out = new CPicture();
    try {
        out->create(w, h);
        resizeStatic(this, out, filter);
    } catch (...) {
        delete out;
        throw;
    }
    return out;
}

void CPicture::resizeStatic(CPicture* src, CPicture* dst, int filter) {
    if (!src || !dst) return;
    dst->transparencyMode = src->transparencyMode;
    // Opaque pictures keep byte 3 as it is; every other mode filters it like a colour.
    const int channels = src->transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    if (dst->isEmpty()) {
    } else if (src->isEmpty() || filter < 0 || filter > 3) {
        zeroChannels(*dst, channels);
    } else if (filter == 0) {
        resizeBox(*src, *dst, channels);
    } else if (filter == 1) {
        resizeTapped<2, false>(*src, *dst, filter, channels);
    } else if (filter == 2) {
        resizeTapped<6, false>(*src, *dst, filter, channels);
    } else {
        resizeTapped<17, true>(*src, *dst, filter, channels);
    }
    if (dst->transparencyMode == TRANSPARENCY_MASK) dst->transparencyMode = TRANSPARENCY_ALPHA;
}
