// SPDX-License-Identifier: MIT
// libFuzzer target for the BMP reader: the input is read as a file through the loader's own stream path.
#include <cstdint>
#include <cstdio>

#include "picture/BmpCodec.h"

namespace {

int32_t s32At(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A header may declare up to 2^31 pixels, which the reader rightly allocates; inputs beyond
    // 2^20 pixels would only measure the allocator, so they are skipped.
    if (size >= 26) {
        // An OS/2 1.x header (12 bytes) holds 16-bit sizes.
        const bool core = s32At(data + 14) == 12;
        int64_t w = core ? (data[18] | data[19] << 8) : s32At(data + 18);
        int64_t h = core ? (data[20] | data[21] << 8) : s32At(data + 22);
        if (w < 0) w = -w;
        if (h < 0) h = -h;
        if (w * h > (int64_t(1) << 20)) return 0;
    }
    // fmemopen of an empty buffer is not portable.
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    CPicture picture;
    loadBmpFromStream(picture, f);
    fclose(f);
    return 0;
}
