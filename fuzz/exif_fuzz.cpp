// SPDX-License-Identifier: MIT
// Fuzzes tag reads and patches on arbitrary EXIF blocks.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "picture/Exif.h"

// Input: tag (2 bytes, little-endian), value (1 byte), then the block.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int tag = data[0] | data[1] << 8;
    const int value = data[2];
    Exif exif;
    exif.exifBlock.assign(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::string before = exif.exifBlock;

    const std::string text = exif.getField(tag);
    const bool written = exif.setField(tag, value);
    // Both look up the same entry, and a patch never changes the block's length.
    if (written == text.empty()) __builtin_trap();
    if (exif.exifBlock.size() != before.size()) __builtin_trap();
    if (!written && exif.exifBlock != before) __builtin_trap();
    if (written) {
        const std::string after = exif.getField(tag);
        if (after.empty() || (strtoll(after.c_str(), nullptr, 10) & 0xFF) != value) __builtin_trap();
    }
    // Every position, in and out of range, in both byte orders.
    for (int order = 0; order < 2; ++order) {
        exif.motorolaOrder = order;
        for (int pos = -4; pos <= int(before.size()) + 4 && pos < 64; ++pos) {
            exif.readLong(before, pos);
            exif.readShort(before, pos);
        }
    }
    return 0;
}
