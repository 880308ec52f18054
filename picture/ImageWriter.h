// SPDX-License-Identifier: MIT
// Writing a picture as one of the output types: one writer per type behind one call.
#pragma once

#include <cstdio>
#include <string>

#include "picture/Picture.h"

enum class OutputType { Jpeg, Png, Bmp, Webp, Avif, Jxl, Tiff, None };

// The output type an output file name asks for, by its extension (any letter case); None for others.
OutputType outputTypeOfPath(const std::string& path);

// What goes into the file besides the pixels; each "" when there is nothing. exif: the EXIF block
// from its TIFF header on (as after "Exif\0\0" in JPEG's APP1); xmp: the XMP packet; iptc: the
// IPTC-NAA records; icc: the ICC colour profile. A writer whose type has no place for a block
// leaves it out.
struct OutputMetadata {
    std::string exif, xmp, iptc, icc;
};

enum class MetadataBlock { Exif, Xmp, Iptc };
// Whether the writer of `type` has a place for the block (JPEG: all; PNG: EXIF and XMP).
bool outputHolds(OutputType type, MetadataBlock block);

// How to encode: quality 1 to 100 for the lossy types (100 means lossless where the type has a
// lossless mode); progressive JPEG.
struct WriteOptions {
    int quality = 90;
    bool progressive = false;
};

// Writes the picture as `type` into `file`, which it closes in every outcome (a failed close is a
// failed write). False when the picture cannot be encoded or written whole.
bool writeImage(OutputType type, CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options,
                FILE* file);
