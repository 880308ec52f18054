// SPDX-License-Identifier: MIT
// libFuzzer target: a whole PNG load through a stdio stream, as the application reads a file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "picture/Picture.h"
#include "picture/kppng.h"

namespace {

// Huge images only measure the allocator: skip inputs whose any IHDR-like bytes name more than
// 256 thousand pixels.
bool sizeIsSmall(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 12 <= size; i++) {
        if (memcmp(data + i, "IHDR", 4) != 0) continue;
        auto be = [&](size_t at) {
            return uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 | uint32_t(data[at + 2]) << 8 |
                   data[at + 3];
        };
        if (uint64_t(be(i + 4)) * be(i + 8) > (uint64_t(1) << 18)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kpPngMessage = [](const char*) {};
    if (!sizeIsSmall(data, size)) return 0;
    // The same stream code path as a file, without touching the disk.
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    CPicture pic;
    loadPngFromStream(pic, f);
    fclose(f);
    // Every pixel byte is read, so that a buffer of the wrong size shows up.
    unsigned sum = 0;
    for (size_t i = 0; pic.pixels && i < size_t(pic.width) * pic.height * 4; i++) sum += pic.pixels[i];
    if ((pic.width == 0) != (pic.height == 0) || (pic.width == 0) != (pic.pixels == nullptr))
        __builtin_trap();
    if (pic.transparencyMode < 0 || pic.transparencyMode > 2) __builtin_trap();
    return static_cast<int>(sum & 0);
}
