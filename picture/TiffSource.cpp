// SPDX-License-Identifier: MIT
// TIFF files through libtiff: the first page. 8- and 16-bit grey, RGB(A) and CMYK are read strip by
// strip (or tile row by tile row) and converted here, because libtiff's RGBA reader premultiplies
// alpha and turns CMYK into RGB without rounding; palette, YCbCr, old-style JPEG and 1- to 4-bit
// pages go through that reader.
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "picture/ColourConvert.h"
#include "picture/ImageSource.h"
#include "tools/modTools.h"

namespace {

// Rows handed to the sink at a time.
constexpr int kStripRows = 16;
// The largest single buffer libtiff may allocate for one file (its own default is 256 MiB), and the
// largest strip or tile row our own reading holds at once.
constexpr tmsize_t kMaxLibraryAlloc = tmsize_t(1) << 30;
constexpr uint64_t kMaxBandBytes = uint64_t(1) << 30;
constexpr int kMostSamples = 8;
// Directories read one by one to tell pages from reduced copies; longer chains count as pages.
constexpr tdir_t kMostDirectoriesLooked = 1000;

// libtiff's messages stay with the file that raised them: the last error is the cause of a failure;
// warnings (unknown tags and the like) say nothing about the pixels and are dropped.
struct Messages {
    std::string error;
};

int keepError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    Messages* messages = static_cast<Messages*>(user);
    messages->error = module && *module ? std::string(module) + ": " + text : std::string(text);
    return 1;  // handled: libtiff's global handlers (which print) are not called
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// A few of libtiff's codecs still report through the process-wide handlers; those print nothing.
void silenceGlobalHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

inline uint8_t to8(uint32_t v, uint32_t max) {
    return max == 255 ? uint8_t(v) : uint8_t((v * 255 + max / 2) / max);
}

// The red share of normal (not inverted) CMYK, rounded as the CMYK JPEG path rounds it.
inline uint8_t inkTimesKey(unsigned ink, unsigned key) {
    return uint8_t(((255 - ink) * (255 - key) + 127) / 255);
}

// How the samples of a page read by our own conversion are laid out.
struct Layout {
    int bits = 8;     // 8 or 16
    int samples = 1;  // per pixel, extra samples included
    int colours = 1;  // 1 grey, 3 RGB, 4 CMYK
    int photometric = PHOTOMETRIC_MINISBLACK;
    int alpha = -1;  // sample index of the alpha, or -1
    bool premultiplied = false;
    bool separate = false;  // one plane per sample
    bool tiled = false;
    uint32_t chunkWidth = 0;  // tile width, or the picture width for strips
    uint32_t chunkRows = 0;   // tile height or rows per strip
};

class TiffSource final : public ImageSource {
  public:
    explicit TiffSource(const std::string& path);
    ~TiffSource() override {
        if (tif) TIFFClose(tif);
    }
    bool putRows(RowSink& sink) override;
    bool convertCmykToSrgb() override;

  private:
    bool readHeader();
    bool ownLayout();
    bool readBand(uint32_t y, uint32_t rows, uint8_t* band, uint8_t* chunk);
    void convertRow(const uint8_t* in, uint8_t* out) const;
    bool putOwn(RowSink& sink);
    bool putThroughRgbaReader(RowSink& sink);
    bool cutAt(uint32_t y, bool chunkBeyondEnd);
    bool someChunkBeyondEnd();
    int countPages();
    bool fail(const std::string& why) {
        failureText = why.empty() ? "not a TIFF file libtiff can read" : why;
        return false;
    }

    TIFF* tif = nullptr;
    Messages messages;
    uint64_t fileBytes = 0;
    bool own = false;
    Layout layout;
    // CMYK through the page's profile: the transform and one row of straight samples for it.
    std::unique_ptr<CmykToSrgb> cmykToSrgb;
    mutable std::vector<uint16_t> cmykRow;
};

bool TiffSource::convertCmykToSrgb() {
    if (!own || layout.colours != 4) return false;
    std::unique_ptr<CmykToSrgb> transform(new CmykToSrgb(profile, false, layout.bits == 16));
    if (!transform->usable()) return false;
    cmykToSrgb = std::move(transform);
    cmykRow.assign(size_t(width) * 4, 0);
    profile.clear();
    return true;
}

TiffSource::TiffSource(const std::string& path) {
    silenceGlobalHandlers();
    FILE* probe = fileOpen(path, "rb", &fileBytes);
    if (!probe) {
        failureText = strerror(errno);
        return;
    }
    fclose(probe);
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) {
        failureText = "out of memory";
        return;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAlloc);
    // Read, not mapped: a file cut by someone else while mapped would end the process.
    tif = TIFFOpenExt(path.c_str(), "rm", options);
    TIFFOpenOptionsFree(options);
    if (!tif) {
        fail(messages.error);
        return;
    }
    if (!readHeader()) {
        width = height = 0;
        TIFFClose(tif);
        tif = nullptr;
    }
}

bool TiffSource::readHeader() {
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) || w == 0 ||
        h == 0)
        return fail("the page has no size");
    // A picture holds fewer than 2^31 pixels.
    if (uint64_t(w) * h >= (uint64_t(1) << 31))
        return fail("the picture is too large: " + std::to_string(w) + "x" + std::to_string(h) + " pixels");
    uint16_t turn = 0;
    if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &turn) && turn >= 1 && turn <= 8) orientation = turn;
    uint32_t iccBytes = 0;
    void* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccBytes, &icc) && icc && iccBytes > 0)
        profile.assign(static_cast<const char*>(icc), iccBytes);
    own = ownLayout();
    if (!own) {
        char why[1024] = {};
        if (!TIFFRGBAImageOK(tif, why)) return fail(why);
    }
    frameCount = countPages();
    if (frameCount == 0) return fail(messages.error);
    messages.error.clear();
    width = int(w);
    height = int(h);
    mode = layout.alpha >= 0 ? TRANSPARENCY_ALPHA : TRANSPARENCY_NONE;
    modeKnown = own;
    return true;
}

// True when the page is one our own conversion reads: unsigned 8- or 16-bit grey, RGB or CMYK
// samples, with or without alpha, stored by strips or tiles, contiguous or in planes.
bool TiffSource::ownLayout() {
    uint16_t bits = 0, samples = 0, photometric = 0, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    uint16_t compression = COMPRESSION_NONE, inkset = INKSET_CMYK;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if ((bits != 8 && bits != 16) || (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID))
        return false;
    if (compression == COMPRESSION_OJPEG) return false;
    int colours = 0;
    if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) colours = 1;
    if (photometric == PHOTOMETRIC_RGB) colours = 3;
    if (photometric == PHOTOMETRIC_SEPARATED && inkset == INKSET_CMYK) colours = 4;
    // More samples than a colour, its alpha and a few extras is no picture this reading knows.
    if (colours == 0 || samples < colours || samples > kMostSamples) return false;
    layout.bits = bits;
    layout.samples = samples;
    layout.colours = colours;
    layout.photometric = photometric;
    layout.separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
    // The first extra sample is alpha when the file says which kind; unspecified extras are ignored.
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    if (samples > colours && TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds) && extras > 0 &&
        kinds) {
        if (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA) {
            layout.alpha = colours;
            layout.premultiplied = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
        }
    }
    layout.tiled = TIFFIsTiled(tif) != 0;
    uint32_t w = 0, h = 0, rows = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    if (layout.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &layout.chunkWidth) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &layout.chunkRows))
            return false;
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        layout.chunkWidth = w;
        layout.chunkRows = std::min(std::max(rows, 1u), h);
    }
    return layout.chunkWidth > 0 && layout.chunkRows > 0;
}

// Reads rows y .. y + rows - 1 (one strip's or one tile row's worth) into `band`, samples
// interleaved, each row width * samples * bytes long. `chunk` holds one strip or tile of one plane.
bool TiffSource::readBand(uint32_t y, uint32_t rows, uint8_t* band, uint8_t* chunk) {
    const size_t bytes = size_t(layout.bits / 8);
    const int planes = layout.separate ? layout.samples : 1;
    const size_t perPixel = size_t(layout.samples) * bytes;
    const size_t samplesInChunk = layout.separate ? 1 : size_t(layout.samples);
    const size_t chunkStride = size_t(layout.chunkWidth) * samplesInChunk * bytes;
    const size_t chunkBytes = chunkStride * layout.chunkRows;
    for (int plane = 0; plane < planes; ++plane) {
        for (uint32_t x0 = 0; x0 < uint32_t(width); x0 += layout.chunkWidth) {
            const uint32_t index = layout.tiled ? TIFFComputeTile(tif, x0, y, 0, uint16_t(plane))
                                                : TIFFComputeStrip(tif, y, uint16_t(plane));
            const tmsize_t got = layout.tiled ? TIFFReadEncodedTile(tif, index, chunk, tmsize_t(chunkBytes))
                                              : TIFFReadEncodedStrip(tif, index, chunk, tmsize_t(chunkBytes));
            if (got < 0) {
                const uint64_t end = TIFFGetStrileOffset(tif, index) + TIFFGetStrileByteCount(tif, index);
                return cutAt(y, end > fileBytes);
            }
            // A short strip (the last one, or a damaged one) leaves its missing rows as zeros.
            if (size_t(got) < chunkBytes) memset(chunk + got, 0, chunkBytes - size_t(got));
            const uint32_t columns = std::min<uint32_t>(layout.chunkWidth, uint32_t(width) - x0);
            for (uint32_t r = 0; r < rows; ++r) {
                const uint8_t* in = chunk + chunkStride * r;
                uint8_t* out = band + (size_t(r) * size_t(width) + x0) * perPixel;
                if (!layout.separate) {
                    memcpy(out, in, columns * perPixel);
                    continue;
                }
                for (uint32_t x = 0; x < columns; ++x)
                    memcpy(out + x * perPixel + size_t(plane) * bytes, in + x * bytes, bytes);
            }
        }
    }
    return true;
}

// Rows from y on could not be read: a page that gave some rows is still a picture (the rest
// stay zero), one that gave none fails.
bool TiffSource::cutAt(uint32_t y, bool chunkBeyondEnd) {
    const std::string counts = std::to_string(y) + " of " + std::to_string(height) + " rows decoded";
    const std::string text = chunkBeyondEnd
                                 ? "the file ends early: " + counts
                                 : (messages.error.empty() ? "corrupt data" : messages.error) + ": " + counts;
    if (y == 0) return fail(text);
    warningText = text;
    return false;
}

// The pages of the file: its directories, less the reduced-resolution copies (overviews,
// thumbnails) that some writers keep beside a page. Leaves the first directory current; 0 when it
// cannot be read again.
int TiffSource::countPages() {
    // libtiff stops at loops in the chain of directories.
    const tdir_t directories = TIFFNumberOfDirectories(tif);
    if (directories <= 1) return 1;
    if (directories > kMostDirectoriesLooked) return int(std::min<tdir_t>(directories, INT32_MAX));
    int pages = 1;
    for (tdir_t d = 1; d < directories; ++d) {
        uint32_t kind = 0;
        if (TIFFSetDirectory(tif, d) &&
            (!TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &kind) || !(kind & FILETYPE_REDUCEDIMAGE)))
            ++pages;
    }
    return TIFFSetDirectory(tif, 0) ? pages : 0;
}

// True when a strip or tile of the page lies past the end of the file.
bool TiffSource::someChunkBeyondEnd() {
    const uint32_t count = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    for (uint32_t i = 0; i < count; ++i)
        if (TIFFGetStrileOffset(tif, i) + TIFFGetStrileByteCount(tif, i) > fileBytes) return true;
    return false;
}

// One row of samples into picture pixels (blue, green, red, byte 3).
void TiffSource::convertRow(const uint8_t* in, uint8_t* out) const {
    const uint32_t max = layout.bits == 16 ? 65535 : 255;
    const int n = layout.samples;
    uint32_t v[kMostSamples];
    for (int x = 0; x < width; ++x, out += 4) {
        for (int s = 0; s < n; ++s)
            v[s] = layout.bits == 16 ? reinterpret_cast<const uint16_t*>(in)[size_t(x) * n + s]
                                     : in[size_t(x) * n + s];
        const uint32_t a = layout.alpha >= 0 ? v[layout.alpha] : max;
        // Premultiplied colours go back to straight ones at full precision.
        if (layout.premultiplied)
            for (int s = 0; s < layout.colours; ++s)
                v[s] = a == 0 ? 0 : std::min(max, (v[s] * max + a / 2) / a);
        if (layout.colours == 1) {
            const uint32_t grey = layout.photometric == PHOTOMETRIC_MINISWHITE ? max - v[0] : v[0];
            out[0] = out[1] = out[2] = to8(grey, max);
        } else if (layout.colours == 3) {
            out[0] = to8(v[2], max);
            out[1] = to8(v[1], max);
            out[2] = to8(v[0], max);
        } else {
            const unsigned k = to8(v[3], max);
            out[0] = inkTimesKey(to8(v[2], max), k);
            out[1] = inkTimesKey(to8(v[1], max), k);
            out[2] = inkTimesKey(to8(v[0], max), k);
            if (cmykToSrgb)
                for (int s = 0; s < 4; ++s) cmykRow[size_t(x) * 4 + s] = uint16_t(v[s]);
        }
        out[3] = layout.alpha >= 0 ? to8(a, max) : 0;
    }
    if (!cmykToSrgb) return;
    // The transform reads the samples in their own depth (8-bit ones narrowed in place, each byte
    // written after the sample it comes from was read); byte 3 (alpha) stays as set above.
    if (layout.bits == 8) {
        uint8_t* narrow = reinterpret_cast<uint8_t*>(cmykRow.data());
        for (size_t i = 0; i < size_t(width) * 4; ++i) narrow[i] = uint8_t(cmykRow[i]);
    }
    cmykToSrgb->convert(cmykRow.data(), out - size_t(width) * 4, width);
}

bool TiffSource::putOwn(RowSink& sink) {
    const size_t bytes = size_t(layout.bits / 8);
    const uint64_t rowBytes = uint64_t(width) * uint64_t(layout.samples) * bytes;
    const uint64_t chunkBytes =
        uint64_t(layout.chunkWidth) * (layout.separate ? 1 : layout.samples) * bytes * layout.chunkRows;
    if (rowBytes * layout.chunkRows > kMaxBandBytes || chunkBytes > kMaxBandBytes)
        return fail("a strip or tile holds more than 1 GiB of samples");
    std::unique_ptr<uint8_t[]> band(new uint8_t[size_t(rowBytes * layout.chunkRows)]);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[size_t(chunkBytes)]);
    const size_t stride = size_t(width) * 4;
    std::unique_ptr<uint8_t[]> strip(new uint8_t[stride * kStripRows]);
    std::unique_ptr<uint8_t[]> zeros;
    for (uint32_t y = 0; y < uint32_t(height); y += layout.chunkRows) {
        const uint32_t rows = std::min<uint32_t>(layout.chunkRows, uint32_t(height) - y);
        if (!readBand(y, rows, band.get(), chunk.get())) {
            if (warningText.empty()) return false;
            // The rows the file does not hold come as zero rows.
            zeros.reset(new uint8_t[stride]());
            for (uint32_t z = y; z < uint32_t(height); ++z) sink.putRows(int(z), 1, zeros.get(), stride);
            return true;
        }
        for (uint32_t r = 0; r < rows; r += kStripRows) {
            const uint32_t count = std::min<uint32_t>(kStripRows, rows - r);
            for (uint32_t i = 0; i < count; ++i)
                convertRow(band.get() + size_t(rowBytes) * (r + i), strip.get() + stride * i);
            sink.putRows(int(y + r), int(count), strip.get(), stride);
        }
    }
    return true;
}

// libtiff's RGBA reader with a hook on its row writer, so that a page that fails part way still
// tells how many rows it gave.
struct CountingImage {
    TIFFRGBAImage image;  // first, so that the reader's pointer is also this struct's
    tileContigRoutine contig = nullptr;
    tileSeparateRoutine separate = nullptr;
    uint32_t wholeRows = 0;  // rows above which every strip or tile has been put
};

// Strips span the width; a row of tiles is whole once its rightmost tile is put (they come left to
// right).
void countPut(CountingImage* counting, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    if (x + w >= counting->image.width) counting->wholeRows = std::max(counting->wholeRows, y + h);
}

void countContig(TIFFRGBAImage* img, uint32_t* raster, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                 int32_t fromSkew, int32_t toSkew, unsigned char* p) {
    CountingImage* counting = reinterpret_cast<CountingImage*>(img);
    counting->contig(img, raster, x, y, w, h, fromSkew, toSkew, p);
    countPut(counting, x, y, w, h);
}

void countSeparate(TIFFRGBAImage* img, uint32_t* raster, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                   int32_t fromSkew, int32_t toSkew, unsigned char* r, unsigned char* g, unsigned char* b,
                   unsigned char* a) {
    CountingImage* counting = reinterpret_cast<CountingImage*>(img);
    counting->separate(img, raster, x, y, w, h, fromSkew, toSkew, r, g, b, a);
    countPut(counting, x, y, w, h);
}

bool TiffSource::putThroughRgbaReader(RowSink& sink) {
    CountingImage counting;
    char why[1024] = {};
    if (!TIFFRGBAImageBegin(&counting.image, tif, 1, why)) return fail(why);
    // Rows come in the order they are stored: the orientation is the job's to apply.
    counting.image.req_orientation = counting.image.orientation;
    if (counting.image.isContig) {
        counting.contig = counting.image.put.contig;
        counting.image.put.contig = countContig;
    } else {
        counting.separate = counting.image.put.separate;
        counting.image.put.separate = countSeparate;
    }
    const size_t pixels = size_t(width) * size_t(height);
    std::unique_ptr<uint32_t[]> raster(new (std::nothrow) uint32_t[pixels]());
    if (!raster) {
        TIFFRGBAImageEnd(&counting.image);
        throw std::bad_alloc();
    }
    const bool whole =
        TIFFRGBAImageGet(&counting.image, raster.get(), uint32_t(width), uint32_t(height)) != 0;
    const bool hasAlpha = counting.image.alpha != 0;
    const uint32_t decoded = counting.wholeRows;
    TIFFRGBAImageEnd(&counting.image);
    if (!whole) {
        const uint32_t y = std::min<uint32_t>(decoded, uint32_t(height));
        cutAt(y, someChunkBeyondEnd());
        if (y == 0) return false;
        std::fill(raster.get() + size_t(y) * size_t(width), raster.get() + pixels, 0u);
    }
    // The reader's pixels are R, G, B, A from the low byte up, alpha premultiplied; they become
    // straight alpha as the other pages give it.
    uint8_t* out = reinterpret_cast<uint8_t*>(raster.get());
    for (size_t i = 0; i < pixels; ++i, out += 4) {
        const uint32_t p = raster[i];
        const unsigned a = hasAlpha ? p >> 24 : 255;
        const auto straight = [a](unsigned c) {
            return uint8_t(a == 255 ? c : a == 0 ? 0 : std::min(255u, (c * 255 + a / 2) / a));
        };
        out[0] = straight((p >> 16) & 0xFF);
        out[1] = straight((p >> 8) & 0xFF);
        out[2] = straight(p & 0xFF);
        out[3] = hasAlpha ? uint8_t(a) : 0;
    }
    mode = hasAlpha ? TRANSPARENCY_ALPHA : TRANSPARENCY_NONE;
    modeKnown = true;
    const size_t stride = size_t(width) * 4;
    for (int y = 0; y < height; y += kStripRows)
        sink.putRows(y, std::min(kStripRows, height - y),
                     reinterpret_cast<uint8_t*>(raster.get()) + stride * size_t(y), stride);
    return true;
}

bool TiffSource::putRows(RowSink& sink) {
    if (!tif) return false;
    messages.error.clear();
    return own ? putOwn(sink) : putThroughRgbaReader(sink);
}

}  // namespace

std::unique_ptr<ImageSource> openTiffSource(const std::string& path) {
    return std::unique_ptr<ImageSource>(new TiffSource(path));
}
