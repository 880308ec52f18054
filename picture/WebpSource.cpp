// SPDX-License-Identifier: MIT
// Webp files through their library (not yet built in).
#include "picture/ImageSource.h"

std::unique_ptr<ImageSource> openWebpSource(const std::string&) {
    return failedSource("reading this format is not built in");
}
