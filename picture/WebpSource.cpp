// SPDX-License-Identifier: MIT
// WebP files through libwebp: lossy, lossless and with alpha; an animation gives its first frame.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "picture/ImageSource.h"
#include "tools/modTools.h"

namespace {

// Rows handed to the sink at a time when byte 3 has to be cleared first.
constexpr int kStripRows = 16;

std::string statusText(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY:
            return "out of memory";
        case VP8_STATUS_UNSUPPORTED_FEATURE:
            return "a WebP feature this decoder does not support";
        case VP8_STATUS_NOT_ENOUGH_DATA:
        case VP8_STATUS_SUSPENDED:
            return "the file ends early";
        default:
            return "not a WebP file libwebp can read (corrupt data)";
    }
}

// The whole file; false with `why` set when it cannot be read.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& why) {
    uint64_t size = 0;
    FILE* file = fileOpen(path, "rb", &size);
    if (!file) {
        why = strerror(errno);
        return false;
    }
    // A RIFF file holds at most 4 GiB plus its 8-byte header.
    bool ok = size <= (uint64_t(1) << 32) + 8;
    if (ok) {
        try {
            bytes.resize(size_t(size));
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    if (ok && size > 0) ok = fread(&bytes[0], 1, bytes.size(), file) == bytes.size();
    fclose(file);
    if (!ok) why = "the file cannot be read whole";
    return ok;
}

// A chunk's payload as a string ("" when the file has none).
std::string chunkOf(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator chunk;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) return std::string();
    std::string payload(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
    return payload;
}

class WebpSource final : public ImageSource {
  public:
    explicit WebpSource(const std::string& path) {
        if (!readWholeFile(path, bytes, failureText)) return;
        if (!readHeader()) return;
        readChunks();
    }
    bool putRows(RowSink& sink) override;

  private:
    bool readHeader();
    void readChunks();
    // The first frame of an animation, composited, or the still picture, into `pixels`.
    bool decodeAnimation(std::unique_ptr<uint8_t[]>& pixels);
    bool decodeStill(uint8_t* pixels);
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }

    std::string bytes;
    bool animated = false;
};

bool WebpSource::readHeader() {
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(data(), bytes.size(), &features);
    if (status != VP8_STATUS_OK) {
        failureText = statusText(status);
        return false;
    }
    // A picture holds fewer than 2^31 pixels.
    if (features.width <= 0 || features.height <= 0 ||
        uint64_t(features.width) * uint64_t(features.height) >= (uint64_t(1) << 31)) {
        failureText = "the picture is too large: " + std::to_string(features.width) + "x" +
                      std::to_string(features.height) + " pixels";
        return false;
    }
    animated = features.has_animation != 0;
    mode = features.has_alpha ? TRANSPARENCY_ALPHA : TRANSPARENCY_NONE;
    width = features.width;
    height = features.height;
    return true;
}

// The chunks before the picture data are there even in a file cut short; the demuxer reads what
// it can of a partial file.
void WebpSource::readChunks() {
    WebPData whole = {data(), bytes.size()};
    WebPDemuxState state;
    WebPDemuxer* demux = WebPDemuxPartial(&whole, &state);
    if (!demux) return;
    if (state > WEBP_DEMUX_PARSING_HEADER) {
        profile = chunkOf(demux, "ICCP");
        exifBlock = chunkOf(demux, "EXIF");
        // Some writers keep JPEG's APP1 identifier in front of the TIFF header.
        if (exifBlock.compare(0, 6, std::string("Exif\0\0", 6)) == 0) exifBlock.erase(0, 6);
        xmpPacket = chunkOf(demux, "XMP ");
        if (animated) frameCount = std::max(1, int(WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT)));
    }
    WebPDemuxDelete(demux);
}

bool WebpSource::decodeAnimation(std::unique_ptr<uint8_t[]>& pixels) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return false;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    WebPData whole = {data(), bytes.size()};
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&whole, &options);
    if (!decoder) {
        failureText = "an animation libwebp cannot read (corrupt or cut short)";
        return false;
    }
    WebPAnimInfo info;
    uint8_t* frame = nullptr;
    int timestamp = 0;
    bool ok = WebPAnimDecoderGetInfo(decoder, &info) && int(info.canvas_width) == width &&
              int(info.canvas_height) == height && WebPAnimDecoderGetNext(decoder, &frame, &timestamp);
    if (ok)
        memcpy(pixels.get(), frame, size_t(width) * size_t(height) * 4);
    else
        failureText = "the first frame of the animation cannot be decoded";
    WebPAnimDecoderDelete(decoder);
    return ok;
}

// Decoded incrementally, so that a file cut short still gives the rows before the cut.
bool WebpSource::decodeStill(uint8_t* pixels) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return false;
    const size_t stride = size_t(width) * 4;
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pixels;
    config.output.u.RGBA.stride = int(stride);
    config.output.u.RGBA.size = stride * size_t(height);
    WebPIDecoder* decoder = WebPIDecode(nullptr, 0, &config);
    if (!decoder) {
        failureText = "out of memory";
        return false;
    }
    const VP8StatusCode status = WebPIUpdate(decoder, data(), bytes.size());
    int rows = 0;
    if (status == VP8_STATUS_SUSPENDED && !WebPIDecGetRGB(decoder, &rows, nullptr, nullptr, nullptr))
        rows = 0;
    WebPIDelete(decoder);
    if (status == VP8_STATUS_OK) return true;
    if (status != VP8_STATUS_SUSPENDED) {
        failureText = statusText(status);
        return false;
    }
    rows = std::max(0, std::min(rows, height));
    const std::string cut =
        "the file ends early: " + std::to_string(rows) + " of " + std::to_string(height) + " rows decoded";
    if (rows == 0) {
        failureText = cut;
        return false;
    }
    // The rows the file does not hold come as zero rows.
    memset(pixels + stride * size_t(rows), 0, stride * size_t(height - rows));
    warningText = cut;
    return true;
}

bool WebpSource::putRows(RowSink& sink) {
    const size_t stride = size_t(width) * 4;
    std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[stride * size_t(height)]);
    if (!pixels) throw std::bad_alloc();
    if (!(animated ? decodeAnimation(pixels) : decodeStill(pixels.get()))) return false;
    // libwebp writes 255 into byte 3 of opaque pictures; an opaque picture holds 0 there.
    if (mode == TRANSPARENCY_NONE && sink.needsByte3()) {
        for (size_t i = 0; i < stride * size_t(height); i += 4) pixels[i + 3] = 0;
    }
    for (int y = 0; y < height; y += kStripRows)
        sink.putRows(y, std::min(kStripRows, height - y), pixels.get() + stride * size_t(y), stride);
    return true;
}

}  // namespace

std::unique_ptr<ImageSource> openWebpSource(const std::string& path) {
    return std::unique_ptr<ImageSource>(new WebpSource(path));
}
