// SPDX-License-Identifier: MIT
// Format dispatch by a file's first bytes, the names intake takes, and JPEG files through libjpeg (v62).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "picture/ColourConvert.h"
#include "picture/FileKind.h"
#include "picture/ImageSource.h"
#include "picture/MetadataFilter.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

// Buffers of JPEG files read and written.
const size_t kReadBuffer = size_t(256) << 10;
const size_t kWriteBuffer = size_t(256) << 10;

// The largest payload one marker segment can carry: the 16-bit length counts its own two bytes.
const size_t maxMarkerPayload = 65533;

// A profile's segments carry 65519 bytes each (after "ICC_PROFILE", NUL, sequence and count), and
// a count byte numbers at most 255 of them.
const size_t kMaxIccBytes = size_t(65519) * 255;

// Rows decoded or encoded per libjpeg call.
constexpr int kStripRows = 8;

// libjpeg's standard error exit ends the process and its messages go to standard error. Here
// every message stays with the coder that raised it: the first warning (corrupt data, a file that
// ends early) is kept in libjpeg's own words, and a fatal error keeps its text and jumps back into
// the function that set up the coder, which fails cleanly.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    std::string warning;
    std::string error;
};

std::string messageOf(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX] = {};
    (*cinfo->err->format_message)(cinfo, text);
    return text;
}

void keepMessage(j_common_ptr cinfo) {
    reinterpret_cast<JpegErrorManager*>(cinfo->err)->error = messageOf(cinfo);
}

// Level -1 is a warning; higher levels are trace messages, which are dropped.
void keepFirstWarning(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    JpegErrorManager* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (manager->pub.num_warnings++ == 0) manager->warning = messageOf(cinfo);
}

void jumpBackOnError(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

void catchMessages(JpegErrorManager& manager) {
    manager.pub.error_exit = jumpBackOnError;
    manager.pub.output_message = keepMessage;
    manager.pub.emit_message = keepFirstWarning;
}

// Every 8x8 block of every component of a scan costs a Huffman code of at least one bit, so a
// file holds at least a bit for each block of its first scan. The blocks are counted without the
// padding of interleaved MCUs, which keeps the bound below what any sound file holds. Arithmetic
// coding can spend less than a bit on a block, so it has no such bound. Returns the blocks'
// minimum in bytes.
uint64_t leastBytesOfFirstScan(const jpeg_decompress_struct& cinfo) {
    if (cinfo.arith_code) return 0;
    uint64_t blocks = 0;
    const uint64_t hmax = std::max(cinfo.max_h_samp_factor, 1), vmax = std::max(cinfo.max_v_samp_factor, 1);
    for (int i = 0; i < cinfo.comps_in_scan; ++i) {
        const jpeg_component_info* c = cinfo.cur_comp_info[i];
        const uint64_t w = (uint64_t(cinfo.image_width) * c->h_samp_factor + hmax - 1) / hmax;
        const uint64_t h = (uint64_t(cinfo.image_height) * c->v_samp_factor + vmax - 1) / vmax;
        blocks += ((w + 7) / 8) * ((h + 7) / 8);
    }
    return blocks / 8;
}

uint64_t sizeOfFile(FILE* file) {
    struct stat info;
    return fstat(fileno(file), &info) == 0 ? uint64_t(info.st_size) : 0;
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

// A file source like libjpeg's own, but with a large buffer: the Huffman decoder takes its fast
// path only while a few kilobytes of data are at hand (six blocks' worth of the worst case for a
// 4:2:0 picture), which a 4 KiB buffer holds for a quarter of the time. The same bytes reach the
// decoder in the same order, so the picture and the messages stay as they were; the end of the
// file is handled as libjpeg's source does, with a warning and an inserted end-of-image marker.
struct FileSource {
    jpeg_source_mgr pub;
    FILE* file = nullptr;
    JOCTET* buffer = nullptr;
    bool startOfFile = true;
};

void initSource(j_decompress_ptr cinfo) {
    reinterpret_cast<FileSource*>(cinfo->src)->startOfFile = true;
}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
    FileSource* src = reinterpret_cast<FileSource*>(cinfo->src);
    size_t count = fread(src->buffer, 1, kReadBuffer, src->file);
    if (count == 0) {
        if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = JOCTET(0xFF);
        src->buffer[1] = JOCTET(JPEG_EOI);
        count = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = count;
    src->startOfFile = false;
    return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
    jpeg_source_mgr* src = cinfo->src;
    if (count <= 0) return;
    while (count > long(src->bytes_in_buffer)) {
        count -= long(src->bytes_in_buffer);
        // Never suspends: at the end it hands over the inserted marker.
        (void)(*src->fill_input_buffer)(cinfo);
    }
    src->next_input_byte += size_t(count);
    src->bytes_in_buffer -= size_t(count);
}

void termSource(j_decompress_ptr) {}

// The source lives in the decoder; buffer holds kReadBuffer bytes.
void useFileSource(j_decompress_ptr cinfo, FileSource& source, FILE* file, JOCTET* buffer) {
    source.file = file;
    source.buffer = buffer;
    source.pub.init_source = initSource;
    source.pub.fill_input_buffer = fillInputBuffer;
    source.pub.skip_input_data = skipInputData;
    source.pub.resync_to_restart = jpeg_resync_to_restart;
    source.pub.term_source = termSource;
    source.pub.bytes_in_buffer = 0;
    source.pub.next_input_byte = nullptr;
    cinfo->src = &source.pub;
}

// One JPEG file being decoded. Colour and grey files are decoded by libjpeg straight into the
// picture layout (blue, green, red, pad); CMYK and other colour spaces come through a row buffer.
// Every method that calls libjpeg sets the jump target first and keeps no locals that need
// destroying, because libjpeg errors longjmp back into it.
class JpegDecoder {
  public:
    JpegDecoder() {
        cinfo.err = jpeg_std_error(&jerr.pub);
        catchMessages(jerr);
    }
    ~JpegDecoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
        if (file) fclose(file);
    }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Reads the header; false when the file is no JPEG libjpeg can read or its picture is too
    // large to hold. Decompressing starts with the first rows.
    bool open(const std::string& path);
    // Decodes at the smallest DCT scale (1/2, 1/4 or 1/8) that leaves at least minWidth x
    // minHeight pixels; false, with nothing changed, when even 1/2 leaves fewer. Before any row.
    bool reduceTo(int minWidth, int minHeight);
    int width() const { return int(cinfo.output_width); }
    unsigned scaleDenominator() const { return cinfo.scale_denom; }
    int height() const { return int(cinfo.output_height); }
    // The colour profile of the APP2 segments, whole, or "" when there is none or it is malformed.
    const std::string& iccProfile() const { return icc; }
    // The EXIF block (from its TIFF header on), XMP packet and IPTC records; "" where there is none.
    std::string exif, xmp, iptc;
    // True for CMYK and YCCK files, which libjpeg gives as (inverted) CMYK.
    bool isCmyk() const { return !direct && cinfo.out_color_space == JCS_CMYK && cinfo.output_components == 4; }
    // Converts the CMYK rows through this transform instead of multiplying ink and key. Before any row.
    void convertCmykWith(std::unique_ptr<CmykToSrgb> transform) { cmykToSrgb = std::move(transform); }
    // Decodes every row into the picture (created here); false on a libjpeg error.
    bool decodeInto(CPicture& pic);
    // Decodes every row into the sink in strips; false on a libjpeg error.
    bool decodeInto(RowSink& sink);
    // Why open or a decode failed, and the first warning of a decode that succeeded.
    const std::string& failure() const { return failureText; }
    const std::string& warning() const { return jerr.warning; }

  private:
    // Starts decompressing at the chosen scale (once); false on a libjpeg error.
    bool start();
    // Reads up to `count` rows into `rows` (pointers to rows of the picture layout); the number read.
    int readRows(uint8_t** rows, int count);
    // Records that rows from y on could not be decoded; false.
    bool stoppedAt(int y);
    bool finish();

    jpeg_decompress_struct cinfo = {};
    JpegErrorManager jerr;
    FILE* file = nullptr;
    FileSource source;
    std::unique_ptr<JOCTET[]> buffer;  // the source's
    bool created = false;
    bool started = false;
    bool direct = true;  // libjpeg writes the picture layout itself
    bool cmyk = false;
    JSAMPARRAY converted = nullptr;  // row buffer of the other colour spaces, from libjpeg's pool
    std::unique_ptr<CmykToSrgb> cmykToSrgb;
    std::unique_ptr<uint8_t[]> strip;
    uint8_t* stripRows[kStripRows];
    std::string icc;
    std::string failureText;
};

// libjpeg joins the profile's segments and checks their numbering; a profile it rejects is
// dropped.
std::string readIccProfile(jpeg_decompress_struct& cinfo) {
    JOCTET* data = nullptr;
    unsigned int size = 0;
    if (!jpeg_read_icc_profile(&cinfo, &data, &size)) return std::string();
    std::string profile(reinterpret_cast<const char*>(data), size);
    free(data);
    return profile;
}

bool JpegDecoder::open(const std::string& path) {
    file = fileOpen(path, "rb");
    if (!file) {
        failureText = strerror(errno);
        return false;
    }
    // Reads of this size go straight from the file into the buffer, past the stream's own.
    buffer.reset(new (std::nothrow) JOCTET[kReadBuffer]);
    if (!buffer) return false;
    if (setjmp(jerr.jump)) {
        failureText = jerr.error;
        return false;
    }
    jpeg_create_decompress(&cinfo);
    created = true;
    useFileSource(&cinfo, source, file, buffer.get());
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 2) continue;
        const std::string payload(reinterpret_cast<const char*>(m->data), m->data_length);
        takeJpegMetadataSegment(m->marker, payload, exif, xmp, iptc);
    }
    {
        // A malformed profile is dropped without a word: the pixels are whole, and libjpeg's
        // warning about it must not mark the picture as damaged.
        const long warnings = jerr.pub.num_warnings;
        const std::string warning = jerr.warning;
        icc = readIccProfile(cinfo);
        jerr.pub.num_warnings = warnings;
        jerr.warning = warning;
    }
    // A picture holds fewer than 2^31 pixels; refuse larger files before libjpeg allocates for them.
    const uint64_t pixels = uint64_t(cinfo.image_width) * cinfo.image_height;
    if (pixels >= (uint64_t(1) << 31)) {
        failureText = "the picture is too large: " + std::to_string(cinfo.image_width) + "x" +
                      std::to_string(cinfo.image_height) + " pixels";
        return false;
    }
    const uint64_t least = leastBytesOfFirstScan(cinfo), size = sizeOfFile(file);
    if (least > size) {
        failureText = "a picture of " + std::to_string(cinfo.image_width) + "x" +
                      std::to_string(cinfo.image_height) + " pixels needs at least " + std::to_string(least) +
                      " bytes, the file holds " + std::to_string(size);
        return false;
    }
    // libjpeg's own conversion from its default RGB or grey output to blue, green, red, pad gives
    // the same colour values; other colour spaces keep their default output and are converted here.
    direct = cinfo.out_color_space == JCS_RGB || cinfo.out_color_space == JCS_GRAYSCALE;
    if (direct) cinfo.out_color_space = JCS_EXT_BGRX;
    jpeg_calc_output_dimensions(&cinfo);
    return true;
}

bool JpegDecoder::reduceTo(int minWidth, int minHeight) {
    if (started || !created) return false;
    if (setjmp(jerr.jump)) {
        failureText = jerr.error;
        return false;
    }
    // The output of scale 1/d is the picture's size divided by d, rounded up.
    for (unsigned d = 8; d >= 2; d /= 2) {
        const uint64_t w = (uint64_t(cinfo.image_width) + d - 1) / d,
                       h = (uint64_t(cinfo.image_height) + d - 1) / d;
        if (w < uint64_t(std::max(minWidth, 1)) || h < uint64_t(std::max(minHeight, 1))) continue;
        cinfo.scale_num = 1;
        cinfo.scale_denom = d;
        // A draft needs no smooth chroma: the resampler that follows smooths it anyway.
        cinfo.do_fancy_upsampling = FALSE;
        jpeg_calc_output_dimensions(&cinfo);
        return true;
    }
    return false;
}

bool JpegDecoder::start() {
    if (started) return true;
    if (setjmp(jerr.jump)) {
        failureText = jerr.error;
        return false;
    }
    jpeg_start_decompress(&cinfo);
    started = true;
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
        if (cmyk && cmykToSrgb) cmykToSrgb->convert(converted[0], rows[r], width());
    }
    return count;
}

bool JpegDecoder::stoppedAt(int y) {
    failureText =
        "the file ends early: " + std::to_string(y) + " of " + std::to_string(height()) + " rows decoded";
    return false;
}

bool JpegDecoder::finish() {
    jpeg_finish_decompress(&cinfo);
    return true;
}

bool JpegDecoder::decodeInto(CPicture& pic) {
    if (!start()) return false;
    // libjpeg writes every byte of every row (or fails), so the buffer need not be cleared.
    try {
        pic.createUninitialised(width(), height());
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (setjmp(jerr.jump)) {
        failureText = jerr.error;
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        const int count = std::min<int>(kStripRows, height() - y);
        for (int r = 0; r < count; ++r) stripRows[r] = pic.pixelAt(0, y + r);
        if (readRows(stripRows, count) != count) return stoppedAt(y);
        if (direct) clearByte3(pic.pixelAt(0, y), count, size_t(width()) * 4, width());
    }
    pic.iccProfile = icc;
    return finish();
}

bool JpegDecoder::decodeInto(RowSink& sink) {
    if (!start()) return false;
    const size_t stride = size_t(width()) * 4;
    if (!strip) strip.reset(new (std::nothrow) uint8_t[stride * kStripRows]);
    if (!strip) return false;
    for (int r = 0; r < kStripRows; ++r) stripRows[r] = strip.get() + size_t(r) * stride;
    const bool clear = direct && sink.needsByte3();
    if (setjmp(jerr.jump)) {
        failureText = jerr.error;
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        const int count = std::min<int>(kStripRows, height() - y);
        if (readRows(stripRows, count) != count) return stoppedAt(y);
        if (clear) clearByte3(strip.get(), count, stride, width());
        sink.putRows(y, count, strip.get(), stride);
    }
    return finish();
}

// A transparent picture lies on white in a JPEG: colour c of opacity a becomes
// c·a/255 + 255·(1 − a/255), rounded to the nearest value, that is (v + 127) / 255 for
// v = c·a + 255·(255 − a) (v / 255 never ends in exactly one half). A premultiplied colour
// already is c·a/255 and gains 255 − a; a mask's pixels are either their colour or white.
void rowOnWhite(const uint8_t* s, uint8_t* d, int width, int32_t mode) {
    for (int x = 0; x < width; ++x, s += 4, d += 4) {
        const unsigned a = s[3];
        for (int c = 0; c < 3; ++c) {
            switch (mode) {
                case TRANSPARENCY_MASK:
                    d[c] = a != 0 ? s[c] : 255;
                    break;
                case TRANSPARENCY_ALPHA:
                    d[c] = uint8_t((s[c] * a + 255 * (255 - a) + 127) / 255);
                    break;
                default:
                    d[c] = uint8_t(std::min(255u, s[c] + 255 - a));
                    break;
            }
        }
        d[3] = 0;
    }
}

// What a JPEG carries besides the pixels.
struct JpegExtras {
    const std::string* exif = nullptr;
    const std::string* xmp = nullptr;
    const std::string* icc = nullptr;
    const std::string* iptc = nullptr;
};

// Encodes `pic` as JPEG into `file`, with the EXIF block as one APP1 segment right after the JFIF
// header and the colour profile in APP2 segments after it. Returns false on any libjpeg error (a
// write failure, an empty or too large picture). Every local is trivially destructible because
// libjpeg errors longjmp out; the row buffer of a transparent picture is the caller's.
bool encodeJpeg(FILE* file, const CPicture* pic, int quality, bool progressive, const JpegExtras& extras,
                uint8_t* onWhite) {
    jpeg_compress_struct cinfo = {};
    JpegErrorManager jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    catchMessages(jerr);
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
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    if (extras.exif)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(extras.exif->data()),
                          unsigned(extras.exif->size()));
    if (extras.xmp)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(extras.xmp->data()),
                          unsigned(extras.xmp->size()));
    if (extras.icc)
        jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET*>(extras.icc->data()),
                               unsigned(extras.icc->size()));
    if (extras.iptc)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 13, reinterpret_cast<const JOCTET*>(extras.iptc->data()),
                          unsigned(extras.iptc->size()));
    const size_t stride = size_t(pic->width) * 4;
    JSAMPROW rows[kStripRows];
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = int(cinfo.next_scanline);
        const int count = std::min<int>(kStripRows, pic->height - y);
        for (int r = 0; r < count; ++r) {
            if (onWhite) {
                rows[r] = onWhite + size_t(r) * stride;
                rowOnWhite(pic->pixelAt(0, y + r), rows[r], pic->width, pic->transparencyMode);
            } else {
                // libjpeg only reads the rows it is handed.
                rows[r] = const_cast<JSAMPLE*>(pic->pixelAt(0, y + r));
            }
        }
        if (jpeg_write_scanlines(&cinfo, rows, JDIMENSION(count)) == 0) break;
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

bool CPicture::isValidFileType(const std::string& path) {
    // Names of JPEG files keep the last-four-characters rule ("myjpeg" too); the others need a dot.
    static const char* const endings[] = {".jpg", "jpeg", ".bmp", ".gif", ".png", ".heic", ".heif", ".hif",
                                          ".avif", ".webp", ".tif", ".tiff", ".jxl"};
    for (const char* ending : endings)
        if (isRightCI(path, ending)) return true;
    return false;
}

void CPicture::load(const std::string& path) {
    fileName = path;
    loadFailure.clear();
    loadWarning.clear();
    // The file's first bytes choose the decoder; the name plays no part.
    switch (fileKindOfFile(path)) {
        case FileKind::Jpeg: return loadFromJPG(path);
        case FileKind::Png: return loadFromPNG(path);
        case FileKind::Gif: return loadFromGIF(path);
        case FileKind::Bmp: return loadFromBMP(path);
        default: break;
    }
    // The formats that only come as sources, and files that are none of them, which fail with
    // their cause.
    close();
    std::unique_ptr<ImageSource> source = ImageSource::open(path);
    try {
        if (source->isOpen()) {
            create(source->width, source->height);
            PictureRows rows(*this);
            if (source->putRows(rows)) {
                transparencyMode = source->mode;
                iccProfile = source->iccProfile();
                loadWarning = source->warning();
                return;
            }
        }
    } catch (const std::bad_alloc&) {
    }
    close();
    loadFailure = source->failure();
}

void CPicture::loadFromJPG(const std::string& path) {
    close();
    JpegDecoder decoder;
    if (!decoder.open(path) || !decoder.decodeInto(*this)) {
        close();
        loadFailure = decoder.failure();
    } else {
        loadWarning = decoder.warning();
    }
}

namespace {

class JpegSource final : public ImageSource {
  public:
    explicit JpegSource(const std::string& path) {
        if (!decoder.open(path)) {
            failureText = decoder.failure();
            return;
        }
        width = decoder.width();
        height = decoder.height();
        profile = decoder.iccProfile();
        exifBlock = decoder.exif;
        xmpPacket = decoder.xmp;
        iptcBlock = decoder.iptc;
    }
    bool streams() const override { return true; }
    bool reduceTo(int minWidth, int minHeight) override {
        if (!decoder.reduceTo(minWidth, minHeight)) return false;
        width = decoder.width();
        height = decoder.height();
        // Pixel i of scale 1/d is made from the d x d block at (i * d, j * d); the last may
        // reach past the picture's edge.
        spanX = spanY = double(decoder.scaleDenominator());
        return true;
    }
    bool convertCmykToSrgb() override {
        if (!decoder.isCmyk()) return false;
        // Adobe's inverted CMYK, as the rows are read without a profile too.
        std::unique_ptr<CmykToSrgb> transform(new CmykToSrgb(profile, true, false));
        if (!transform->usable()) return false;
        decoder.convertCmykWith(std::move(transform));
        profile.clear();
        return true;
    }
    bool putRows(RowSink& sink) override {
        const bool decoded = decoder.decodeInto(sink);
        failureText = decoder.failure();
        warningText = decoder.warning();
        return decoded;
    }

  private:
    JpegDecoder decoder;
};

}  // namespace

std::unique_ptr<ImageSource> openJpegSource(const std::string& path) {
    return std::unique_ptr<ImageSource>(new JpegSource(path));
}

bool CPicture::saveToJPG(const std::string& path, int quality) {
    FILE* file = fileOpen(path, "w+b");
    return file && saveToJPG(file, quality);
}

bool CPicture::saveToJPG(FILE* file, int quality, bool progressive) {
    // Freed after the stream is closed.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kWriteBuffer]);
    // Only a stream over a file takes the larger buffer; a memory stream (fileno -1) manages its own.
    if (buffer && fileno(file) >= 0) setvbuf(file, buffer.get(), _IOFBF, kWriteBuffer);
    JpegExtras extras;
    // One marker cannot carry a longer block; the picture is then written without it.
    if (!exifBlock.empty() && exifBlock.size() <= maxMarkerPayload) extras.exif = &exifBlock;
    // A profile is split over as many segments as it needs (at most 255).
    if (!iccProfile.empty() && iccProfile.size() <= kMaxIccBytes) extras.icc = &iccProfile;
    const std::string xmp = xmpPacket.empty() ? std::string() : jpegXmpPayload(xmpPacket);
    const std::string iptc = iptcBlock.empty() ? std::string() : jpegIptcPayload(iptcBlock);
    if (!xmp.empty() && xmp.size() <= maxMarkerPayload) extras.xmp = &xmp;
    if (!iptc.empty() && iptc.size() <= maxMarkerPayload) extras.iptc = &iptc;
    std::unique_ptr<uint8_t[]> onWhite;
    if (transparencyMode != TRANSPARENCY_NONE && !isEmpty()) {
        onWhite.reset(new (std::nothrow) uint8_t[size_t(width) * 4 * kStripRows]);
        if (!onWhite) {
            fclose(file);
            return false;
        }
    }
    bool ok = encodeJpeg(file, this, quality, progressive, extras, onWhite.get());
    // fclose flushes the last bytes; a failure there is a failed save too.
    if (fclose(file) != 0) ok = false;
    return ok;
}
