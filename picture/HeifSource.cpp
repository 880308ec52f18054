// SPDX-License-Identifier: MIT
// Heif files through their library (not yet built in).
#include "picture/ImageSource.h"

std::unique_ptr<ImageSource> openHeifSource(const std::string&) {
    return failedSource("reading this format is not built in");
}
