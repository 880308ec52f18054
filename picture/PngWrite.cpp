// SPDX-License-Identifier: MIT
// PNG writing: 8-bit RGB or RGBA rows, each with the filter of least absolute sum, one zlib stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "picture/Deflate.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

const size_t kIdatChunk = size_t(1) << 20;

void putU32BE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Length, type, data and the CRC-32 of type and data.
bool writeChunk(FILE* f, const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8], tail[4];
    putU32BE(head, uint32_t(size));
    memcpy(head + 4, type, 4);
    putU32BE(tail, updateCrc32(updateCrc32(0, head + 4, 4), data, size));
    return fwrite(head, 1, 8, f) == 8 && (size == 0 || fwrite(data, 1, size, f) == size) &&
           fwrite(tail, 1, 4, f) == 4;
}

// One row in the file's channel order: red, green, blue (and alpha). A mask's opaque pixels
// may hold any non-zero byte 3; they are written fully opaque.
void samplesOfRow(const CPicture& pic, int y, size_t channels, uint8_t* out) {
    const uint8_t* in = pic.pixelAt(0, y);
    const bool mask = pic.transparencyMode == TRANSPARENCY_MASK;
    for (size_t x = 0; x < size_t(pic.width); ++x, in += 4, out += channels) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        if (channels == 4) out[3] = mask ? (in[3] ? 255 : 0) : in[3];
    }
}

inline uint8_t paeth(int a, int b, int c) {
    int pa = abs(b - c), pb = abs(a - c), pc = abs(a + b - 2 * c);
    return uint8_t((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

// A filtered byte read as signed, by its magnitude.
inline unsigned magnitude(uint8_t v) {
    return v < 128 ? v : 256u - v;
}

// Rows are kept behind kLead zero bytes: the bytes left of the first pixel count as zero.
const size_t kLead = 16;

#if defined(__SSE2__)
// Sixteen bytes at a time: the predictions of the five filter types for x = cur[i], with a the byte
// one pixel left, b the one above and c the one above left.
struct Predictions {
    __m128i x, a, b, c;
    Predictions(const uint8_t* cur, const uint8_t* prv, size_t i, size_t bpp)
        : x(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i))),
          a(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i - bpp))),
          b(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prv + i))),
          c(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prv + i - bpp))) {}
    // floor((a + b) / 2): the rounded-up average less the bit it rounded up.
    __m128i average() const {
        return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
    }
    __m128i paeth() const {
        const __m128i zero = _mm_setzero_si128();
        return _mm_packus_epi16(paethHalf(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                          _mm_unpacklo_epi8(c, zero)),
                                paethHalf(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                          _mm_unpackhi_epi8(c, zero)));
    }
    // The Paeth predictor of eight 16-bit lanes: pa = |b − c|, pb = |a − c|, pc = |a + b − 2c|;
    // a when pa is the least, else b when pb is at most pc, else c.
    static __m128i paethHalf(__m128i a, __m128i b, __m128i c) {
        const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c), sum = _mm_add_epi16(bc, ac);
        const __m128i zero = _mm_setzero_si128();
        const __m128i pa = _mm_max_epi16(bc, _mm_sub_epi16(zero, bc));
        const __m128i pb = _mm_max_epi16(ac, _mm_sub_epi16(zero, ac));
        const __m128i pc = _mm_max_epi16(sum, _mm_sub_epi16(zero, sum));
        const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i notB = _mm_cmpgt_epi16(pb, pc);
        const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(notB, b), _mm_and_si128(notB, c));
        return _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
    }
};

// The sum of the magnitudes of sixteen filtered bytes, added to the two 64-bit lanes of sum.
inline __m128i addMagnitudes(__m128i sum, __m128i v) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_add_epi64(sum, _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero));
}

inline uint64_t lanesOf(__m128i sum) {
    uint64_t lane[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lane), sum);
    return lane[0] + lane[1];
}
#endif

// The sums of magnitudes of the row under each of the five filter types.
void filterSums(const uint8_t* cur, const uint8_t* prv, size_t n, size_t bpp, uint64_t (&sums)[5]) {
    size_t i = 0;
    for (uint64_t& s : sums) s = 0;
#if defined(__SSE2__)
    __m128i acc[5];
    for (__m128i& a : acc) a = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const Predictions p(cur, prv, i, bpp);
        acc[0] = addMagnitudes(acc[0], p.x);
        acc[1] = addMagnitudes(acc[1], _mm_sub_epi8(p.x, p.a));
        acc[2] = addMagnitudes(acc[2], _mm_sub_epi8(p.x, p.b));
        acc[3] = addMagnitudes(acc[3], _mm_sub_epi8(p.x, p.average()));
        acc[4] = addMagnitudes(acc[4], _mm_sub_epi8(p.x, p.paeth()));
    }
    for (int t = 0; t < 5; ++t) sums[t] = lanesOf(acc[t]);
#endif
    // The bytes one pixel left, which the lead keeps inside the rows' buffers.
    const uint8_t* left = cur - bpp;
    const uint8_t* upLeft = prv - bpp;
    for (; i < n; ++i) {
        const uint8_t x = cur[i], a = left[i], b = prv[i], c = upLeft[i];
        sums[0] += magnitude(x);
        sums[1] += magnitude(uint8_t(x - a));
        sums[2] += magnitude(uint8_t(x - b));
        sums[3] += magnitude(uint8_t(x - ((a + b) >> 1)));
        sums[4] += magnitude(uint8_t(x - paeth(a, b, c)));
    }
}

// The row filtered by `type` into out.
void filterRow(int type, const uint8_t* cur, const uint8_t* prv, size_t n, size_t bpp, uint8_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const Predictions p(cur, prv, i, bpp);
        const __m128i predicted = type == 0   ? _mm_setzero_si128()
                                  : type == 1 ? p.a
                                  : type == 2 ? p.b
                                  : type == 3 ? p.average()
                                              : p.paeth();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(p.x, predicted));
    }
#endif
    const uint8_t* left = cur - bpp;
    const uint8_t* upLeft = prv - bpp;
    for (; i < n; ++i) {
        const uint8_t a = left[i], b = prv[i], c = upLeft[i];
        const int predicted = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) >> 1 : paeth(a, b, c);
        out[i] = uint8_t(cur[i] - predicted);
    }
}

// Each row with the filter type of least sum of magnitudes (the lowest type on a tie), the
// heuristic the PNG standard recommends.
std::vector<uint8_t> filteredRows(const CPicture& pic, size_t channels) {
    const size_t n = size_t(pic.width) * channels;
    std::vector<uint8_t> out((n + 1) * size_t(pic.height));
    // The row above the first is zero.
    std::vector<uint8_t> rows[2] = {std::vector<uint8_t>(kLead + n, 0), std::vector<uint8_t>(kLead + n, 0)};
    uint8_t* o = out.data();
    for (int y = 0; y < pic.height; ++y, o += n + 1) {
        uint8_t* cur = rows[y & 1].data() + kLead;
        const uint8_t* prv = rows[(y + 1) & 1].data() + kLead;
        samplesOfRow(pic, y, channels, cur);
        uint64_t sums[5];
        filterSums(cur, prv, n, channels, sums);
        int best = 0;
        for (int t = 1; t < 5; ++t)
            if (sums[t] < sums[best]) best = t;
        o[0] = uint8_t(best);
        filterRow(best, cur, prv, n, channels, o + 1);
    }
    return out;
}

bool writeHeader(FILE* f, const CPicture& pic, size_t channels) {
    static const uint8_t signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    uint8_t ihdr[13] = {0};
    putU32BE(ihdr, uint32_t(pic.width));
    putU32BE(ihdr + 4, uint32_t(pic.height));
    ihdr[8] = 8;
    ihdr[9] = channels == 4 ? 6 : 2;
    return fwrite(signature, 1, 8, f) == 8 && writeChunk(f, "IHDR", ihdr, sizeof ihdr);
}

// The profile's name, its compression method (0: zlib) and the compressed profile.
bool writeProfile(FILE* f, const std::string& profile) {
    static const char name[] = "ICC Profile";
    std::vector<uint8_t> data(name, name + sizeof name);  // with its terminating zero
    data.push_back(0);
    const std::vector<uint8_t> z =
        zlibCompress(reinterpret_cast<const uint8_t*>(profile.data()), profile.size());
    data.insert(data.end(), z.begin(), z.end());
    return writeChunk(f, "iCCP", data.data(), data.size());
}

// EXIF in an eXIf chunk (from its TIFF header on) and XMP in an iTXt chunk of keyword
// "XML:com.adobe.xmp", uncompressed, with empty language and translated keyword.
bool writeMetadata(FILE* f, const CPicture& pic) {
    if (pic.exifBlock.size() > 6) {
        const std::string& e = pic.exifBlock;
        if (!writeChunk(f, "eXIf", reinterpret_cast<const uint8_t*>(e.data()) + 6, e.size() - 6)) return false;
    }
    if (!pic.xmpPacket.empty()) {
        // The keyword's NUL, flag 0, method 0, and the NULs of two empty texts (the last is the literal's).
        static const char head[] = "XML:com.adobe.xmp\0\0\0\0";
        std::string data(head, sizeof head);
        data += pic.xmpPacket;
        if (!writeChunk(f, "iTXt", reinterpret_cast<const uint8_t*>(data.data()), data.size())) return false;
    }
    return true;
}

bool writeImage(FILE* f, const CPicture& pic, size_t channels) {
    std::vector<uint8_t> z;
    {
        const std::vector<uint8_t> rows = filteredRows(pic, channels);
        z = zlibCompress(rows.data(), rows.size());
    }
    for (size_t at = 0; at < z.size(); at += kIdatChunk)
        if (!writeChunk(f, "IDAT", z.data() + at, std::min(kIdatChunk, z.size() - at))) return false;
    return writeChunk(f, "IEND", nullptr, 0);
}

}  // namespace

bool CPicture::saveToPNG(const std::string& path) {
    if (isEmpty()) return false;
    FILE* f = fileOpen(path, "w+b");
    return f && saveToPNG(f);
}

bool CPicture::saveToPNG(FILE* f) {
    if (isEmpty()) {
        fclose(f);
        return false;
    }
    const size_t channels = transparencyMode == TRANSPARENCY_NONE ? 3 : 4;
    undoPreMultiplication();
    bool ok = false;
    try {
        ok = writeHeader(f, *this, channels) && (iccProfile.empty() || writeProfile(f, iccProfile)) &&
             writeMetadata(f, *this) && writeImage(f, *this, channels);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    return fclose(f) == 0 && ok;
}
