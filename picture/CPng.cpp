// PNG loading into a picture: runs the streaming decoder and converts its RGBA rows.
#include <cstdio>
#include <new>

#include "picture/Picture.h"
#include "picture/kppng.h"
#include "tools/modTools.h"

namespace {

// Decodes the file into `decoder`; false when nothing usable came out.
bool decodePngFile(const std::string& path, KpRawPngDecoder& decoder) {
    FILE* fp = fileOpen(path, "rb", nullptr);
    if (!fp) return false;
    int result = -1;
    try {
        result = decoder.Decode(fp);
    } catch (const std::bad_alloc&) {
        result = -1;
    }
    fclose(fp);
    return result >= 0 && decoder.wid > 0 && decoder.hei > 0 && decoder.rgba;
}

}  // namespace

void CPicture::loadFromPNG(const std::string& path) {
    close();
    KpRawPngDecoder decoder;
    if (!decodePngFile(path, decoder)) return;
    try {
        create(decoder.wid, decoder.hei);
    } catch (const std::bad_alloc&) {
        return;
    }
    // RGBA to BGRA; any partial alpha makes the picture straight-alpha, only 0 and 255 a mask.
    const uint8_t* src = decoder.rgba;
    uint8_t* dst = pixels;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    bool anyZero = false, anyPartial = false;
    for (size_t i = 0; i < count; i++, src += 4, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = src[3];
        anyZero |= src[3] == 0;
        anyPartial |= uint8_t(src[3] - 1) < 254;
    }
    transparencyMode = anyPartial ? TRANSPARENCY_ALPHA : anyZero ? TRANSPARENCY_MASK : TRANSPARENCY_NONE;
}
