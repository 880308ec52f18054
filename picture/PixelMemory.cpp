// SPDX-License-Identifier: MIT
// Pixel buffers. A large picture's pages cost a fault each the first time they are touched; a
// worker that resizes photo after photo would pay that for every job. So each thread keeps the
// last large buffer it gave back and hands it to its next large picture, and large buffers are
// mapped on huge-page boundaries where the system offers them.
#include "picture/PixelMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace {

// Below this, the heap serves buffers well enough.
constexpr size_t kLargeBuffer = size_t(4) << 20;
// A kept buffer beyond this is returned to the system at once: it would hold too much idle memory.
constexpr size_t kLargestKept = size_t(512) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

size_t roundUp(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

#if defined(__linux__)
// A fresh anonymous mapping (all zero), aligned to a huge page so that the system can back it
// with huge pages.
uint8_t* mapLarge(size_t size) {
    const size_t span = size + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = roundUp(start, kHugePage);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + span, used = aligned + size;
    if (end > used) munmap(reinterpret_cast<void*>(used), end - used);
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<uint8_t*>(aligned);
}

void unmapLarge(uint8_t* p, size_t size) {
    munmap(p, size);
}
#else
uint8_t* mapLarge(size_t size) {
    return static_cast<uint8_t*>(calloc(size, 1));
}
void unmapLarge(uint8_t* p, size_t) {
    free(p);
}
#endif

#if defined(__GLIBC__)
// Blocks below the pictures the workers keep (result pictures, the JPEG coder's buffers, rows)
// come from the heap and are reused by the next job instead of being mapped and faulted in anew
// each time: mapping them cost a fifth of a photo batch's time in page faults. A fixed threshold
// also keeps the heap from raising it on its own to the largest block ever freed. The process's
// peak stays where it was, as the kept pictures are mapped and trimmed on their own. For the same
// reason the heap keeps up to 64 MiB of free blocks instead of handing them back after each job
// (more than half of a photo batch's page faults, each one a trip through the system).
[[maybe_unused]] const bool heapMapsLargeBlocks = mallopt(M_MMAP_THRESHOLD, 64 << 20) == 1;
[[maybe_unused]] const bool heapKeepsFreeBlocks = mallopt(M_TRIM_THRESHOLD, 64 << 20) == 1;
#endif

struct KeptBuffer {
    uint8_t* pixels = nullptr;
    size_t capacity = 0;
    ~KeptBuffer() { drop(); }
    void drop() {
        if (pixels) unmapLarge(pixels, capacity);
        pixels = nullptr;
        capacity = 0;
    }
};

thread_local KeptBuffer kept;

}  // namespace

uint8_t* acquirePixels(size_t bytes, bool zeroed, size_t* capacity) {
    if (bytes < kLargeBuffer) {
        *capacity = bytes;
        return static_cast<uint8_t*>(zeroed ? calloc(bytes, 1) : malloc(bytes));
    }
    if (kept.pixels && kept.capacity >= bytes) {
        uint8_t* p = kept.pixels;
        *capacity = kept.capacity;
        kept.pixels = nullptr;
        kept.capacity = 0;
        if (zeroed) memset(p, 0, bytes);
        return p;
    }
    // The kept buffer is too small for this picture: the new one replaces it.
    kept.drop();
    const size_t size = roundUp(bytes, kHugePage);
    uint8_t* p = mapLarge(size);
    *capacity = p ? size : 0;
    return p;
}

void releasePixels(uint8_t* pixels, size_t capacity) {
    if (!pixels) return;
    if (capacity < kLargeBuffer) {
        free(pixels);
        return;
    }
    if (capacity > kLargestKept || capacity <= kept.capacity) {
        unmapLarge(pixels, capacity);
        return;
    }
    kept.drop();
    kept.pixels = pixels;
    kept.capacity = capacity;
}

void trimKeptPixels(size_t bytes) {
    if (!kept.pixels) return;
#if defined(__linux__)
    const size_t span = std::min(roundUp(bytes, kHugePage), kept.capacity);
    madvise(kept.pixels, span, MADV_DONTNEED);
#else
    (void)bytes;
#endif
}

void dropKeptPixels() {
    kept.drop();
}
