// SPDX-License-Identifier: MIT
// What the fuzz targets of the library-backed sources share: the input as a file, then a whole
// open and decode through the source, with the checks every source must pass.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "picture/ImageSource.h"
#include "picture/RowSink.h"

// Pictures of more than this many pixels are not decoded: a few bytes can declare gigabytes, which
// measures only memory, and small pictures reach every path of the decoders (as libjpeg-turbo's
// fuzzers do it).
constexpr uint64_t kMaxFuzzPixels = uint64_t(1) << 18;

// The sources read files, so every input goes through one per process, removed at exit.
inline std::string fuzzInputPath(const char* extension) {
    const std::string path = "/tmp/pixmill_fuzz_" + std::to_string(getpid()) + "." + extension;
    static std::string removed;
    removed = path;
    atexit([] { remove(removed.c_str()); });
    return path;
}

// Checks that rows arrive once each, in order, inside the picture.
class CheckedRows final : public RowSink {
  public:
    CheckedRows(int width, int height) : width(width), height(height) {}
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override {
        if (y != next || count <= 0 || y + count > height || stride < size_t(width) * 4) __builtin_trap();
        for (int r = 0; r < count; ++r)
            for (size_t i = 0; i < size_t(width) * 4; ++i) sum += rows[size_t(r) * stride + i];
        next = y + count;
    }
    int next = 0;
    unsigned sum = 0;

  private:
    int width, height;
};

inline void fuzzSource(const std::string& path, const uint8_t* data, size_t size,
                       std::unique_ptr<ImageSource> (*open)(const std::string&)) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(data, 1, size, f);
    fclose(f);
    std::unique_ptr<ImageSource> source = open(path);
    if (!source->isOpen()) {
        if (source->failure().empty()) __builtin_trap();
        return;
    }
    if (uint64_t(source->width) * uint64_t(source->height) > kMaxFuzzPixels) return;
    if (source->frameCount < 1) __builtin_trap();
    // Half the inputs go to sRGB through a CMYK profile they carry, as a job under --colour srgb asks.
    if (size % 2) source->convertCmykToSrgb();
    CheckedRows rows(source->width, source->height);
    const bool decoded = source->putRows(rows);
    // A decode gives every row, or fails saying why.
    if (decoded && rows.next != source->height) __builtin_trap();
    if (!decoded && source->failure().empty()) __builtin_trap();
    if (source->mode < TRANSPARENCY_NONE || source->mode > TRANSPARENCY_PREMULTIPLIED) __builtin_trap();
}
