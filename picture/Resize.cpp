// SPDX-License-Identifier: MIT
// Resampling: area, bilinear, Spline36 and Lanczos-8 filters evaluated at one sample position per
// output pixel, with weights tabled per output row and column, fed one source row at a time.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "picture/Picture.h"
#include "picture/ResampleKernels.h"
#include "picture/ResampleWidth.h"
#include "picture/RowResampler.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using resample::AxisTable;

namespace {

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
std::vector<double> samplePositions(int count, double scale, double start = 0) {
    std::vector<double> positions(static_cast<size_t>(count));
    double p = start;
    for (auto& v : positions) {
        v = p;
        p += scale;
    }
    return positions;
}

// The axis of dstSize outputs over srcSize source pixels; with `axis` its sample positions are
// axis->start + o * axis->step instead of o * srcSize / dstSize.
AxisTable tableAxis(int dstSize, int srcSize, int filter, const SampleAxis* axis = nullptr) {
    const std::vector<double> positions = axis ? samplePositions(dstSize, axis->step, axis->start)
                                               : samplePositions(dstSize, double(srcSize) / dstSize);
    FilterShape shape = shapeOf(filter);
    AxisTable table;
    table.taps = shape.taps;
    table.sourceSize = srcSize;
    table.weight.assign(positions.size() * shape.taps, 0.0f);
    table.index.assign(positions.size() * shape.taps, 0);
    table.inside.assign(positions.size(), 0);
    for (size_t o = 0; o < positions.size(); ++o) {
        double p = positions[o];
        if (!(p < srcSize)) continue;
        table.inside[o] = 1;
        // Weights come from the unclamped tap; only the position read is clamped to the picture.
        // Floored: a grid may start a little before the first pixel (truncation is the same above 0).
        int64_t base = int64_t(std::floor(p)) + shape.first;
        for (int t = 0; t < shape.taps; ++t) {
            table.weight[o * shape.taps + t] = kernelWeight(filter, tapDistance(p, base + t));
            table.index[o * shape.taps + t] = clampIndex(base + t, srcSize);
        }
    }
    return table;
}

}  // namespace

// Four bytes to four floats, four pixels per step where SSE2 is there.
void resample::widenRowSse2(const uint8_t* p, float* out, int pixels) {
    int x = 0;
#if defined(__SSE2__)
    // Bytes widened to 16 and then 32 bits against zero.
    const __m128i zero = _mm_setzero_si128();
    for (; x + 4 <= pixels; x += 4) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + size_t(x) * 4));
        __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
        float* o = out + size_t(x) * 4;
        _mm_storeu_ps(o, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
        _mm_storeu_ps(o + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
        _mm_storeu_ps(o + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
        _mm_storeu_ps(o + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
    }
#endif
    for (; x < pixels; ++x)
        for (int c = 0; c < 4; ++c) out[size_t(x) * 4 + c] = float(p[size_t(x) * 4 + c]);
}

namespace {

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
            float sum[4] = {0, 0, 0, 0};
            if (xs[j] < src.width && ys[i] < src.height) {
                int ix = static_cast<int>(xs[j]), iy = static_cast<int>(ys[i]);
                for (int c = ix; c < ix + boxW; ++c)
                    for (int r = iy; r < iy + boxH; ++r) {
                        const uint8_t* p = src.pixelAt(clampIndex(c, src.width), clampIndex(r, src.height));
                        for (int k = 0; k < 4; ++k) sum[k] += p[k] * weight;
                    }
            }
            // Non-negative weights summing to about 1: the sums stay within 0..255.
            uint8_t* out = dst.pixelAt(j, i);
            for (int k = 0; k < channels; ++k) out[k] = static_cast<uint8_t>(static_cast<int>(sum[k]));
        }
    }
}

void zeroChannels(uint8_t* out, size_t pixels, int channels) {
    for (size_t p = 0; p < pixels; ++p) memset(out + p * 4, 0, size_t(channels));
}

// A double size to int: NaN gives 0, values beyond int saturate.
int sizeFromDouble(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(v);
}

// ---- Width of the kernels ----

int cpuWidth() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw")) return 32;
    if (__builtin_cpu_supports("avx512f")) return 16;
    if (__builtin_cpu_supports("avx2")) return 8;
#endif
#if defined(__SSE2__)
    return 4;
#else
    return 1;
#endif
}

// The width that runs fastest here: AMD's processors up to Zen 4 split every 512-bit operation in
// two 256-bit halves, so the 512-bit kernels' extra shuffles make them slower than AVX2 there.
int preferredWidth() {
    const int width = cpuWidth();
#if defined(__x86_64__) || defined(__i386__)
    if (width >= 16 && __builtin_cpu_is("amd")) return 8;
#endif
    return width;
}

// PIXMILL_SIMD caps the width; "avx512" and "avx512vbmi" ask for those kernels wherever they run.
int environmentCap() {
    const char* v = getenv("PIXMILL_SIMD");
    if (!v) return preferredWidth();
    if (strcmp(v, "plain") == 0) return 1;
    if (strcmp(v, "sse2") == 0) return 4;
    if (strcmp(v, "avx2") == 0) return 8;
    if (strcmp(v, "avx512") == 0) return 16;
    return 32;
}

std::atomic<int> chosenWidth{0};

std::unique_ptr<resample::RowKernel> makeKernel(const AxisTable& cols, int dstW, int channels,
                                                bool rowsOuter) {
    const int width = resampleWidth();
    if (width >= 32) return resample::makePlanarKernel(cols, dstW, channels, rowsOuter);
    if (width >= 16) return resample::makeAvx512Kernel(cols, dstW, channels, rowsOuter);
    if (width >= 8) return resample::makeAvx2Kernel(cols, dstW, channels, rowsOuter);
    if (width >= 4) return resample::makeSse2Kernel(cols, dstW, channels, rowsOuter);
    return resample::makePlainKernel(cols, dstW, channels, rowsOuter);
}

}  // namespace

int resampleWidthAvailable() {
    static const int available = cpuWidth();
    return available;
}

void setResampleWidth(int width) {
    chosenWidth = width;
}

int resampleWidth() {
    static const int byDefault = std::min(resampleWidthAvailable(), environmentCap());
    const int chosen = chosenWidth;
    const int width = chosen > 0 ? std::min(chosen, resampleWidthAvailable()) : byDefault;
    return width >= 32 ? 32 : width >= 16 ? 16 : width >= 8 ? 8 : width >= 4 ? 4 : 1;
}

// ---- The row-fed resampler ----

RowResampler::RowResampler(int srcW, int srcH, CPicture& dst, int filter, int channels, int turn,
                           const SampleGrid* grid)
    : srcW(srcW), srcH(srcH), dst(dst), channels(channels), taps(shapeOf(filter).taps) {
    // The turned picture's axes: its columns and rows, and where they lie in the source.
    quarter = turn == 6 || turn == 8;
    const int turnedW = quarter ? srcH : srcW, turnedH = quarter ? srcW : srcH;
    AxisTable turnedCols = tableAxis(dst.width, turnedW, filter, grid ? &grid->x : nullptr),
              turnedRows = tableAxis(dst.height, turnedH, filter, grid ? &grid->y : nullptr);
    // Code 6 runs the source's rows against the turned picture's columns, 3 against its rows; 8
    // and 3 run the source's columns backwards, so their rows are reversed as they come in.
    const bool backRows = turn == 6 || turn == 3;
    backColumns = turn == 8 || turn == 3;
    AxisTable cols = quarter ? std::move(turnedRows) : std::move(turnedCols);
    rowTable.reset(new AxisTable(quarter ? std::move(turnedCols) : std::move(turnedRows)));
    if (backRows)
        for (int& index : rowTable->index) index = srcH - 1 - index;
    // A quarter turn swaps which axis the sums take outer.
    const int outputs = int(rowTable->inside.size()), across = int(cols.inside.size());
    kernel = makeKernel(cols, across, channels, (filter == 3) != quarter);
    preparedBytes = (kernel->preparedBytes() + 63) / 64 * 64;
    if (quarter) turnedRow.assign(size_t(across) * 4, 0);
    if (backColumns) reversed.assign(size_t(srcW) * 4, 0);
    // Each output row is made once the last source row it reads is in; in that order.
    rowNeeded.assign(size_t(srcH), 0);
    std::vector<int> lastRow(size_t(outputs), -1);
    for (int i = 0; i < outputs; ++i)
        if (rowTable->inside[i])
            for (int t = 0; t < taps; ++t) {
                const int row = rowTable->index[size_t(i) * taps + t];
                rowNeeded[size_t(row)] = 1;
                lastRow[size_t(i)] = std::max(lastRow[size_t(i)], row);
            }
    order.resize(size_t(outputs));
    for (int i = 0; i < outputs; ++i) order[size_t(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return lastRow[size_t(a)] < lastRow[size_t(b)]; });
    ready.resize(size_t(outputs));
    for (int i = 0; i < outputs; ++i) ready[size_t(i)] = lastRow[size_t(order[size_t(i)])];
    ring.reset(static_cast<uint8_t*>(operator new[](size_t(taps) * preparedBytes, std::align_val_t(64))));
    for (int t = 0; t < taps; ++t) slot.push_back(ring.get() + size_t(t) * preparedBytes);
    produceRowsUpTo(-1);
}

RowResampler::~RowResampler() = default;

void RowResampler::convertRow(const uint8_t* bytes, uint8_t* prepared) {
    if (backColumns) {
        uint8_t* r = reversed.data();
        for (int x = 0; x < srcW; ++x) memcpy(r + size_t(srcW - 1 - x) * 4, bytes + size_t(x) * 4, 4);
        bytes = r;
    }
    kernel->prepare(bytes, prepared);
}

// Slots that still show the repeated row get their own copy, so it can be prepared anew.
void RowResampler::takeBackRepeated() {
    for (int t = 0; t < taps; ++t) {
        uint8_t* own = ring.get() + size_t(t) * preparedBytes;
        if (slot[size_t(t)] != repeated.get()) continue;
        memcpy(own, repeated.get(), preparedBytes);
        slot[size_t(t)] = own;
    }
}

void RowResampler::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    const bool once = stride == 0 && count > 1;
    bool prepared = false;
    for (int i = 0; i < count; ++i) {
        const int row = y + i;
        if (row < 0 || row >= srcH) continue;
        if (!rowNeeded[size_t(row)]) continue;
        uint8_t* own = ring.get() + size_t(row % taps) * preparedBytes;
        if (!once) {
            convertRow(rows + size_t(i) * stride, own);
            slot[size_t(row % taps)] = own;
        } else {
            if (!prepared) {
                if (!repeated)
                    repeated.reset(static_cast<uint8_t*>(operator new[](preparedBytes, std::align_val_t(64))));
                takeBackRepeated();
                convertRow(rows, repeated.get());
                prepared = true;
            }
            slot[size_t(row % taps)] = repeated.get();
        }
        produceRowsUpTo(row);
    }
}

// Output rows are made as soon as the last (and so every) source row they read is in the ring;
// the rows one output row reads are at most `taps` consecutive rows, so none was overwritten. After
// a quarter turn an output row is a column of the picture.
void RowResampler::produceRowsUpTo(int lastSourceRow) {
    const uint8_t* rows[17];
    while (nextOutput < order.size() && ready[nextOutput] <= lastSourceRow) {
        const int i = order[nextOutput];
        uint8_t* out = quarter ? turnedRow.data() : dst.pixelAt(0, i);
        const int across = quarter ? dst.height : dst.width;
        if (!rowTable->inside[size_t(i)]) {
            zeroChannels(out, size_t(across), channels);
        } else {
            const int* index = rowTable->index.data() + size_t(i) * taps;
            for (int t = 0; t < taps; ++t) rows[t] = slot[size_t(index[t] % taps)];
            kernel->run(rows, rowTable->weight.data() + size_t(i) * taps, out);
        }
        if (quarter)
            for (int r = 0; r < across; ++r) memcpy(dst.pixelAt(i, r), out + size_t(r) * 4, size_t(channels));
        ++nextOutput;
    }
}

// ---- Kernel functions and the public entry points ----

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
        zeroChannels(dst->pixels, size_t(dst->width) * size_t(dst->height), channels);
    } else if (filter == 0) {
        resizeBox(*src, *dst, channels);
    } else {
        RowResampler resampler(src->width, src->height, *dst, filter, channels);
        putPictureRows(*src, resampler);
    }
    if (dst->transparencyMode == TRANSPARENCY_MASK) dst->transparencyMode = TRANSPARENCY_ALPHA;
}
