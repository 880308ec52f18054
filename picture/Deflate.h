// SPDX-License-Identifier: MIT
// The system's own zlib-stream compressor (RFC 1950/1951) and the checksums PNG writing needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One complete zlib stream of the bytes: header, deflate blocks (dynamic Huffman codes over LZ77
// matches found by hash chains, or stored blocks where the data does not compress), Adler-32.
// Throws std::bad_alloc when memory runs out.
std::vector<uint8_t> zlibCompress(const uint8_t* data, size_t size);

// Running checksums: pass the previous value (start with 1 for Adler-32, 0 for CRC-32).
uint32_t updateAdler32(uint32_t adler, const uint8_t* data, size_t size);
uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t size);
