// SPDX-License-Identifier: MIT
// Pixel and stream helpers shared by the WebP, AVIF, JPEG XL and TIFF writers.
#include "picture/WriterSupport.h"

#include <new>

bool straightenAlpha(CPicture& picture) {
    picture.undoPreMultiplication();
    if (picture.transparencyMode == TRANSPARENCY_MASK) {
        const size_t count = size_t(picture.width) * size_t(picture.height);
        for (size_t i = 0; i < count; ++i) {
            uint8_t& a = picture.pixels[i * 4 + 3];
            a = a ? 255 : 0;
        }
        picture.transparencyMode = TRANSPARENCY_ALPHA;
    }
    return picture.transparencyMode != TRANSPARENCY_NONE;
}

void rgbRows(const CPicture& picture, int first, int count, int channels, uint8_t* out) {
    const size_t pixels = size_t(picture.width) * size_t(count);
    const uint8_t* in = picture.pixelAt(0, first);
    for (size_t i = 0; i < pixels; ++i, in += 4, out += channels) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        if (channels == 4) out[3] = in[3];
    }
}

std::vector<uint8_t> rgbPicture(const CPicture& picture, int channels) {
    std::vector<uint8_t> rgb;
    try {
        rgb.resize(size_t(picture.width) * size_t(picture.height) * size_t(channels));
    } catch (const std::bad_alloc&) {
        return rgb;
    }
    rgbRows(picture, 0, picture.height, channels, rgb.data());
    return rgb;
}

bool writeAndClose(FILE* file, const void* data, size_t size) {
    bool ok = data != nullptr && fwrite(data, 1, size, file) == size;
    // fclose flushes the last bytes; a failure there is a failed save too.
    if (fclose(file) != 0) ok = false;
    return ok;
}

std::string exifWithOffset(const std::string& exif) {
    return std::string(4, '\0') + exif;
}

bool encodeAndClose(FILE* file, const std::function<bool()>& encode) {
    bool written = false;
    try {
        written = encode();
    } catch (...) {
        written = false;
    }
    if (fclose(file) != 0) return false;
    return written;
}
