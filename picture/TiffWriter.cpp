// SPDX-License-Identifier: MIT
// TIFF writing through libtiff: 8-bit RGB or RGBA (unassociated alpha), Deflate with the
// horizontal predictor, the ICC profile and the XMP packet as tags. The file is built in memory
// (libtiff seeks back to patch its directory) and then written to the stream in one piece.
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "picture/ImageWriter.h"
#include "picture/WriterSupport.h"

namespace {

// Strips of about this many bytes before compression: long enough for Deflate to find matches.
const size_t kStripBytes = size_t(1) << 18;
// Classic TIFF addresses 4 GiB; pictures near that are written as BigTIFF.
const uint64_t kClassicLimit = uint64_t(3) << 30;

// The file as it grows: libtiff's client procedures read, write and seek in it.
struct MemoryFile {
    std::vector<uint8_t> bytes;
    uint64_t position = 0;
    bool failed = false;
};

tmsize_t readProc(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    if (size < 0 || file.position >= file.bytes.size()) return 0;
    const size_t n = std::min<uint64_t>(uint64_t(size), file.bytes.size() - file.position);
    std::memcpy(buffer, file.bytes.data() + file.position, n);
    file.position += n;
    return tmsize_t(n);
}

tmsize_t writeProc(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    if (size < 0) return -1;
    const uint64_t end = file.position + uint64_t(size);
    try {
        if (end > file.bytes.size()) file.bytes.resize(end);
    } catch (const std::exception&) {
        file.failed = true;
        return -1;
    }
    if (size > 0) std::memcpy(file.bytes.data() + file.position, buffer, size_t(size));
    file.position = end;
    return size;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = *static_cast<MemoryFile*>(handle);
    const uint64_t base = whence == SEEK_CUR ? file.position : whence == SEEK_END ? file.bytes.size() : 0;
    file.position = base + offset;
    return file.position;
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->bytes.size();
}

int mapProc(thandle_t, void**, toff_t*) {
    return 0;
}

void unmapProc(thandle_t, void*, toff_t) {}

// The library's errors and warnings fail or pass the picture silently; returning 1 keeps them
// from the process-wide handlers, which print.
int quietError(TIFF*, void* userData, const char*, const char*, va_list) {
    static_cast<MemoryFile*>(userData)->failed = true;
    return 1;
}

int quietWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

TIFF* openTiff(MemoryFile& file, bool big) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietWarning, &file);
    TIFF* tiff = TIFFClientOpenExt("output", big ? "w8" : "w", &file, readProc, writeProc, seekProc,
                                   closeProc, sizeProc, mapProc, unmapProc, options);
    TIFFOpenOptionsFree(options);
    return tiff;
}

bool setFields(TIFF* tiff, const CPicture& picture, int channels, uint32_t stripRows,
               const OutputMetadata& metadata) {
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(picture.width)) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(picture.height)) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
              TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, stripRows);
    if (ok && channels == 4) {
        const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (ok && !metadata.icc.empty())
        ok = TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(metadata.icc.size()), metadata.icc.data());
    if (ok && !metadata.xmp.empty())
        ok = TIFFSetField(tiff, TIFFTAG_XMLPACKET, uint32_t(metadata.xmp.size()), metadata.xmp.data());
    return ok;
}

bool writeStrips(TIFF* tiff, const CPicture& picture, int channels, uint32_t stripRows) {
    const size_t rowBytes = size_t(picture.width) * size_t(channels);
    std::vector<uint8_t> strip(rowBytes * stripRows);
    for (uint32_t y = 0, index = 0; y < uint32_t(picture.height); y += stripRows, ++index) {
        const uint32_t rows = std::min<uint32_t>(stripRows, uint32_t(picture.height) - y);
        rgbRows(picture, int(y), int(rows), channels, strip.data());
        if (TIFFWriteEncodedStrip(tiff, index, strip.data(), tmsize_t(rowBytes * rows)) < 0) return false;
    }
    return true;
}

bool encodeInto(CPicture& picture, const OutputMetadata& metadata, MemoryFile& file) {
    const int channels = straightenAlpha(picture) ? 4 : 3;
    const size_t rowBytes = size_t(picture.width) * size_t(channels);
    const uint32_t stripRows =
        uint32_t(std::clamp<size_t>(kStripBytes / rowBytes, 1, size_t(picture.height)));
    TIFF* tiff = openTiff(file, rowBytes * size_t(picture.height) > kClassicLimit);
    if (!tiff) return false;
    bool ok = setFields(tiff, picture, channels, stripRows, metadata) &&
              writeStrips(tiff, picture, channels, stripRows);
    // Closing writes the directory; an error reported meanwhile fails the picture.
    ok = TIFFWriteDirectory(tiff) && ok;
    TIFFClose(tiff);
    return ok && !file.failed;
}

}  // namespace

// EXIF is not written: in TIFF it is a set of tags in the file's own directories, not a block.
bool writeTiff(CPicture& picture, const OutputMetadata& metadata, const WriteOptions&, FILE* file) {
    MemoryFile encoded;
    bool ok = false;
    try {
        ok = !picture.isEmpty() && encodeInto(picture, metadata, encoded);
    } catch (const std::exception&) {
        ok = false;
    }
    return writeAndClose(file, ok ? encoded.bytes.data() : nullptr, encoded.bytes.size());
}
