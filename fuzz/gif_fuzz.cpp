// SPDX-License-Identifier: MIT
// libFuzzer target: a whole GIF load through CPicture::loadFromGIF, from a temporary file, and the
// streamed source and the block walk of the same file, which must agree with it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "picture/CGif.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"

namespace {

std::string& inputPath() {
    static std::string path;
    return path;
}

void removeInput() {
    unlink(inputPath().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Hostile sizes up to 2^31 pixels are legal but exceed the fuzzer's memory limit.
    CGif::setPixelLimit(int64_t(1) << 18);
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    inputPath() = std::string(dir) + "/pixmill-gif-fuzz-" + std::to_string(getpid()) + ".gif";
    atexit(removeInput);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(inputPath().c_str(), "wb");
    if (!f) return 0;
    bool written = fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !written) return 0;
    CPicture picture;
    picture.loadFromGIF(inputPath());
    // A picture is either empty or fully sized.
    if ((picture.width == 0) != (picture.pixels == nullptr)) abort();
    int32_t w = 0, h = 0;
    uint64_t held = 0;
    gifLayout(inputPath(), w, h, held);
    std::unique_ptr<ImageSource> source = openGifSource(inputPath());
    if (source->isOpen() != !picture.isEmpty()) abort();
    if (!source->isOpen()) return 0;
    CPicture streamed(source->width, source->height);
    PictureRows rows(streamed);
    if (!source->putRows(rows) || source->mode != picture.transparencyMode ||
        streamed.width != picture.width || streamed.height != picture.height ||
        memcmp(streamed.pixels, picture.pixels, size_t(picture.width) * picture.height * 4) != 0)
        abort();
    return 0;
}
