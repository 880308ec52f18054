// SPDX-License-Identifier: MIT
// libFuzzer target: a WebP file opened and decoded through its source, as a job reads it.

#include <cstdint>
#include <string>

#include "fuzz/source_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzInputPath("webp");
    fuzzSource(path, data, size, openWebpSource);
    return 0;
}
