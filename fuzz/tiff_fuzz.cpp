// SPDX-License-Identifier: MIT
// libFuzzer target: a TIFF file opened and decoded through its source, as a job reads it.

#include <cstdint>
#include <string>

#include "fuzz/source_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzInputPath("tif");
    fuzzSource(path, data, size, openTiffSource);
    return 0;
}
