// SPDX-License-Identifier: MIT
// Linear-light resampling: written plainly, per output pixel and tap, in the filters' defining order.
#include "picture/LinearRows.h"

#include <algorithm>
#include <cmath>

namespace {

float spline36(float t) {
    if (t <= 1.0f) return ((13.0f / 11.0f * t - 453.0f / 209.0f) * t - 3.0f / 209.0f) * t + 1.0f;
    if (t <= 2.0f) {
        const float u = t - 1.0f;
        return ((-(6.0f / 11.0f) * u + 270.0f / 209.0f) * u - 156.0f / 209.0f) * u;
    }
    const float u = t - 2.0f;
    return ((1.0f / 11.0f * u - 45.0f / 209.0f) * u + 26.0f / 209.0f) * u;
}

int clampTo(int i, int size) {
    return i < 0 ? 0 : i >= size ? size - 1 : i;
}

struct Table {
    float values[256];
    Table() {
        for (int v = 0; v < 256; ++v) {
            const double c = v / 255.0;
            values[v] = float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
    }
};

}  // namespace

float linearOfByte(uint8_t v) {
    static const Table table;
    return table.values[v];
}

uint8_t byteOfLinear(float linear) {
    const double s = linear < 0.0f ? 0.0 : linear > 1.0f ? 1.0 : double(linear);
    const double e = s <= 0.0031308 ? 12.92 * s : 1.055 * std::pow(s, 1 / 2.4) - 0.055;
    return uint8_t(int(e * 255 + 0.5));
}

LinearRows::LinearRows(int srcW, int srcH, CPicture& dst, int filter, int channels)
    : srcW(srcW), srcH(srcH), dst(dst), filter(filter), channels(channels) {
    before = filter == 3 ? 8 : filter == 2 ? 2 : 0;
    after = filter == 3 ? 8 : filter == 2 ? 3 : 1;
    ringRows = before + after + 1;
    ring.resize(size_t(ringRows) * size_t(srcW) * 4);
}

void LinearRows::putRows(int y, int count, const uint8_t* rows, size_t stride) {
    for (int r = 0; r < count; ++r, ++received) {
        const uint8_t* in = rows + size_t(r) * stride;
        float* out = ring.data() + size_t((y + r) % ringRows) * size_t(srcW) * 4;
        for (int x = 0; x < srcW; ++x)
            for (int c = 0; c < 4; ++c)
                out[x * 4 + c] = c < 3 ? linearOfByte(in[x * 4 + c]) : float(in[x * 4 + c]);
        // Every output row whose last row is in makes its row now.
        const double scaleY = double(srcH) / dst.height;
        while (nextOutput < dst.height) {
            const bool inside = nextY < srcH;
            const int last = inside ? std::min(int(nextY) + after, srcH - 1) : -1;
            if (last > y + r) break;
            if (inside) produce(nextOutput, nextY);
            ++nextOutput;
            nextY += scaleY;
        }
    }
}

void LinearRows::produce(int i, double y) {
    const double scaleX = double(srcW) / dst.width;
    const int iy = int(y);
    double x = 0;
    for (int j = 0; j < dst.width; ++j, x += scaleX) {
        if (x >= srcW) continue;
        const int ix = int(x);
        float sum[4] = {0, 0, 0, 0};
        auto add = [&](int column, int rowIndex, float w) {
            const float* p = row(rowIndex) + size_t(column) * 4;
            for (int c = 0; c < channels; ++c) sum[c] += p[c] * w;
        };
        if (filter == 1) {
            for (int k = ix; k <= ix + 1; ++k)
                for (int l = iy; l <= iy + 1; ++l) {
                    const float wx = 1.0f - std::fabs(float(x - k)), wy = 1.0f - std::fabs(float(y - l));
                    add(k < srcW ? k : srcW - 1, l < srcH ? l : srcH - 1, wy * wx);
                }
        } else if (filter == 2) {
            for (int k = ix - 2; k <= ix + 3; ++k) {
                const float wx = spline36(std::fabs(float(x - k)));
                for (int l = iy - 2; l <= iy + 3; ++l)
                    add(clampTo(k, srcW), clampTo(l, srcH), spline36(std::fabs(float(y - l))) * wx);
            }
        } else {
            for (int k = iy - 8; k <= iy + 8; ++k) {
                const float wy = visGetLanczos8(std::fabs(float(y - k)));
                for (int l = ix - 8; l <= ix + 8; ++l)
                    add(clampTo(l, srcW), clampTo(k, srcH), visGetLanczos8(std::fabs(float(x - l))) * wy);
            }
        }
        uint8_t* out = dst.pixelAt(j, i);
        for (int c = 0; c < 3; ++c) out[c] = byteOfLinear(sum[c]);
        if (channels == 4) {
            float s = sum[3];
            if (filter != 1) s = s < 0.0f ? 0.0f : s > 255.0f ? 255.0f : s;
            out[3] = uint8_t(int(s));
        }
    }
}
