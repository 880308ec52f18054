// SPDX-License-Identifier: MIT
// AVIF writing through libheif and its AV1 encoder: 8-bit 4:2:0 at the quality, alpha kept as an
// auxiliary image, the ICC profile as a colour box, EXIF and XMP as metadata items.
#include <libheif/heif.h>

#include <cstring>
#include <memory>

#include "picture/ImageWriter.h"
#include "picture/WriterSupport.h"

namespace {

// Speed 5 of the AV1 encoder (0 slowest .. 9 fastest) is effort 4 of vips's heifsave, its default.
const int kEncoderSpeed = 5;
// One encoder thread per picture: the batch runs one job per core already, and more threads per
// job only contend with each other.
const int kEncoderThreads = 1;

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};

bool ok(const heif_error& error) {
    return error.code == heif_error_Ok;
}

// The picture as one interleaved 8-bit RGB or RGBA plane.
heif_image* imageOf(const CPicture& picture, bool alpha) {
    heif_image* image = nullptr;
    const heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
    if (!ok(heif_image_create(picture.width, picture.height, heif_colorspace_RGB, chroma, &image)))
        return nullptr;
    std::unique_ptr<heif_image, ImageDeleter> owned(image);
    if (!ok(heif_image_add_plane(image, heif_channel_interleaved, picture.width, picture.height, 8)))
        return nullptr;
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    if (!plane) return nullptr;
    for (int y = 0; y < picture.height; ++y)
        rgbRows(picture, y, 1, alpha ? 4 : 3, plane + size_t(y) * size_t(stride));
    return owned.release();
}

heif_encoder* encoderFor(heif_context* context, const WriteOptions& options) {
    heif_encoder* encoder = nullptr;
    if (!ok(heif_context_get_encoder_for_format(context, heif_compression_AV1, &encoder))) return nullptr;
    std::unique_ptr<heif_encoder, EncoderDeleter> owned(encoder);
    const int quality = options.quality < 1 ? 1 : options.quality > 100 ? 100 : options.quality;
    if (!ok(heif_encoder_set_lossy_quality(encoder, quality)) ||
        !ok(heif_encoder_set_parameter_string(encoder, "chroma", "420")) ||
        !ok(heif_encoder_set_parameter_integer(encoder, "speed", kEncoderSpeed)) ||
        !ok(heif_encoder_set_parameter_integer(encoder, "threads", kEncoderThreads)))
        return nullptr;
    return owned.release();
}

// The file's bytes go straight into the stream; the first short write fails the whole.
heif_error writeToFile(heif_context*, const void* data, size_t size, void* userdata) {
    FILE* file = static_cast<FILE*>(userdata);
    if (fwrite(data, 1, size, file) == size) return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
    return heif_error{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, "short write"};
}

// A block the container refuses (an EXIF block without a TIFF header) is left out, as JPEG leaves
// out a block too long for its marker.
void addItems(heif_context* context, const heif_image_handle* handle, const OutputMetadata& metadata) {
    // libheif puts the 4-byte offset to the TIFF header in front of the block itself.
    if (!metadata.exif.empty() && metadata.exif.size() < 0x7fffffff)
        heif_context_add_exif_metadata(context, handle, metadata.exif.data(), int(metadata.exif.size()));
    if (!metadata.xmp.empty() && metadata.xmp.size() < 0x7fffffff)
        heif_context_add_XMP_metadata(context, handle, metadata.xmp.data(), int(metadata.xmp.size()));
}

bool encodeInto(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file) {
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context) return false;
    std::unique_ptr<heif_encoder, EncoderDeleter> encoder(encoderFor(context.get(), options));
    const bool alpha = straightenAlpha(picture);
    std::unique_ptr<heif_image, ImageDeleter> image(imageOf(picture, alpha));
    if (!encoder || !image) return false;
    if (!metadata.icc.empty() &&
        !ok(heif_image_set_raw_color_profile(image.get(), "prof", metadata.icc.data(), metadata.icc.size())))
        return false;
    heif_image_handle* handle = nullptr;
    if (!ok(heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, &handle)))
        return false;
    std::unique_ptr<heif_image_handle, HandleDeleter> owned(handle);
    image.reset();
    addItems(context.get(), handle, metadata);
    heif_writer writer;
    std::memset(&writer, 0, sizeof writer);
    writer.writer_api_version = 1;
    writer.write = writeToFile;
    return ok(heif_context_write(context.get(), &writer, file));
}

}  // namespace

bool writeAvif(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file) {
    return encodeAndClose(file, [&] { return !picture.isEmpty() && encodeInto(picture, metadata, options, file); });
}
