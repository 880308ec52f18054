// SPDX-License-Identifier: MIT
// Small GIF writer for tests, benchmarks and fuzz seeds: an LZW encoder and a block builder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace gifrecipe {

// Packs codes least significant bit first, as GIF data does.
class BitWriter {
  public:
    void put(unsigned code, int bits) {
        acc |= static_cast<uint64_t>(code) << count;
        count += bits;
        while (count >= 8) {
            bytes.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            count -= 8;
        }
    }
    std::vector<uint8_t> finish() {
        if (count > 0) bytes.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        count = 0;
        return bytes;
    }

  private:
    std::vector<uint8_t> bytes;
    uint64_t acc = 0;
    int count = 0;
};

struct LzwOptions {
    int minCodeSize = 8;
    bool leadingClear = true;
    bool clearWhenFull = true;  // else the table stays at 4096 entries and codes stay 12 bits wide
    int clearEvery = 0;         // a clear code after every N data codes (0: never)
    bool endCode = true;
};

// Code widths as a decoder sees them: it adds an entry for every data code but the first after a
// clear, and widens when its table reaches 1 << width (12 bits at most).
class CodeWidthTracker {
  public:
    explicit CodeWidthTracker(int minCodeSize) : s(minCodeSize) { reset(); }
    void reset() {
        count = (1 << s) + 2;
        width = s + 1;
        first = true;
    }
    void dataCode() {
        if (first) {
            first = false;
            return;
        }
        if (count < 4096) ++count;
        if (count >= (1 << width) && width <= 11) ++width;
    }
    int s, count, width;
    bool first;
};

inline std::vector<uint8_t> lzwEncode(const std::vector<uint8_t>& pixels, const LzwOptions& o) {
    const unsigned clear = 1u << o.minCodeSize, end = clear + 1;
    BitWriter out;
    CodeWidthTracker dec(o.minCodeSize);
    std::unordered_map<uint32_t, unsigned> dict;
    unsigned next = clear + 2;
    int sinceClear = 0;
    auto emitClear = [&] {
        out.put(clear, dec.width);
        dec.reset();
        dict.clear();
        next = clear + 2;
        sinceClear = 0;
    };
    auto emit = [&](unsigned code) {
        out.put(code, dec.width);
        dec.dataCode();
        ++sinceClear;
    };
    if (o.leadingClear) emitClear();
    if (!pixels.empty()) {
        unsigned cur = pixels[0] & (clear - 1);
        for (size_t i = 1; i < pixels.size(); ++i) {
            unsigned c = pixels[i] & (clear - 1);
            uint32_t key = (cur << 12) | c;
            auto it = dict.find(key);
            if (it != dict.end()) {
                cur = it->second;
                continue;
            }
            emit(cur);
            if (next < 4096) {
                dict[key] = next++;
            } else if (o.clearWhenFull) {
                emitClear();
            }
            if (o.clearEvery > 0 && sinceClear >= o.clearEvery) emitClear();
            cur = c;
        }
        emit(cur);
    }
    if (o.endCode) out.put(end, dec.width);
    return out.finish();
}

// Row order of an interlaced image: every 8th row from 0, every 8th from 4, every 4th from 2,
// every 2nd from 1.
inline std::vector<int> interlaceOrder(int height) {
    std::vector<int> rows;
    const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    for (int p = 0; p < 4; ++p)
        for (int r = starts[p]; r < height; r += steps[p]) rows.push_back(r);
    return rows;
}

struct Image {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<uint8_t> localTable;  // red, green, blue triples; 2..256 entries, a power of two
    std::vector<uint8_t> pixels;      // indices, top row first
    LzwOptions lzw;
    bool useRaw = false;
    std::vector<uint8_t> raw;  // data bytes used as they are when useRaw
    int blockSize = 255;
    bool terminator = true;
};

inline int tableBits(size_t entries) {
    int bits = 0;
    while ((2u << bits) < entries) ++bits;
    return bits;
}

class GifBuilder {
  public:
    std::vector<uint8_t> bytes;

    GifBuilder& header(int width, int height, const std::vector<uint8_t>& globalTable, int background = 0) {
        append("GIF89a");
        u16(width);
        u16(height);
        uint8_t packed = 0x70;
        if (!globalTable.empty()) packed |= 0x80 | tableBits(globalTable.size() / 3);
        bytes.push_back(packed);
        bytes.push_back(static_cast<uint8_t>(background));
        bytes.push_back(0);
        bytes.insert(bytes.end(), globalTable.begin(), globalTable.end());
        return *this;
    }
    GifBuilder& control(int delay, bool transparent, int index, int disposal = 0) {
        const uint8_t b[] = {0x21,
                             0xF9,
                             4,
                             static_cast<uint8_t>((disposal << 2) | (transparent ? 1 : 0)),
                             static_cast<uint8_t>(delay),
                             static_cast<uint8_t>(delay >> 8),
                             static_cast<uint8_t>(index),
                             0};
        bytes.insert(bytes.end(), b, b + sizeof b);
        return *this;
    }
    // Any extension: label then the given sub-blocks (no automatic splitting) and a terminator.
    GifBuilder& extension(uint8_t label, const std::vector<std::string>& blocks) {
        bytes.push_back(0x21);
        bytes.push_back(label);
        for (const std::string& b : blocks) {
            bytes.push_back(static_cast<uint8_t>(b.size()));
            append(b);
        }
        bytes.push_back(0);
        return *this;
    }
    GifBuilder& image(const Image& im) {
        bytes.push_back(0x2C);
        u16(im.left);
        u16(im.top);
        u16(im.width);
        u16(im.height);
        uint8_t packed = im.interlaced ? 0x40 : 0;
        if (!im.localTable.empty()) packed |= 0x80 | tableBits(im.localTable.size() / 3);
        bytes.push_back(packed);
        bytes.insert(bytes.end(), im.localTable.begin(), im.localTable.end());
        bytes.push_back(static_cast<uint8_t>(im.lzw.minCodeSize));
        std::vector<uint8_t> data = im.useRaw ? im.raw : lzwEncode(streamOrder(im), im.lzw);
        subBlocks(data, im.blockSize, im.terminator);
        return *this;
    }
    GifBuilder& subBlocks(const std::vector<uint8_t>& data, int blockSize, bool terminator = true) {
        for (size_t i = 0; i < data.size(); i += blockSize) {
            size_t n = std::min(data.size() - i, static_cast<size_t>(blockSize));
            bytes.push_back(static_cast<uint8_t>(n));
            bytes.insert(bytes.end(), data.begin() + i, data.begin() + i + n);
        }
        if (terminator) bytes.push_back(0);
        return *this;
    }
    GifBuilder& trailer() {
        bytes.push_back(0x3B);
        return *this;
    }
    std::string str() const { return std::string(bytes.begin(), bytes.end()); }

    static std::vector<uint8_t> streamOrder(const Image& im) {
        if (!im.interlaced) return im.pixels;
        std::vector<uint8_t> out;
        for (int r : interlaceOrder(im.height))
            out.insert(out.end(), im.pixels.begin() + static_cast<size_t>(r) * im.width,
                       im.pixels.begin() + static_cast<size_t>(r + 1) * im.width);
        return out;
    }

  private:
    void append(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    void u16(int v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
};

}  // namespace gifrecipe
