// SPDX-License-Identifier: MIT
// Fuzzes the source of JPEG XL files through libjxl.
#include "fuzz/library_source_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzLibrarySource(data, size, "jxl_fuzz", openJxlSource);
}
