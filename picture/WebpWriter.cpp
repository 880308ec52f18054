// SPDX-License-Identifier: MIT
// WebP writing through libwebp: lossy at the quality, lossless at 100; ICC, EXIF and XMP chunks
// through libwebpmux.
#include <webp/encode.h>
#include <webp/mux.h>

#include <memory>

#include "picture/ImageWriter.h"
#include "picture/WriterSupport.h"

namespace {

// The format stores each side in 14 bits.
const int kMaxSide = WEBP_MAX_DIMENSION;

struct PictureGuard {
    WebPPicture picture;
    ~PictureGuard() { WebPPictureFree(&picture); }
};

struct MemoryGuard {
    WebPMemoryWriter writer;
    ~MemoryGuard() { WebPMemoryWriterClear(&writer); }
};

struct MuxDeleter {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};

// Lossy at quality 1..99 with the library's default method (4, as vips and cwebp use it); lossless
// at 100, where every pixel's colour is kept, transparent ones included.
bool configFor(const WriteOptions& options, WebPConfig& config) {
    if (!WebPConfigInit(&config)) return false;
    if (options.quality >= 100) {
        config.lossless = 1;
        config.exact = 1;
    } else {
        config.quality = float(options.quality < 1 ? 1 : options.quality);
    }
    config.method = 4;
    return WebPValidateConfig(&config) != 0;
}

bool encode(CPicture& picture, bool alpha, const WebPConfig& config, WebPMemoryWriter& out) {
    PictureGuard guard;
    WebPPicture& pic = guard.picture;
    if (!WebPPictureInit(&pic)) return false;
    pic.width = picture.width;
    pic.height = picture.height;
    // Lossless works on ARGB; lossy converts to YUV on import.
    pic.use_argb = config.lossless;
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &out;
    const int stride = picture.width * 4;
    const bool imported = alpha ? WebPPictureImportBGRA(&pic, picture.pixels, stride)
                                : WebPPictureImportBGRX(&pic, picture.pixels, stride);
    return imported && WebPEncode(&config, &pic);
}

bool setChunk(WebPMux* mux, const char* fourcc, const std::string& bytes) {
    if (bytes.empty()) return true;
    WebPData data = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    return WebPMuxSetChunk(mux, fourcc, &data, 1) == WEBP_MUX_OK;
}

// The encoded file with the metadata chunks added (VP8X), written and closed.
bool writeWithMetadata(const WebPMemoryWriter& encoded, const OutputMetadata& metadata, FILE* file) {
    WebPData image = {encoded.mem, encoded.size};
    std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxCreate(&image, 0));
    if (!mux || !setChunk(mux.get(), "ICCP", metadata.icc) || !setChunk(mux.get(), "EXIF", metadata.exif) ||
        !setChunk(mux.get(), "XMP ", metadata.xmp))
        return writeAndClose(file, nullptr, 0);
    WebPData assembled;
    WebPDataInit(&assembled);
    const bool ok = WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK;
    const bool written = writeAndClose(file, ok ? assembled.bytes : nullptr, assembled.size);
    WebPDataClear(&assembled);
    return written;
}

}  // namespace

bool writeWebp(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file) {
    WebPConfig config;
    if (picture.isEmpty() || picture.width > kMaxSide || picture.height > kMaxSide ||
        !configFor(options, config))
        return writeAndClose(file, nullptr, 0);
    const bool alpha = straightenAlpha(picture);
    MemoryGuard out;
    WebPMemoryWriterInit(&out.writer);
    if (!encode(picture, alpha, config, out.writer)) return writeAndClose(file, nullptr, 0);
    if (metadata.icc.empty() && metadata.exif.empty() && metadata.xmp.empty())
        return writeAndClose(file, out.writer.mem, out.writer.size);
    return writeWithMetadata(out.writer, metadata, file);
}
