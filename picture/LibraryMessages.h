// SPDX-License-Identifier: MIT
// Keeping the codec libraries from printing on the process's standard output and error.
#pragma once

// Links in the stand-ins for the C library's formatted printing that drop what libheif, libjxl
// and their codecs write to stderr or stdout; every source of those libraries calls it once.
void keepLibrariesQuiet();
