// SPDX-License-Identifier: MIT
// Opening an image file for decoding, by the last four characters of its name.
#include "picture/ImageSource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool declaredSize(const std::string& path, int32_t& width, int32_t& height, bool& whole) {
    const std::string suffix = path.size() < 4 ? std::string() : strtolower(path.substr(path.size() - 4));
    if (suffix != ".png" && suffix != ".gif" && suffix != ".bmp") return false;
    uint8_t head[32] = {};
    FILE* file = fileOpen(path, "rb");
    if (!file) return false;
    const size_t got = fread(head, 1, sizeof head, file);
    fclose(file);
    int64_t w = 0, h = 0;
    whole = true;
    if (suffix == ".png") {
        if (got < 29 || memcmp(head + 12, "IHDR", 4) != 0) return false;
        w = u32be(head + 16);
        h = u32be(head + 20);
        whole = head[28] != 0;
    } else if (suffix == ".gif") {
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

std::unique_ptr<ImageSource> ImageSource::open(const std::string& path) {
    const std::string suffix = path.size() < 4 ? std::string() : strtolower(path.substr(path.size() - 4));
    if (suffix == ".jpg" || suffix == "jpeg") return openJpegSource(path);
    if (suffix == ".png") return openPngSource(path);
    std::unique_ptr<CPicture> picture(new CPicture());
    picture->load(path);
    return std::unique_ptr<ImageSource>(new PictureSource(std::move(picture)));
}
