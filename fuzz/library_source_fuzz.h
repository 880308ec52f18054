// SPDX-License-Identifier: MIT
// The one fuzz harness of the sources read through a library (HEIF/AVIF, JPEG XL): opening, the
// metadata they carry and the rows they put.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "picture/ImageSource.h"

namespace {

// Large canvases measure only memory and time; small ones reach every path of our code.
const uint64_t kMaxFuzzPixels = uint64_t(1) << 20;
const uint64_t kMaxFuzzDecoderBytes = uint64_t(64) << 20;

// Checks that every row comes once, in order, inside the picture.
class CheckedRows final : public RowSink {
  public:
    CheckedRows(int width, int height) : width(width), height(height) {}
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override {
        if (y != next || count <= 0 || y + count > height || stride < size_t(width) * 4) __builtin_trap();
        volatile uint8_t sum = 0;
        for (int r = 0; r < count; ++r) sum ^= rows[size_t(r) * stride + size_t(width) * 4 - 1];
        next += count;
    }
    int next = 0;

  private:
    int width, height;
};

// The sources read files, so every input goes through one per process (named `name`), removed at exit.
const std::string& inputPath(const char* name) {
    static const std::string path = "/tmp/pixmill_" + std::string(name) + "_" + std::to_string(getpid());
    static const int cleanup = atexit([] { remove(path.c_str()); });
    (void)cleanup;
    return path;
}

// Writes the input to a file and opens it with `open`; traps on a failure without a cause, a
// source not turned by its decoder, or rows that do not come once each and in order.
int fuzzLibrarySource(const uint8_t* data, size_t size, const char* name,
                      std::unique_ptr<ImageSource> (*open)(const std::string&)) {
    const std::string& path = inputPath(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    std::unique_ptr<ImageSource> source = open(path);
    if (!source->isOpen()) {
        if (source->failure().empty()) __builtin_trap();
        return 0;
    }
    if (!source->oriented) __builtin_trap();
    // The first byte's low bit asks for a draft decode, as the job's draft mode would.
    if (size > 0 && (data[0] & 1)) source->reduceTo(8, 8);
    if (uint64_t(source->width) * uint64_t(source->height) > kMaxFuzzPixels ||
        source->decoderBytes() > kMaxFuzzDecoderBytes)
        return 0;
    CheckedRows rows(source->width, source->height);
    if (source->putRows(rows)) {
        if (rows.next != source->height) __builtin_trap();
    } else if (source->failure().empty()) {
        __builtin_trap();
    }
    return 0;
}

}  // namespace
