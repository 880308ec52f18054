// SPDX-License-Identifier: MIT
// Opening an image file for decoding, by its first bytes.
#include "picture/ImageSource.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "picture/FileKind.h"
#include "tools/modTools.h"

namespace {

uint32_t u16le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t u32le(const uint8_t* p) {
    return u16le(p) | u16le(p + 2) << 16;
}
uint32_t u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

bool declaredSize(const std::string& path, int32_t& width, int32_t& height, bool& whole, uint64_t* heldBytes) {
    std::string bytes;
    const FileKind kind = fileKindOfFile(path, &bytes);
    if (heldBytes) *heldBytes = 0;
    if (kind == FileKind::Gif) {
        uint64_t held = 0;
        int32_t w = 0, h = 0;
        if (!gifLayout(path, w, h, held) || w <= 0 || h <= 0) return false;
        width = w;
        height = h;
        whole = false;
        if (heldBytes) *heldBytes = held;
        return true;
    }
    if (kind != FileKind::Png && kind != FileKind::Gif && kind != FileKind::Bmp) return false;
    uint8_t head[32] = {};
    const size_t got = std::min(bytes.size(), sizeof head);
    memcpy(head, bytes.data(), got);
    int64_t w = 0, h = 0;
    whole = true;
    if (kind == FileKind::Png) {
        if (got < 29 || memcmp(head + 12, "IHDR", 4) != 0) return false;
        w = u32be(head + 16);
        h = u32be(head + 20);
        whole = head[28] != 0;
    } else if (kind == FileKind::Gif) {
        if (got < 10 || memcmp(head, "GIF", 3) != 0) return false;
        w = u16le(head + 6);
        h = u16le(head + 8);
    } else {
        if (got < 26 || head[0] != 'B' || head[1] != 'M') return false;
        if (u32le(head + 14) == 12) {
            w = u16le(head + 18);
            h = u16le(head + 20);
        } else {
            w = int32_t(u32le(head + 18));
            h = std::llabs(int64_t(int32_t(u32le(head + 22))));
        }
    }
    if (w <= 0 || h <= 0 || w > INT32_MAX || h > INT32_MAX) return false;
    width = int32_t(w);
    height = int32_t(h);
    return true;
}

bool ImageSource::putTurned(CPicture& turned, int code) {
    TurningRows rows(turned, code, width, height);
    if (!putRows(rows)) return false;
    turned.transparencyMode = mode;
    return true;
}

PictureSource::PictureSource(std::unique_ptr<CPicture> picture) : held(std::move(picture)) {
    width = held->width;
    height = held->height;
    mode = held->transparencyMode;
    failureText = held->loadFailure;
    warningText = held->loadWarning;
    profile = held->iccProfile;
}

bool PictureSource::putRows(RowSink& sink) {
    putPictureRows(*held, sink);
    return true;
}

namespace {

class FailedSource final : public ImageSource {
  public:
    explicit FailedSource(const std::string& why) { failureText = why; }
    bool putRows(RowSink&) override { return false; }
};

}  // namespace

std::unique_ptr<ImageSource> failedSource(const std::string& why) {
    return std::unique_ptr<ImageSource>(new FailedSource(why));
}

std::unique_ptr<ImageSource> ImageSource::open(const std::string& path) {
    std::string head;
    const FileKind kind = fileKindOfFile(path, &head);
    std::unique_ptr<CPicture> picture;
    switch (kind) {
        case FileKind::Jpeg: return openJpegSource(path);
        case FileKind::Png: return openPngSource(path);
        case FileKind::Heif:
        case FileKind::Avif: return openHeifSource(path);
        case FileKind::Webp: return openWebpSource(path);
        case FileKind::Tiff: return openTiffSource(path);
        case FileKind::Jxl: return openJxlSource(path);
        case FileKind::Gif: return openGifSource(path);
        case FileKind::Bmp:
            picture.reset(new CPicture());
            picture->loadFromBMP(path);
            break;
        default: {
            // A file that cannot be read says why in the system's words.
            FILE* file = fileOpen(path, "rb");
            if (!file) return failedSource(strerror(errno));
            fclose(file);
            return failedSource(unknownFileCause(head));
        }
    }
    return std::unique_ptr<ImageSource>(new PictureSource(std::move(picture)));
}
