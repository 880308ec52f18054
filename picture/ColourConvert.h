// SPDX-License-Identifier: MIT
// Converting a picture's colours from its ICC profile to sRGB through LittleCMS 2.
#pragma once

#include <cstdint>
#include <string>

#include "picture/Picture.h"

enum class ColourResult {
    Unchanged,   // no profile, or an sRGB one: the pixels are left as they are
    Converted,   // the pixels are now sRGB
    Unreadable,  // a profile LittleCMS cannot read or use for RGB pixels: the pixels are left alone
};

// Converts the 8-bit pixels in place from `profile` to sRGB with perceptual intent and LittleCMS's
// default flags (matrix profiles fall back to relative colorimetric, as LittleCMS does). Byte 3
// is never touched, so alpha stays as it was; a premultiplied picture is made straight first.
// Every source gives 8-bit samples today, so the transform is the 8-bit one.
ColourResult convertToSrgb(CPicture& picture, const std::string& profile);

// True when the profile describes sRGB: an RGB matrix-shaper profile with sRGB's colorants and
// tone curves (within what 8 bits can tell), whatever its name.
bool isSrgbProfile(const std::string& profile);

// Rows of CMYK samples converted through their CMYK profile to sRGB in the picture layout (blue,
// green, red; byte 3 left as it is), perceptual intent with LittleCMS's default flags. Samples
// are c, m, y, k per pixel, 8 bits (inverted: 255 means no ink, as Adobe writes CMYK JPEGs) or 16
// bits in the machine's order (0 means no ink). Each decoder owns its own, so no two threads
// share one.
class CmykToSrgb {
  public:
    CmykToSrgb(const std::string& profile, bool inverted, bool sixteenBits);
    ~CmykToSrgb();
    CmykToSrgb(const CmykToSrgb&) = delete;
    CmykToSrgb& operator=(const CmykToSrgb&) = delete;
    // False when the profile cannot be read or describes no CMYK device.
    bool usable() const { return transform != nullptr; }
    void convert(const void* samples, uint8_t* pixels, int width) const;

  private:
    void* context = nullptr;
    void* transform = nullptr;
};
