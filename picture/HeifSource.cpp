// SPDX-License-Identifier: MIT
// HEIF, HEIC and AVIF files through libheif: the primary image (or its thumbnail for a draft),
// turned, mirrored and cropped as the file declares, decoded whole by libheif and handed out as
// rows of the picture layout.
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "picture/ColourProfile.h"
#include "picture/ImageSource.h"
#include "picture/LibraryMessages.h"

namespace {

// libheif's own limit caps each side of a stored image; a picture also holds fewer than 2^31
// pixels, which is checked once the transformed size is known.
const int kMaxSide = 1 << 16;
const uint64_t kMaxPixels = uint64_t(1) << 31;
// Metadata items larger than this are not carried (a few bytes can declare gigabytes).
const size_t kMaxMetadataBytes = size_t(16) << 20;
// Rows converted per hand-over to the sink.
const int kStripRows = 16;

// libheif's own words, without the line end some of its messages carry.
std::string messageOf(const heif_error& error) {
    std::string text = error.message ? error.message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "libheif error " + std::to_string(error.code) : text;
}

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* n) const { heif_nclx_color_profile_free(n); }
};
using HandlePtr = std::unique_ptr<heif_image_handle, HandleRelease>;

// libheif registers its decoders once per process.
void initialiseLibheif() {
    static const bool done = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)done;
}

uint32_t u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The bytes of metadata item `id`, or "" when it is too large or cannot be read.
std::string metadataBytes(const heif_image_handle* handle, heif_item_id id) {
    const size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size == 0 || size > kMaxMetadataBytes) return std::string();
    std::string bytes(size, '\0');
    if (heif_image_handle_get_metadata(handle, id, &bytes[0]).code != heif_error_Ok) return std::string();
    return bytes;
}

// The Exif item starts with the big-endian offset of the TIFF header after its own four bytes;
// some writers also keep JPEG's "Exif\0\0" before the header.
std::string exifFromItem(const std::string& item) {
    if (item.size() < 4) return std::string();
    const uint64_t start = 4 + uint64_t(u32be(reinterpret_cast<const uint8_t*>(item.data())));
    if (start >= item.size()) return std::string();
    std::string block = item.substr(size_t(start));
    if (block.compare(0, 6, std::string("Exif\0\0", 6)) == 0) block.erase(0, 6);
    return block;
}

// Converts 2^bits - 1 based samples to 8 bits, rounded to nearest: (v * 255 + m / 2) / m.
std::vector<uint8_t> eightBitTable(int bits) {
    const uint32_t m = (uint32_t(1) << bits) - 1;
    std::vector<uint8_t> table(size_t(m) + 1);
    for (uint32_t v = 0; v <= m; ++v) table[v] = uint8_t((v * 255 + m / 2) / m);
    return table;
}

// Straight colour from a premultiplied one, rounded; 0 where the pixel is fully transparent.
inline uint8_t unpremultiplied(unsigned c, unsigned a) {
    if (a == 0) return 0;
    const unsigned v = (c * 255 + a / 2) / a;
    return uint8_t(v > 255 ? 255 : v);
}

void rgbRow(const uint8_t* in, uint8_t* out, int width) {
    for (int x = 0; x < width; ++x, in += 3, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = 0;
    }
}

void rgbaRow(const uint8_t* in, uint8_t* out, int width) {
    for (int x = 0; x < width; ++x, in += 4, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = in[3];
    }
}

// Little-endian 16-bit samples of `table.size()` levels, each rounded to 8 bits by the table;
// values above the range (not written by a sound decoder) count as its top.
void deepRow(const uint8_t* in, uint8_t* out, int width, bool alpha, const std::vector<uint8_t>& table) {
    const int channels = alpha ? 4 : 3;
    const unsigned top = unsigned(table.size() - 1);
    auto sample = [&](const uint8_t* s) { return table[std::min(unsigned(s[0] | s[1] << 8), top)]; };
    for (int x = 0; x < width; ++x, in += 2 * channels, out += 4) {
        out[0] = sample(in + 4);
        out[1] = sample(in + 2);
        out[2] = sample(in);
        out[3] = alpha ? sample(in + 6) : 0;
    }
}

void unpremultiplyRow(uint8_t* row, int width) {
    for (int x = 0; x < width; ++x, row += 4)
        for (int c = 0; c < 3; ++c) row[c] = unpremultiplied(row[c], row[3]);
}

class HeifSource final : public ImageSource {
  public:
    bool open(const std::string& path);
    bool streams() const override { return false; }
    bool reduceTo(int minWidth, int minHeight) override;
    uint64_t decoderBytes() const override;
    bool putRows(RowSink& sink) override;

  private:
    bool fail(const std::string& why) {
        failureText = why;
        width = height = 0;
        return false;
    }
    // Takes handle as the image to decode: its size, transparency and depth.
    bool useImage(HandlePtr image);
    void readColour();
    void readMetadata();
    // Converts rows of the decoded image (interleaved RGB(A), 16-bit samples when `table` rounds
    // them to 8 bits) to the picture layout, a strip at a time.
    void putRowsOf(const uint8_t* plane, size_t stride, const std::vector<uint8_t>& table, RowSink& sink);

    std::unique_ptr<heif_context, ContextFree> context;
    HandlePtr primary, handle;  // handle: the image decoded (the primary or its thumbnail)
    int bits = 8;
    bool premultiplied = false;
    bool hdr = false;
};

bool HeifSource::open(const std::string& path) {
    initialiseLibheif();
    context.reset(heif_context_alloc());
    if (!context) return fail("out of memory");
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
    heif_error error = heif_context_read_from_file(context.get(), path.c_str(), nullptr);
    if (error.code != heif_error_Ok) return fail(messageOf(error));
    heif_image_handle* first = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &first);
    if (error.code != heif_error_Ok) return fail(messageOf(error));
    primary.reset(first);
    heif_image_handle* again = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &again).code != heif_error_Ok)
        return fail("the primary image cannot be read");
    if (!useImage(HandlePtr(again))) return false;
    frameCount = std::max(1, heif_context_get_number_of_top_level_images(context.get()));
    oriented = true;
    readColour();
    readMetadata();
    return true;
}

bool HeifSource::useImage(HandlePtr image) {
    const int w = heif_image_handle_get_width(image.get()), h = heif_image_handle_get_height(image.get());
    if (w <= 0 || h <= 0) return fail("the image has no size");
    if (uint64_t(w) * uint64_t(h) >= kMaxPixels)
        return fail("the picture is too large: " + std::to_string(w) + "x" + std::to_string(h) + " pixels");
    handle = std::move(image);
    width = w;
    height = h;
    bits = std::max(heif_image_handle_get_luma_bits_per_pixel(handle.get()),
                    heif_image_handle_get_chroma_bits_per_pixel(handle.get()));
    if (bits < 1 || bits > 16) bits = 8;
    premultiplied = heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;
    mode = heif_image_handle_has_alpha_channel(handle.get()) ? TRANSPARENCY_ALPHA : TRANSPARENCY_NONE;
    modeKnown = true;
    return true;
}

void HeifSource::readColour() {
    heif_color_profile_nclx* nclx = nullptr;
    int transfer = 0, primaries = 0;
    float xy[8] = {};
    // libheif hands over the description even with an error (unknown primaries), so it is always
    // freed.
    const bool described =
        heif_image_handle_get_nclx_color_profile(primary.get(), &nclx).code == heif_error_Ok;
    std::unique_ptr<heif_color_profile_nclx, NclxFree> owned(nclx);
    if (described && nclx) {
        transfer = nclx->transfer_characteristics;
        primaries = nclx->color_primaries;
        const float values[8] = {nclx->color_primary_red_x,   nclx->color_primary_red_y,
                                 nclx->color_primary_green_x, nclx->color_primary_green_y,
                                 nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                                 nclx->color_primary_white_x, nclx->color_primary_white_y};
        std::copy(values, values + 8, xy);
        hdr = isHdrTransfer(transfer);
        if (hdr) note = "HDR picture: tones not mapped";
    }
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary.get());
    if (type == heif_color_profile_type_rICC || type == heif_color_profile_type_prof) {
        const size_t size = heif_image_handle_get_raw_color_profile_size(primary.get());
        std::string bytes(size, '\0');
        if (size > 0 &&
            heif_image_handle_get_raw_color_profile(primary.get(), &bytes[0]).code == heif_error_Ok &&
            isRgbProfile(bytes))
            profile = bytes;
    } else if (type == heif_color_profile_type_nclx) {
        profile = iccProfileForNclx(primaries, transfer, xy);
    }
}

void HeifSource::readMetadata() {
    const int count = heif_image_handle_get_number_of_metadata_blocks(primary.get(), nullptr);
    if (count <= 0) return;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    const int listed =
        heif_image_handle_get_list_of_metadata_block_IDs(primary.get(), nullptr, ids.data(), count);
    for (int i = 0; i < listed; ++i) {
        const char* type = heif_image_handle_get_metadata_type(primary.get(), ids[size_t(i)]);
        const char* content = heif_image_handle_get_metadata_content_type(primary.get(), ids[size_t(i)]);
        if (type && strcmp(type, "Exif") == 0 && exifBlock.empty()) {
            exifBlock = exifFromItem(metadataBytes(primary.get(), ids[size_t(i)]));
        } else if (type && strcmp(type, "mime") == 0 && content &&
                   strcmp(content, "application/rdf+xml") == 0 && xmpPacket.empty()) {
            xmpPacket = metadataBytes(primary.get(), ids[size_t(i)]);
        }
    }
}

bool HeifSource::reduceTo(int minWidth, int minHeight) {
    const int count = heif_image_handle_get_number_of_thumbnails(primary.get());
    if (count <= 0) return false;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary.get(), ids.data(), count);
    HandlePtr best;
    for (int i = 0; i < listed; ++i) {
        heif_image_handle* thumb = nullptr;
        if (heif_image_handle_get_thumbnail(primary.get(), ids[size_t(i)], &thumb).code != heif_error_Ok)
            continue;
        HandlePtr candidate(thumb);
        const int w = heif_image_handle_get_width(thumb), h = heif_image_handle_get_height(thumb);
        if (w < minWidth || h < minHeight || w >= width || h >= height) continue;
        // A thumbnail turned otherwise than its image would not show the same picture.
        if ((w > h) != (width > height) && w != h && width != height) continue;
        if (!best || uint64_t(w) * h < uint64_t(heif_image_handle_get_width(best.get())) *
                                           uint64_t(heif_image_handle_get_height(best.get())))
            best = std::move(candidate);
    }
    if (!best) return false;
    HandlePtr keep = std::move(handle);
    if (useImage(std::move(best))) return true;
    // The image keeps its own size when the thumbnail is unusable.
    failureText.clear();
    useImage(std::move(keep));
    return false;
}

uint64_t HeifSource::decoderBytes() const {
    if (!handle) return 0;
    uint64_t w = uint64_t(std::max(0, heif_image_handle_get_ispe_width(handle.get())));
    uint64_t h = uint64_t(std::max(0, heif_image_handle_get_ispe_height(handle.get())));
    if (w == 0 || h == 0) w = uint64_t(width), h = uint64_t(height);
    // The decoded planes before the crop and conversion; two bytes a sample above 8 bits.
    return w * h * 4 * (bits > 8 ? 2 : 1);
}

bool HeifSource::putRows(RowSink& sink) {
    if (!handle) return false;
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) return fail("out of memory");
    // HDR pictures come as libheif's own 8-bit conversion gives them; other deep pictures are
    // rounded here.
    const bool deep = bits > 8 && !hdr;
    options->convert_hdr_to_8bit = hdr ? 1 : 0;
    const bool alpha = mode != TRANSPARENCY_NONE;
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* decoded = nullptr;
    const heif_error error =
        heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, chroma, options.get());
    std::unique_ptr<heif_image, ImageRelease> image(decoded);
    if (error.code != heif_error_Ok) {
        failureText = messageOf(error);
        return false;
    }
    if (!image || heif_image_get_width(image.get(), heif_channel_interleaved) != width ||
        heif_image_get_height(image.get(), heif_channel_interleaved) != height) {
        failureText = "the decoded image does not have its declared size";
        return false;
    }
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const uint64_t rowBytes = uint64_t(width) * (alpha ? 4 : 3) * (deep ? 2 : 1);
    if (heif_image_get_chroma_format(image.get()) != chroma || !plane || stride < 0 ||
        uint64_t(stride) < rowBytes) {
        failureText = "libheif did not give the pixels in the layout asked for";
        return false;
    }
    // libheif 1.15 fills every warning from the first index asked on, whatever room it is given,
    // and each one's text replaces the one before: asking for the last alone writes one entry whose
    // text stays valid.
    const int warnings = heif_image_get_decoding_warnings(image.get(), 0, nullptr, 0);
    if (warnings > 0) {
        heif_error warning;
        if (heif_image_get_decoding_warnings(image.get(), warnings - 1, &warning, 1) == 1)
            warningText = messageOf(warning);
    }
    int depth = deep ? heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) : 8;
    depth = std::min(std::max(depth, 8), 16);
    putRowsOf(plane, size_t(stride), deep ? eightBitTable(depth) : std::vector<uint8_t>(), sink);
    return true;
}

void HeifSource::putRowsOf(const uint8_t* plane, size_t stride, const std::vector<uint8_t>& table,
                           RowSink& sink) {
    const bool alpha = mode != TRANSPARENCY_NONE;
    const size_t outStride = size_t(width) * 4;
    std::unique_ptr<uint8_t[]> strip(new uint8_t[outStride * kStripRows]);
    for (int y = 0; y < height; y += kStripRows) {
        const int count = std::min(kStripRows, height - y);
        for (int r = 0; r < count; ++r) {
            const uint8_t* in = plane + size_t(y + r) * stride;
            uint8_t* out = strip.get() + size_t(r) * outStride;
            if (!table.empty())
                deepRow(in, out, width, alpha, table);
            else if (alpha)
                rgbaRow(in, out, width);
            else
                rgbRow(in, out, width);
            if (alpha && premultiplied) unpremultiplyRow(out, width);
        }
        sink.putRows(y, count, strip.get(), outStride);
    }
}

}  // namespace

std::unique_ptr<ImageSource> openHeifSource(const std::string& path) {
    keepLibrariesQuiet();
    std::unique_ptr<HeifSource> source(new HeifSource());
    source->open(path);
    return std::unique_ptr<ImageSource>(std::move(source));
}
