// Format dispatch by file name, and JPEG reading and writing through libjpeg (version-62 interface).
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <new>

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// clang-format on

#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

// The largest payload one marker segment can carry: the 16-bit length counts its own two bytes.
const size_t maxMarkerPayload = 65533;

// libjpeg's standard error exit ends the process. This one prints libjpeg's message like the
// standard one and then jumps back into the function that set up the coder, which fails cleanly.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void jumpBackOnError(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// Adobe applications write CMYK JPEGs inverted (255 means no ink), and libjpeg hands the stored
// values through unchanged (YCCK comes out as such CMYK too), so with inverted c and k the red
// share is c * k / 255, rounded. CMYK files without Adobe's marker are read the same way: nearly
// every CMYK JPEG in use comes from Adobe software or copies its convention.
inline uint8_t invertedInkTimesKey(unsigned ink, unsigned key) {
    return uint8_t((ink * key + 127) / 255);
}

// Stores one decoded row as picture pixels (blue, green, red, 0).
void storeRow(const JSAMPLE* row, int components, bool cmyk, int width, uint8_t* out) {
    for (int x = 0; x < width; ++x, out += 4) {
        const JSAMPLE* in = row + size_t(x) * components;
        if (cmyk) {
            out[0] = invertedInkTimesKey(in[2], in[3]);
            out[1] = invertedInkTimesKey(in[1], in[3]);
            out[2] = invertedInkTimesKey(in[0], in[3]);
        } else if (components == 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        } else {
            // Grey; a file of unknown colour space gives its first component as grey.
            out[0] = out[1] = out[2] = in[0];
        }
    }
}

// Decodes the JPEG stream in `file` into `pic`. Returns false on any libjpeg error, on a picture
// too large to hold, or when memory runs out; `pic` may then hold a partly filled buffer.
// Every local is trivially destructible because libjpeg errors longjmp out of the calls below.
bool decodeJpeg(FILE* file, CPicture* pic) {
    jpeg_decompress_struct cinfo = {};
    JpegErrorManager jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = jumpBackOnError;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    // A picture holds fewer than 2^31 pixels; refuse larger files before libjpeg allocates for them.
    if (uint64_t(cinfo.image_width) * cinfo.image_height >= (uint64_t(1) << 31)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    try {
        pic->create(int(cinfo.output_width), int(cinfo.output_height));
    } catch (const std::bad_alloc&) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const int components = cinfo.output_components;
    const bool cmyk = cinfo.out_color_space == JCS_CMYK && components == 4;
    // The row buffer comes from libjpeg's own pool, so jpeg_destroy_decompress frees it on every path.
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                cinfo.output_width * JDIMENSION(components), 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        // The stdio source never suspends; a zero count would otherwise loop for ever.
        if (jpeg_read_scanlines(&cinfo, row, 1) != 1) {
            jpeg_destroy_decompress(&cinfo);
            return false;
        }
        storeRow(row[0], components, cmyk, pic->width, pic->pixelAt(0, y));
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// Encodes `pic` as JPEG into `file`, with `exif` (when not null) as one APP1 segment right after
// the JFIF header. Returns false on any libjpeg error (a write failure, an empty or too large
// picture). Every local is trivially destructible because libjpeg errors longjmp out.
bool encodeJpeg(FILE* file, const CPicture* pic, int quality, const char* exif, size_t exifSize) {
    jpeg_compress_struct cinfo = {};
    JpegErrorManager jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = jumpBackOnError;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(pic->width);
    cinfo.image_height = JDIMENSION(pic->height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    if (exif)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif), unsigned(exifSize));
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                cinfo.image_width * 3, 1);
    for (int y = 0; y < pic->height; ++y) {
        const uint8_t* in = pic->pixelAt(0, y);
        JSAMPLE* out = row[0];
        for (int x = 0; x < pic->width; ++x, in += 4, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        jpeg_write_scanlines(&cinfo, row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

using Decoder = void (CPicture::*)(const std::string&);

// Returns the decoder for a path by its last four characters, or null for an unknown type.
static Decoder decoderFor(const std::string& path) {
    if (path.size() < 4) return nullptr;
    const std::string suffix = strtolower(path.substr(path.size() - 4));
    if (suffix == ".jpg" || suffix == "jpeg") return &CPicture::loadFromJPG;
    if (suffix == ".bmp") return &CPicture::loadFromBMP;
    if (suffix == ".gif") return &CPicture::loadFromGIF;
    if (suffix == ".png") return &CPicture::loadFromPNG;
    return nullptr;
}

bool CPicture::isValidFileType(const std::string& path) {
    return decoderFor(path) != nullptr;
}

void CPicture::load(const std::string& path) {
    fileName = path;
    loadFailure.clear();
    loadWarning.clear();
    if (auto decoder = decoderFor(path)) (this->*decoder)(path);
}

void CPicture::loadFromJPG(const std::string& path) {
    close();
    FILE* file = fileOpen(path, "rb");
    if (!file) return;
    if (!decodeJpeg(file, this)) close();
    fclose(file);
}

bool CPicture::saveToJPG(const std::string& path, int quality) {
    FILE* file = fileOpen(path, "w+b");
    if (!file) return false;
    // One marker cannot carry a longer block; the picture is then written without it.
    const bool withExif = !exifBlock.empty() && exifBlock.size() <= maxMarkerPayload;
    bool ok = encodeJpeg(file, this, quality, withExif ? exifBlock.data() : nullptr, exifBlock.size());
    // fclose flushes the last bytes; a failure there is a failed save too.
    if (fclose(file) != 0) ok = false;
    return ok;
}
