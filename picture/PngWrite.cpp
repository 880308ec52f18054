// PNG writing: 8-bit RGB or RGBA rows, each with the filter of least absolute sum, one zlib stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

// Sum of the absolute values of the bytes read as signed.
uint64_t absoluteSum(const uint8_t* v, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += uint8_t(v[i] < 128 ? v[i] : 256 - v[i]);
    return sum;
}

// The five filtered versions of the row (each after its filter byte), one simple loop per type so
// that the compiler can vectorise them; the one of least absolute sum is appended (the lowest type
// on a tie), which is the heuristic the PNG standard recommends.
void appendFilteredRow(const uint8_t* cur, const uint8_t* prv, size_t n, size_t bpp,
                       std::vector<uint8_t> (&cand)[5], std::vector<uint8_t>& out) {
    uint8_t* f[5];
    for (int t = 0; t < 5; ++t) f[t] = cand[t].data() + 1;
    const size_t lead = std::min(bpp, n);
    for (size_t i = 0; i < lead; ++i) {
        f[0][i] = cur[i];
        f[1][i] = cur[i];
        f[2][i] = uint8_t(cur[i] - prv[i]);
        f[3][i] = uint8_t(cur[i] - (prv[i] >> 1));
        f[4][i] = uint8_t(cur[i] - prv[i]);  // Paeth of (0, b, 0) is b
    }
    for (size_t i = lead; i < n; ++i) f[0][i] = cur[i];
    for (size_t i = lead; i < n; ++i) f[1][i] = uint8_t(cur[i] - cur[i - bpp]);
    for (size_t i = lead; i < n; ++i) f[2][i] = uint8_t(cur[i] - prv[i]);
    for (size_t i = lead; i < n; ++i) f[3][i] = uint8_t(cur[i] - ((cur[i - bpp] + prv[i]) >> 1));
    for (size_t i = lead; i < n; ++i) f[4][i] = uint8_t(cur[i] - paeth(cur[i - bpp], prv[i], prv[i - bpp]));
    int best = 0;
    uint64_t bestSum = absoluteSum(f[0], n);
    for (int t = 1; t < 5; ++t) {
        const uint64_t sum = absoluteSum(f[t], n);
        if (sum < bestSum) best = t, bestSum = sum;
    }
    cand[best][0] = uint8_t(best);
    out.insert(out.end(), cand[best].begin(), cand[best].begin() + n + 1);
}

std::vector<uint8_t> filteredRows(const CPicture& pic, size_t channels) {
    const size_t n = size_t(pic.width) * channels;
    std::vector<uint8_t> out;
    out.reserve((n + 1) * size_t(pic.height));
    // The row above the first is zero.
    std::vector<uint8_t> rows[2] = {std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0)};
    std::vector<uint8_t> cand[5];
    for (std::vector<uint8_t>& c : cand) c.resize(n + 1);
    for (int y = 0; y < pic.height; ++y) {
        std::vector<uint8_t>& cur = rows[y & 1];
        samplesOfRow(pic, y, channels, cur.data());
        appendFilteredRow(cur.data(), rows[(y + 1) & 1].data(), n, channels, cand, out);
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
             writeImage(f, *this, channels);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    return fclose(f) == 0 && ok;
}
