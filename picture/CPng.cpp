// PNG loading into a picture: the streaming decoder writes its pixels straight into the picture.
#include <cstdio>
#include <new>

#include "picture/Picture.h"
#include "picture/kppng.h"
#include "tools/modTools.h"

namespace {

// Any partial alpha makes the picture straight-alpha; only 0 and 255 make a mask.
int32_t transparencyOf(const uint8_t* bgra, size_t count) {
    bool anyZero = false, anyPartial = false;
    for (size_t i = 0; i < count; i++) {
        uint8_t a = bgra[4 * i + 3];
        anyZero |= a == 0;
        anyPartial |= uint8_t(a - 1) < 254;
    }
    return anyPartial ? TRANSPARENCY_ALPHA : anyZero ? TRANSPARENCY_MASK : TRANSPARENCY_NONE;
}

}  // namespace

void loadPngFromStream(CPicture& picture, FILE* fp) {
    picture.close();
    int result = -1;
    {
        KpRawPngDecoder decoder(&picture);
        try {
            result = decoder.Decode(fp);
        } catch (const std::bad_alloc&) {
            result = -1;
        }
        if (decoder.wid <= 0 || decoder.hei <= 0) result = -1;
    }
    // A failed decode, a refused header included, leaves the picture empty.
    if (result < 0) {
        picture.close();
        return;
    }
    picture.transparencyMode = transparencyOf(
        picture.pixels, static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height));
}

void CPicture::loadFromPNG(const std::string& path) {
    close();
    FILE* fp = fileOpen(path, "rb", nullptr);
    if (!fp) return;
    loadPngFromStream(*this, fp);
    fclose(fp);
}
