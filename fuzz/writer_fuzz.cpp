// SPDX-License-Identifier: MIT
// libFuzzer target for the WebP, AVIF, JPEG XL and TIFF writers: a picture of fuzzed size, mode,
// pixels and metadata written as one type at one quality.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "picture/ImageWriter.h"
#include "picture/Picture.h"

namespace {

const OutputType kTypes[] = {OutputType::Webp, OutputType::Avif, OutputType::Jxl, OutputType::Tiff};

// Takes bytes from the front of the input; zeros once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::string bytes(size_t n) {
        n = n < size ? n : size;
        std::string out(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        return out;
    }
};

}  // namespace

// Header bytes: type, quality, mode, width (2 bytes), height, metadata lengths (EXIF, ICC), then
// the metadata and the pixels, repeated as needed to fill the picture.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const OutputType type = kTypes[in.byte() % 4];
    WriteOptions options;
    options.quality = 1 + in.byte() % 100;
    const int32_t mode = in.byte() % 4;
    // Widths reach past WebP's 16383; the area stays small so that AV1 encoding stays quick.
    const int low = in.byte(), high = in.byte();
    int width = 1 + (low | high << 8) % 17000;
    int height = 1 + in.byte() % 96;
    if (width * height > 16384) height = 16384 / width > 0 ? 16384 / width : 1;
    const size_t exifSize = in.byte(), iccSize = in.byte();
    OutputMetadata metadata;
    metadata.exif = in.bytes(exifSize);
    metadata.icc = in.bytes(iccSize);
    CPicture picture(width, height);
    picture.transparencyMode = mode;
    const size_t total = size_t(width) * size_t(height) * 4;
    if (in.size > 0)
        for (size_t i = 0; i < total; ++i) picture.pixels[i] = in.data[i % in.size];
    FILE* file = fopen("/dev/null", "wb");
    if (file) writeImage(type, picture, metadata, options, file);
    return 0;
}
