// SPDX-License-Identifier: MIT
// PNG loading into a picture: the streaming decoder writes its pixels straight into the picture.
#include <errno.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "picture/ImageSource.h"
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
    picture.loadFailure.clear();
    picture.loadWarning.clear();
    picture.iccProfile.clear();
    int result = -1;
    bool opaque = false;
    std::string failure, warning, profile;
    {
        KpRawPngDecoder decoder(&picture);
        try {
            result = decoder.Decode(fp);
        } catch (const std::bad_alloc&) {
            result = -1;
        }
        if (decoder.wid <= 0 || decoder.hei <= 0) result = -1;
        opaque = decoder.KnownOpaque();
        failure.swap(decoder.failure);
        warning.swap(decoder.warning);
        profile.swap(decoder.iccProfile);
    }
    // A failed decode, a refused header included, leaves the picture empty.
    if (result < 0) {
        picture.close();
        picture.loadFailure = failure;
        return;
    }
    picture.loadWarning = warning;
    picture.iccProfile = profile;
    picture.transparencyMode = opaque
                                   ? TRANSPARENCY_NONE
                                   : transparencyOf(picture.pixels, static_cast<size_t>(picture.width) *
                                                                        static_cast<size_t>(picture.height));
}

void CPicture::loadFromPNG(const std::string& path) {
    close();
    FILE* fp = fileOpen(path, "rb", nullptr);
    if (!fp) {
        loadFailure = strerror(errno);
        return;
    }
    loadPngFromStream(*this, fp);
    fclose(fp);
}

namespace {

// Passes rows on and notes their transparency bytes, which decide the picture's mode.
class AlphaWatch final : public RowSink {
  public:
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override {
        // Rows of a kind that cannot be transparent need no look: only rows the data never
        // reached are (zero, so a mask), and the decoder tells that at the end.
        if (decoder && decoder->OpaqueKind()) {
            next->putRows(y, count, rows, stride);
            return;
        }
        for (int r = 0; r < count; ++r) {
            const uint8_t* p = rows + size_t(r) * stride;
            for (size_t x = 0; x < width; ++x) {
                const uint8_t a = p[4 * x + 3];
                anyZero |= a == 0;
                anyPartial |= uint8_t(a - 1) < 254;
            }
        }
        next->putRows(y, count, rows, stride);
    }
    int32_t mode() const {
        if (decoder && decoder->OpaqueKind()) return decoder->KnownOpaque() ? TRANSPARENCY_NONE : TRANSPARENCY_MASK;
        return anyPartial ? TRANSPARENCY_ALPHA : anyZero ? TRANSPARENCY_MASK : TRANSPARENCY_NONE;
    }
    RowSink* next = nullptr;
    const KpRawPngDecoder* decoder = nullptr;
    size_t width = 0;

  private:
    bool anyZero = false, anyPartial = false;
};

// A non-interlaced PNG whose rows are inflated as they are put. Its mode is known only at the end:
// a file whose data ends early has transparent zero pixels.
class PngRowSource final : public ImageSource {
  public:
    explicit PngRowSource(const std::string& path) : decoder(&watch) {
        FILE* fp = fileOpen(path, "rb", nullptr);
        if (!fp) {
            failureText = strerror(errno);
            return;
        }
        // The file stays open: its image data is read as the rows are put.
        file.reset(fp);
        decoder.fp = fp;
        const int result = decoder.ReadChunks();
        const bool usable = result >= 0 && decoder.HeaderUsable();
        failureText = decoder.failure;
        if (!usable) return;
        profile = decoder.iccProfile;
        exifBlock = decoder.exifBlock;
        xmpPacket = decoder.xmpPacket;
        width = int(decoder.hdr.width);
        height = int(decoder.hdr.height);
        interlaced = decoder.hdr.interlaceMethod == 1;
        modeKnown = false;
    }
    bool interlaced = false;
    bool streams() const override { return true; }
    bool putRows(RowSink& sink) override {
        watch.next = &sink;
        watch.width = size_t(width);
        watch.decoder = &decoder;
        decoder.DecodeImage();
        file.reset();
        decoder.fp = nullptr;
        // Only a buffer that could not be had leaves rows unput: the load would have failed.
        if (decoder.wid != width || decoder.hei != height) return false;
        mode = watch.mode();
        modeKnown = true;
        warningText = decoder.warning;
        return true;
    }

  private:
    std::unique_ptr<FILE, int (*)(FILE*)> file{nullptr, fclose};
    AlphaWatch watch;
    KpRawPngDecoder decoder;
};

}  // namespace

std::unique_ptr<ImageSource> openPngSource(const std::string& path) {
    std::unique_ptr<PngRowSource> rows(new PngRowSource(path));
    if (!rows->isOpen() || !rows->interlaced) return std::unique_ptr<ImageSource>(rows.release());
    // Interlaced rows arrive in passes: the picture is decoded whole.
    std::unique_ptr<CPicture> picture(new CPicture());
    picture->loadFromPNG(path);
    std::unique_ptr<ImageSource> whole(new PictureSource(std::move(picture)));
    whole->exifBlock = rows->exifBlock;
    whole->xmpPacket = rows->xmpPacket;
    return whole;
}
