// SPDX-License-Identifier: MIT
// BMP reading from an open stream: the path loader and the fuzzer share this one code path.
#pragma once

#include <cstdio>

#include "picture/Picture.h"

// Replaces the picture with the image read from the stream's current position, or leaves it empty.
// Never throws; the stream stays open.
void loadBmpFromStream(CPicture& picture, FILE* stream);
