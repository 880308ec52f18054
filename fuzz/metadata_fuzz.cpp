// SPDX-License-Identifier: MIT
// Fuzzes the metadata blocks: JPEG segments taken apart, location stripped from EXIF, XMP and IPTC.
#include <cstdint>
#include <string>

#include "picture/MetadataFilter.h"

// Input: one selector byte, then the block.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string block(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string before = block;
    switch (data[0] % 4) {
        case 0: {
            // EXIF keeps its length whatever is stripped, and a failure leaves it as it was.
            const bool stripped = stripExifLocation(block);
            if (block.size() != before.size() || (!stripped && block != before)) __builtin_trap();
            break;
        }
        case 1:
            if (!stripXmpLocation(block) && block != before) __builtin_trap();
            if (block.size() > before.size()) __builtin_trap();
            break;
        case 2: {
            const bool sound = iptcIsSound(block);
            if (stripIptcLocation(block) != sound || block.size() > before.size()) __builtin_trap();
            break;
        }
        default: {
            std::string exif, xmp, iptc;
            takeJpegMetadataSegment(0xE1, block, exif, xmp, iptc);
            takeJpegMetadataSegment(0xED, block, exif, xmp, iptc);
            if (!iptc.empty()) (void)jpegIptcPayload(iptc);
            break;
        }
    }
    return 0;
}
