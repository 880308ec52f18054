// SPDX-License-Identifier: MIT
// Pixel buffers: small ones from the heap, large ones kept per thread and reused by the next picture.
#pragma once

#include <cstddef>
#include <cstdint>

// A buffer of at least `bytes` bytes, all zero when `zeroed`; its capacity is stored in *capacity.
// Returns null when the memory cannot be had.
uint8_t* acquirePixels(size_t bytes, bool zeroed, size_t* capacity);
// Gives a buffer back; the calling thread may keep it for its next large picture.
void releasePixels(uint8_t* pixels, size_t capacity);
// Returns the first `bytes` of the buffer the calling thread keeps to the system (its next picture
// takes them back as it is written), so that memory needed meanwhile costs nothing extra.
void trimKeptPixels(size_t bytes);
// Frees the buffer the calling thread keeps, if any.
void dropKeptPixels();
