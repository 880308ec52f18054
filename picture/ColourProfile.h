// SPDX-License-Identifier: MIT
// ICC profiles built with LittleCMS for pictures that name their colour space by code points
// (ITU-T H.273: HEIF's and AVIF's nclx description) instead of carrying a profile.
#pragma once

#include <string>

// The transfer characteristics of HDR pictures (PQ and HLG): no display profile describes them,
// and their 8-bit conversion is not tone mapped.
bool isHdrTransfer(int transfer);

// True for an ICC profile of RGB data (the only kind a picture of blue, green and red carries);
// grey and CMYK profiles, and bytes too short to be a profile, are not.
bool isRgbProfile(const std::string& icc);

// An RGB display profile for the chromaticities (red x, y, green x, y, blue x, y, white x, y) and
// the transfer characteristics code. "" when the picture needs none (the sRGB primaries with an
// sRGB-like transfer, which every reader assumes), for HDR transfers, for chromaticities that
// make no profile, and when LittleCMS fails.
std::string iccProfileForNclx(int primaries, int transfer, const float xy[8]);
