// SPDX-License-Identifier: MIT
// Converting a picture's colours from its ICC profile to sRGB through LittleCMS 2.
#pragma once

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
