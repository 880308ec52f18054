// SPDX-License-Identifier: MIT
// Fuzzes the source of HEIF, HEIC and AVIF files through libheif.
#include "fuzz/library_source_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzLibrarySource(data, size, "heif_fuzz", openHeifSource);
}
