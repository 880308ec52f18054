// Format dispatch by file name, and JPEG reading and writing through libjpeg (version-62 interface).
#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// clang-format on

#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

// The largest payload one marker segment can carry: the 16-bit length counts its own two bytes.
const size_t maxMarkerPayload = 65533;

// Rows decoded or encoded per libjpeg call.
constexpr int kStripRows = 16;

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
        out[3] = 0;
    }
}

// Clears byte 3 of `count` rows: libjpeg writes 255 there, a JPEG picture holds 0.
void clearByte3(uint8_t* rows, int count, size_t stride, int width) {
    for (int r = 0; r < count; ++r) {
        uint32_t* p = reinterpret_cast<uint32_t*>(rows + size_t(r) * stride);
        for (int x = 0; x < width; ++x) p[x] &= 0x00FFFFFFu;
    }
}

// One JPEG file being decoded. Colour and grey files are decoded by libjpeg straight into the
// picture layout (blue, green, red, pad); CMYK and other colour spaces come through a row buffer.
// Every method that calls libjpeg sets the jump target first and keeps no locals that need
// destroying, because libjpeg errors longjmp back into it.
class JpegDecoder {
  public:
    JpegDecoder() {
        cinfo.err = jpeg_std_error(&jerr.pub);
        jerr.pub.error_exit = jumpBackOnError;
    }
    ~JpegDecoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
        if (file) fclose(file);
    }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Reads the header and starts decompressing; false when the file is no JPEG libjpeg can read
    // or its picture is too large to hold.
    bool open(const std::string& path);
    int width() const { return int(cinfo.output_width); }
    int height() const { return int(cinfo.output_height); }
    // Decodes every row into the picture (created here); false on a libjpeg error.
    bool decodeInto(CPicture& pic);
    // Decodes every row into the sink in strips; false on a libjpeg error.
    bool decodeInto(RowSink& sink);

  private:
    // Reads up to `count` rows into `rows` (pointers to rows of the picture layout); the number read.
    int readRows(uint8_t** rows, int count);
    bool finish();

    jpeg_decompress_struct cinfo = {};
    JpegErrorManager jerr;
    FILE* file = nullptr;
    bool created = false;
    bool direct = true;  // libjpeg writes the picture layout itself
    bool cmyk = false;
    JSAMPARRAY converted = nullptr;  // row buffer of the other colour spaces, from libjpeg's pool
    std::unique_ptr<uint8_t[]> strip;
    uint8_t* stripRows[kStripRows];
};

bool JpegDecoder::open(const std::string& path) {
    file = fileOpen(path, "rb");
    if (!file) return false;
    if (setjmp(jerr.jump)) return false;
    jpeg_create_decompress(&cinfo);
    created = true;
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    // A picture holds fewer than 2^31 pixels; refuse larger files before libjpeg allocates for them.
    if (uint64_t(cinfo.image_width) * cinfo.image_height >= (uint64_t(1) << 31)) return false;
    // libjpeg's own conversion from its default RGB or grey output to blue, green, red, pad gives
    // the same colour values; other colour spaces keep their default output and are converted here.
    direct = cinfo.out_color_space == JCS_RGB || cinfo.out_color_space == JCS_GRAYSCALE;
    if (direct) cinfo.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&cinfo);
    cmyk = cinfo.out_color_space == JCS_CMYK && cinfo.output_components == 4;
    if (!direct)
        converted = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                               cinfo.output_width * JDIMENSION(cinfo.output_components), 1);
    return true;
}

int JpegDecoder::readRows(uint8_t** rows, int count) {
    if (direct) {
        int got = 0;
        // The stdio source never suspends; a zero count would otherwise loop for ever.
        while (got < count) {
            JDIMENSION n = jpeg_read_scanlines(&cinfo, reinterpret_cast<JSAMPARRAY>(rows + got), JDIMENSION(count - got));
            if (n == 0) break;
            got += int(n);
        }
        return got;
    }
    for (int r = 0; r < count; ++r) {
        if (jpeg_read_scanlines(&cinfo, converted, 1) != 1) return r;
        storeRow(converted[0], cinfo.output_components, cmyk, width(), rows[r]);
    }
    return count;
}

bool JpegDecoder::finish() {
    jpeg_finish_decompress(&cinfo);
    return true;
}

bool JpegDecoder::decodeInto(CPicture& pic) {
    // libjpeg writes every byte of every row (or fails), so the buffer need not be cleared.
    try {
        pic.createUninitialised(width(), height());
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (setjmp(jerr.jump)) return false;
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        const int count = std::min<int>(kStripRows, height() - y);
        for (int r = 0; r < count; ++r) stripRows[r] = pic.pixelAt(0, y + r);
        if (readRows(stripRows, count) != count) return false;
        if (direct) clearByte3(pic.pixelAt(0, y), count, size_t(width()) * 4, width());
    }
    return finish();
}

bool JpegDecoder::decodeInto(RowSink& sink) {
    const size_t stride = size_t(width()) * 4;
    if (!strip) strip.reset(new (std::nothrow) uint8_t[stride * kStripRows]);
    if (!strip) return false;
    for (int r = 0; r < kStripRows; ++r) stripRows[r] = strip.get() + size_t(r) * stride;
    const bool clear = direct && sink.needsByte3();
    if (setjmp(jerr.jump)) return false;
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        const int count = std::min<int>(kStripRows, height() - y);
        if (readRows(stripRows, count) != count) return false;
        if (clear) clearByte3(strip.get(), count, stride, width());
        sink.putRows(y, count, strip.get(), stride);
    }
    return finish();
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
    // libjpeg reads the picture layout itself; its conversion from it equals that from RGB.
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    if (exif)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif), unsigned(exifSize));
    JSAMPROW rows[kStripRows];
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = int(cinfo.next_scanline);
        const int count = std::min<int>(kStripRows, pic->height - y);
        // libjpeg only reads the rows it is handed.
        for (int r = 0; r < count; ++r) rows[r] = const_cast<JSAMPLE*>(pic->pixelAt(0, y + r));
        if (jpeg_write_scanlines(&cinfo, rows, JDIMENSION(count)) == 0) break;
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
    JpegDecoder decoder;
    if (!decoder.open(path) || !decoder.decodeInto(*this)) close();
}

namespace {

class JpegSource final : public ImageSource {
  public:
    explicit JpegSource(const std::string& path) {
        if (!decoder.open(path)) return;
        width = decoder.width();
        height = decoder.height();
    }
    bool streams() const override { return true; }
    bool putRows(RowSink& sink) override { return decoder.decodeInto(sink); }

  private:
    JpegDecoder decoder;
};

}  // namespace

std::unique_ptr<ImageSource> openJpegSource(const std::string& path) {
    return std::unique_ptr<ImageSource>(new JpegSource(path));
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
