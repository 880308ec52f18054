// SPDX-License-Identifier: MIT
// The file-size limit: bisection over the quality with the encoder as a callback, so every lossy
// writer gets the limit without knowing of it.
#include "engine/SizeSearch.h"

SizeSearch searchQuality(int highest, uint64_t maxBytes, const EncodeAtQuality& encode) {
    SizeSearch search;
    std::string bytes;
    auto tryQuality = [&](int quality) {
        ++search.encodes;
        bytes.clear();
        return encode(quality, bytes);
    };
    if (highest < 1) highest = 1;
    if (!tryQuality(highest)) return search;
    search.encoded = true;
    if (bytes.size() <= maxBytes) {
        search.fits = true;
        search.quality = highest;
        search.bytes.swap(bytes);
        return search;
    }
    int low = 1, high = highest;  // low fits, high does not
    if (highest > 1) {
        search.encoded = tryQuality(1);
        if (!search.encoded) return search;
    }
    search.quality = 1;
    search.bytes.swap(bytes);
    if (search.bytes.size() > maxBytes) return search;
    search.fits = true;
    while (high - low > 1) {
        const int middle = low + (high - low) / 2;
        if (!tryQuality(middle)) {
            search.encoded = false;
            return search;
        }
        if (bytes.size() <= maxBytes) {
            low = middle;
            search.quality = middle;
            search.bytes.swap(bytes);
        } else {
            high = middle;
        }
    }
    return search;
}

namespace {

// Kibibytes, rounded up, as "612 KB".
std::string kilobytes(uint64_t bytes) {
    return std::to_string((bytes + 1023) / 1024) + " KB";
}

}  // namespace

std::string sizeLimitCause(uint64_t maxBytes, uint64_t smallest) {
    return "cannot reach " + kilobytes(maxBytes) + ": " + kilobytes(smallest) + " at quality 1";
}
