// SPDX-License-Identifier: MIT
// Fuzzes a whole JPEG load: the decoder through libjpeg and the EXIF marker walk, from a file.
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// clang-format on

#include "picture/Exif.h"
#include "picture/FileKind.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "picture/RowSink.h"

namespace {

// Like libjpeg-turbo's own fuzzers, inputs whose frame holds more than this many pixels are
// skipped: a few bytes can declare a canvas of gigabytes, which measures only memory, and small
// frames already reach every path of the decoder's own code (512 x 512 keeps executions fast).
const uint64_t maxFuzzPixels = uint64_t(1) << 18;

struct HeaderError {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

// Returns the frame's pixel count from libjpeg's header reader, or 0 when it finds no valid header.
uint64_t framePixels(const uint8_t* data, size_t size) {
    jpeg_decompress_struct cinfo = {};
    HeaderError jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<HeaderError*>(c->err)->jump, 1); };
    jerr.pub.output_message = [](j_common_ptr) {};
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    const uint64_t pixels = uint64_t(cinfo.image_width) * cinfo.image_height;
    jpeg_destroy_decompress(&cinfo);
    return pixels;
}

// The loaders read files, so every input goes through one per process, removed at exit.
const std::string& inputPath() {
    static const std::string path = "/tmp/pixmill_jpeg_fuzz_" + std::to_string(getpid()) + ".jpg";
    static const int cleanup = atexit([] { remove(path.c_str()); });
    (void)cleanup;
    return path;
}

class DiscardedRows final : public RowSink {
  public:
    void putRows(int, int, const uint8_t*, size_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Files are read by their first bytes: a mutation into another type's signature is another
    // target's input, and its size is not the JPEG frame's.
    if (fileKindOf(data, size) != FileKind::Jpeg) return 0;
    const uint64_t pixels = framePixels(data, size);
    if (pixels > maxFuzzPixels) return 0;
    const std::string& path = inputPath();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    CPicture pic;
    pic.load(path);
    // A picture is empty or whole, opaque, with the transparency byte untouched.
    if (!pic.isEmpty()) {
        if (uint64_t(pic.width) * uint64_t(pic.height) != pixels) __builtin_trap();
        if (pic.transparencyMode != TRANSPARENCY_NONE) __builtin_trap();
        for (size_t i = 0; i < size_t(pic.width) * size_t(pic.height); ++i)
            if (pic.pixels[i * 4 + 3] != 0) __builtin_trap();
    }

    // CMYK through the profile the file carries, as a job under --colour srgb decodes it.
    if (!pic.isEmpty()) {
        std::unique_ptr<ImageSource> source = ImageSource::open(path);
        DiscardedRows rows;
        if (source->isOpen() && source->convertCmykToSrgb() && source->putRows(rows) &&
            !source->iccProfile().empty())
            __builtin_trap();
    }

    Exif exif;
    exif.loadFromJPG(path);
    if (exif.loaded != !exif.exifBlock.empty() || exif.exifBlock.size() > 65533) __builtin_trap();
    if (exif.loaded) {
        exif.getField(274);
        exif.setField(274, 1);
    }
    return 0;
}
