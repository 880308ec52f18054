// SPDX-License-Identifier: MIT
// libFuzzer target: a whole GIF load through CPicture::loadFromGIF, from a temporary file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "picture/CGif.h"
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
    return 0;
}
