// SPDX-License-Identifier: MIT
// Jxl files through their library (not yet built in).
#include "picture/ImageSource.h"

std::unique_ptr<ImageSource> openJxlSource(const std::string&) {
    return failedSource("reading this format is not built in");
}
