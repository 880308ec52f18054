// SPDX-License-Identifier: MIT
// The decode floor of the modern formats: decodes each file named with its library, as the
// sources ask for the pixels (HEIF and AVIF as 8-bit interleaved RGB through libheif, WebP as
// BGRA through libwebp, JPEG XL as 8-bit RGB(A) through libjxl), and discards them.
//
//   decode_floor FILE...
#include <jxl/decode.h>
#include <libheif/heif.h>
#include <webp/decode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool endsWith(const std::string& s, const char* end) {
    const size_t n = strlen(end);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, end) == 0;
}

std::string readFile(const char* path) {
    std::string bytes;
    FILE* f = fopen(path, "rb");
    if (!f) return bytes;
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
    fclose(f);
    return bytes;
}

bool decodeHeif(const char* path) {
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    bool ok = heif_context_read_from_file(context, path, nullptr).code == heif_error_Ok &&
              heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok;
    if (ok) {
        const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
        ok = heif_decode_image(handle, &image, heif_colorspace_RGB,
                               alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
                 .code == heif_error_Ok;
    }
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(context);
    return ok;
}

bool decodeWebp(const char* path) {
    const std::string bytes = readFile(path);
    int w = 0, h = 0;
    uint8_t* pixels = WebPDecodeBGRA(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &w, &h);
    WebPFree(pixels);
    return pixels != nullptr;
}

bool decodeJxl(const char* path) {
    const std::string bytes = readFile(path);
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(dec, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    JxlDecoderCloseInput(dec);
    std::vector<uint8_t> pixels;
    JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool ok = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            JxlDecoderGetBasicInfo(dec, &info);
            format.num_channels = info.alpha_bits ? 4 : 3;
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t size = 0;
            JxlDecoderImageOutBufferSize(dec, &format, &size);
            pixels.resize(size);
            JxlDecoderSetImageOutBuffer(dec, &format, pixels.data(), size);
        } else {
            ok = status == JXL_DEC_FULL_IMAGE;
            break;
        }
    }
    JxlDecoderDestroy(dec);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    heif_init(nullptr);
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        bool ok = false;
        if (endsWith(name, ".webp"))
            ok = decodeWebp(argv[i]);
        else if (endsWith(name, ".jxl"))
            ok = decodeJxl(argv[i]);
        else
            ok = decodeHeif(argv[i]);
        if (!ok) {
            fprintf(stderr, "decode_floor: cannot decode %s\n", argv[i]);
            ++failed;
        }
    }
    return failed ? 1 : 0;
}
