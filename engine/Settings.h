// SPDX-License-Identifier: MIT
// Codes of the settings enumerations, shared by the settings file, the jobs and the bridge.
#pragma once

#include <cstdint>

namespace CropMode {
enum : int32_t { NoCrop = 0, Crop = 1, Stretch = 2 };
}
namespace ResizeQuality {
enum : int32_t { Basic = 0, High = 1, Best = 2, Nearest = 3 };
}
namespace Destination {
enum : int32_t { SameFolder = 0, SubFolder = 1, FixedFolder = 2 };
}
namespace OverwriteMode {
enum : int32_t { No = 0, Yes = 1 };
}
namespace Rotation {
enum : int32_t { None = 0, ByExif = 1, Landscape = 2, LandscapeCcw = 3, Portrait = 4 };
}

// Default qualities of the WebP, AVIF and JPEG XL outputs: on resized photos each matches the
// SSIM that JPEG at quality 90 gives (bench/quality_match.sh measures it).
const int32_t kDefaultWebpQuality = 82;
const int32_t kDefaultAvifQuality = 65;
const int32_t kDefaultJxlQuality = 92;
