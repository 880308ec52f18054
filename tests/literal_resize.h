// SPDX-License-Identifier: MIT
// The resampler written out plainly: every weight evaluated per tap, every sum in its defining order.
// Tests compare the product's resizeStatic with it byte for byte; the benchmark times it.
#pragma once

#include <cmath>
#include <cstdint>

#include "picture/Picture.h"

namespace literal {

inline float spline36(float t) {
    if (t <= 1.0f) return ((13.0f / 11.0f * t - 453.0f / 209.0f) * t - 3.0f / 209.0f) * t + 1.0f;
    if (t <= 2.0f) {
        float u = t - 1.0f;
        return ((-(6.0f / 11.0f) * u + 270.0f / 209.0f) * u - 156.0f / 209.0f) * u;
    }
    float u = t - 2.0f;
    return ((1.0f / 11.0f * u - 45.0f / 209.0f) * u + 26.0f / 209.0f) * u;
}

inline int clampTo(int i, int size) {
    return i < 0 ? 0 : i >= size ? size - 1 : i;
}

inline void resizeStatic(const CPicture* src, CPicture* dst, int filter) {
    const int srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    double scaleX = double(srcW) / dstW, scaleY = double(srcH) / dstH;
    int boxW = 0, boxH = 0;
    float boxWeight = 0;
    if (filter == 0) {
        boxW = int(scaleX);
        boxH = int(scaleY);
        if (boxW * boxH > 0) boxWeight = 1.0f / float(boxW * boxH);
    }
    dst->transparencyMode = src->transparencyMode;
    const int channels = src->transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    double y = 0;
    for (int i = 0; i < dstH; ++i, y += scaleY) {
        double x = 0;
        for (int j = 0; j < dstW; ++j, x += scaleX) {
            float sum[4] = {0, 0, 0, 0};
            if (x < srcW && y < srcH) {
                int ix = int(x), iy = int(y);
                if (filter == 0) {
                    for (int k = ix; k < ix + boxW; ++k)
                        for (int l = iy; l < iy + boxH; ++l) {
                            // Clamped only so that a rounding slip cannot read outside the source.
                            const uint8_t* p = src->pixelAt(clampTo(k, srcW), clampTo(l, srcH));
                            for (int c = 0; c < channels; ++c) sum[c] += p[c] * boxWeight;
                        }
                } else if (filter == 1) {
                    for (int k = ix; k <= ix + 1; ++k)
                        for (int l = iy; l <= iy + 1; ++l) {
                            float wx = 1.0f - std::fabs(float(x - k));
                            float wy = 1.0f - std::fabs(float(y - l));
                            float w = wy * wx;
                            const uint8_t* p = src->pixelAt(k < srcW ? k : srcW - 1, l < srcH ? l : srcH - 1);
                            for (int c = 0; c < channels; ++c) sum[c] += p[c] * w;
                        }
                } else if (filter == 2) {
                    for (int k = ix - 2; k <= ix + 3; ++k) {
                        float wx = spline36(std::fabs(float(x - k)));
                        for (int l = iy - 2; l <= iy + 3; ++l) {
                            float wy = spline36(std::fabs(float(y - l)));
                            float w = wy * wx;
                            const uint8_t* p = src->pixelAt(clampTo(k, srcW), clampTo(l, srcH));
                            for (int c = 0; c < channels; ++c) sum[c] += p[c] * w;
                        }
                    }
                } else if (filter == 3) {
                    for (int k = iy - 8; k <= iy + 8; ++k) {
                        float wy = visGetLanczos8(std::fabs(float(y - k)));
                        for (int l = ix - 8; l <= ix + 8; ++l) {
                            float wx = visGetLanczos8(std::fabs(float(x - l)));
                            float w = wx * wy;
                            const uint8_t* p = src->pixelAt(clampTo(l, srcW), clampTo(k, srcH));
                            for (int c = 0; c < channels; ++c) sum[c] += p[c] * w;
                        }
                    }
                }
            }
            uint8_t* out = dst->pixelAt(j, i);
            for (int c = 0; c < channels; ++c) {
                float s = sum[c];
                if (filter == 2 || filter == 3) s = s < 0.0f ? 0.0f : s > 255.0f ? 255.0f : s;
                out[c] = uint8_t(int(s));
            }
        }
    }
    if (dst->transparencyMode == TRANSPARENCY_MASK) dst->transparencyMode = TRANSPARENCY_ALPHA;
}

// Linear light written out plainly: each colour byte decoded from sRGB to linear light, the filter's
// sum formed over the linear values exactly as resizeStatic forms it over the bytes, the sum
// clamped to 0..1 and encoded back to sRGB, rounded to nearest; byte 3 as resizeStatic does it.
inline float srgbToLinear(uint8_t v) {
    const double c = v / 255.0;
    return float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
}

inline uint8_t linearToSrgb(float v) {
    const double s = v < 0.0f ? 0.0 : v > 1.0f ? 1.0 : double(v);
    return uint8_t(int((s <= 0.0031308 ? 12.92 * s : 1.055 * std::pow(s, 1 / 2.4) - 0.055) * 255 + 0.5));
}

inline void resizeLinear(const CPicture* src, CPicture* dst, int filter) {
    const int srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    const int channels = src->transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    auto value = [&](int x, int y, int c) {
        const uint8_t b = src->pixelAt(x, y)[c];
        return c < 3 ? srgbToLinear(b) : float(b);
    };
    const double scaleX = double(srcW) / dstW, scaleY = double(srcH) / dstH;
    double y = 0;
    for (int i = 0; i < dstH; ++i, y += scaleY) {
        double x = 0;
        for (int j = 0; j < dstW; ++j, x += scaleX) {
            if (!(x < srcW && y < srcH)) continue;
            float sum[4] = {0, 0, 0, 0};
            const int ix = int(x), iy = int(y);
            if (filter == 1) {
                for (int k = ix; k <= ix + 1; ++k)
                    for (int l = iy; l <= iy + 1; ++l) {
                        float w = (1.0f - std::fabs(float(y - l))) * (1.0f - std::fabs(float(x - k)));
                        for (int c = 0; c < channels; ++c)
                            sum[c] += value(k < srcW ? k : srcW - 1, l < srcH ? l : srcH - 1, c) * w;
                    }
            } else if (filter == 2) {
                for (int k = ix - 2; k <= ix + 3; ++k) {
                    float wx = spline36(std::fabs(float(x - k)));
                    for (int l = iy - 2; l <= iy + 3; ++l) {
                        float w = spline36(std::fabs(float(y - l))) * wx;
                        for (int c = 0; c < channels; ++c) sum[c] += value(clampTo(k, srcW), clampTo(l, srcH), c) * w;
                    }
                }
            } else {
                for (int k = iy - 8; k <= iy + 8; ++k) {
                    float wy = visGetLanczos8(std::fabs(float(y - k)));
                    for (int l = ix - 8; l <= ix + 8; ++l) {
                        float w = visGetLanczos8(std::fabs(float(x - l))) * wy;
                        for (int c = 0; c < channels; ++c) sum[c] += value(clampTo(l, srcW), clampTo(k, srcH), c) * w;
                    }
                }
            }
            uint8_t* out = dst->pixelAt(j, i);
            for (int c = 0; c < 3; ++c) out[c] = linearToSrgb(sum[c]);
            if (channels == 4) {
                float s = sum[3];
                if (filter != 1) s = s < 0.0f ? 0.0f : s > 255.0f ? 255.0f : s;
                out[3] = uint8_t(int(s));
            }
        }
    }
}

}  // namespace literal
