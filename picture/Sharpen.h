// SPDX-License-Identifier: MIT
// Unsharp mask on an 8-bit picture, for the softness a strong reduction leaves.
#pragma once

#include "picture/Picture.h"

// Sharpens bytes 0 to 2 of every pixel in place; byte 3 (alpha) is left as it is. With v a byte
// and b its blur, the 3 x 3 binomial (1 2 1 by 1 2 1, sum + 8 shifted right by 4, with the
// picture's edge pixels repeated beyond it), the new byte is v + floor((amount * (v - b) + 64) /
// 128) held to 0..255. amount is 64, 128 or 192 (light, medium, strong); 0 changes nothing.
void sharpenPicture(CPicture& picture, int amount);
