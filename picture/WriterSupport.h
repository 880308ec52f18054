// SPDX-License-Identifier: MIT
// What the library-backed writers share: the picture in straight alpha, its rows as RGB(A), and
// the last step of every writer (the encoded bytes into the stream, which is then closed).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "picture/Picture.h"

// Brings the picture to the modes a library takes: premultiplied becomes straight alpha (as the
// PNG writer does it) and a mask becomes alpha 0 or 255. Returns whether the picture has alpha
// (false for TRANSPARENCY_NONE: written without an alpha channel).
bool straightenAlpha(CPicture& picture);

// The rows [first, first + count) as red, green, blue (and alpha when channels is 4), packed.
void rgbRows(const CPicture& picture, int first, int count, int channels, uint8_t* out);

// The whole picture as packed RGB(A); empty when the memory cannot be had.
std::vector<uint8_t> rgbPicture(const CPicture& picture, int channels);

// Writes size bytes and closes the stream; false when either fails. Closes it when data is null too.
bool writeAndClose(FILE* file, const void* data, size_t size);
// Runs an encoder that writes into `file`, then closes it: true when the encoder succeeded and the
// close did too. A library that throws (C++ inside, out of memory) fails this picture only.
bool encodeAndClose(FILE* file, const std::function<bool()>& encode);

// EXIF for containers that store it in a box or item: the block from its TIFF header on, behind a
// 4-byte big-endian offset to that header (0).
std::string exifWithOffset(const std::string& exif);

struct OutputMetadata;
struct WriteOptions;

// One writer per library-backed type (WebpWriter.cpp, AvifWriter.cpp, JxlWriter.cpp,
// TiffWriter.cpp), called by writeImage: each closes the stream in every outcome, prints nothing,
// and may straighten the picture's alpha in place.
bool writeWebp(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file);
bool writeAvif(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file);
bool writeJxl(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file);
bool writeTiff(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file);
