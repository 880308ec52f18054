// SPDX-License-Identifier: MIT
// The highest quality whose file fits a size limit, found by bisection over encodes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Encodes the output at a quality into `bytes`; false when it cannot be encoded.
using EncodeAtQuality = std::function<bool(int quality, std::string& bytes)>;

struct SizeSearch {
    bool encoded = false;  // false: an encode failed
    bool fits = false;     // false: even quality 1 is larger than the limit
    int quality = 0;       // the quality of `bytes`
    std::string bytes;     // the file at that quality (at quality 1 when nothing fits)
    int encodes = 0;
};

// Searches qualities 1 to `highest` for one whose file holds at most maxBytes while the next one up
// does not (or is `highest` itself). File size is not strictly monotonic in quality, so the search
// keeps "the low end fits, the high end does not" rather than assuming order: it tries the highest
// first, then 1, then halves the interval between them.
SizeSearch searchQuality(int highest, uint64_t maxBytes, const EncodeAtQuality& encode);

// The limit and the size reached at quality 1 for a cause: "cannot reach 500 KB: 612 KB at quality 1".
std::string sizeLimitCause(uint64_t maxBytes, uint64_t smallest);
