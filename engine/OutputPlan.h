// SPDX-License-Identifier: MIT
// What a job makes of a picture: the size words, and the box, cut and copy rule of one output.
#pragma once

#include <cstdint>
#include <string>

#include "picture/ImageWriter.h"

// A size as the user writes it: "WxH" (a box), "N%" (of the picture), "N" (the long edge fits
// into N, a box of N by N), "Wx" (the width alone) or "xH" (the height alone).
struct SizeWord {
    enum Kind { Box, Percent, Long, Width, Height, Other };
    Kind kind = Other;
    int32_t width = 0, height = 0;  // Box: both; Long: both N; Width, Height: that side, the other 0
    double percent = 0;
};

// Reads a size word as intake and jobs always have: "x" (lower case) splits the box, the sides are
// read with strToInt after trimming; anything else is Other (0 by 0).
SizeWord parseSizeWord(const std::string& text);

// The box W x H a job fits a w x h picture into, the part of the picture that goes into it (all of
// it unless the centre crop cuts it), and whether the part is resampled or copied as it is.
// Truncates toward zero like a C cast, but saturates instead of overflowing; NaN gives 0.
int32_t truncateToInt(double value);

struct Plan {
    int32_t W = 0, H = 0;
    int32_t x = 0, y = 0, w = 0, h = 0;
    bool cut = false;
    bool copy = false;
};

// The plan for a w x h picture by the size word, the crop mode (the sizes that give one side or
// the long edge always fit) and the never-enlarge rule (a picture already inside the box keeps
// its own size; a stretched side is never made longer).
Plan planFor(const std::string& resolution, int32_t cropMode, bool noEnlarge, int32_t w, int32_t h);

// The metadata blocks a source carries (EXIF from its TIFF header on), as the job hands them on.
struct SourceBlocks {
    std::string exif, xmp, iptc;
};

// What of the source's blocks goes into an output of `type` by the metadata mode (MetadataMode):
// all of them, all without location, or none; and only those the type has a place for. A block
// that cannot be read where it must be (stripped of location, or IPTC at all) or that the type has
// no place for is left out, and `note` says so (several notes are joined by "; "). The colour
// profile is not metadata: the caller sets icc.
OutputMetadata chooseMetadata(int32_t mode, OutputType type, const SourceBlocks& blocks, std::string& note);
