// SPDX-License-Identifier: MIT
// The system's own zlib/deflate inflater and streaming PNG decoder (RGBA, 8 bits per channel).
#include "picture/kppng.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "picture/Deflate.h"
#include "picture/Picture.h"
#include "picture/RowSink.h"

static void putsMessage(const char* line) {
    puts(line);
}
void (*kpPngMessage)(const char* line) = putsMessage;

namespace {

// Set while an ancillary chunk (a colour profile) is inflated: its failures are nobody's business.
thread_local bool quietMessages = false;

void say(const char* line) {
    if (!quietMessages) kpPngMessage(line);
}

}  // namespace

// ---------------------------------------------------------------- bit reading
// The bit reader is a byte position and a one-bit mask; bits are taken from the least significant
// bit of each byte upward. Every read is checked against the input length.

namespace {

const unsigned int codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Codes of up to this many bits are resolved by one table look-up; longer ones walk the tree on.
const unsigned kTableBits = 10;
const int kFailQuiet = -1;  // the input ended inside the code
const int kFailNull = -2;   // a bit led to a missing branch (the message is printed)

inline unsigned bitOffset(unsigned mask) {
    return static_cast<unsigned>(__builtin_ctz(mask));
}

// Bits left from (pos, mask) to the end of the input.
inline uint64_t bitsLeft(unsigned length, unsigned pos, unsigned mask) {
    if (pos >= length) return 0;
    return uint64_t(length - pos) * 8 - bitOffset(mask);
}

inline void skipBits(unsigned& pos, unsigned& mask, unsigned n) {
    unsigned off = bitOffset(mask) + n;
    pos += off >> 3;
    mask = 1u << (off & 7);
}

// The next (up to 57) bits, first bit in bit 0; bytes past the input read as 0 and are not touched.
inline uint64_t peekBits(const unsigned char* data, unsigned length, unsigned pos, unsigned mask) {
    uint64_t v = 0;
    if (pos < length && length - pos >= 8) {
        memcpy(&v, data + pos, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
    } else {
        for (unsigned i = 0; i < 8 && pos < length && i < length - pos; i++)
            v |= uint64_t(data[pos + i]) << (8 * i);
    }
    return v >> bitOffset(mask);
}

// Reads n bits (n <= 32) into value; false, with nothing consumed, when the input ends first.
inline bool readBits(const unsigned char* data, unsigned length, unsigned& pos, unsigned& mask, unsigned n,
                     unsigned& value) {
    if (bitsLeft(length, pos, mask) < n) return false;
    value = static_cast<unsigned>(peekBits(data, length, pos, mask) & ((uint64_t(1) << n) - 1));
    skipBits(pos, mask, n);
    return true;
}

// Walks from `node` one input bit at a time to a leaf and returns its symbol; kFailQuiet when the
// input ends first, kFailNull (with the message) when a bit leads to a missing branch.
int walkTree(const KpPngHuffmanTree* node, const unsigned char* data, unsigned length, unsigned& pos,
             unsigned& mask) {
    for (;;) {
        if (pos >= length) return kFailQuiet;
        bool bit = (data[pos] & mask) != 0;
        skipBits(pos, mask, 1);
        node = bit ? node->one : node->zero;
        if (!node) {
            say("Huffman Decompression: Reached NULL node.");
            return kFailNull;
        }
        if (!node->zero && !node->one) return node->value;
    }
}

// A decoding table built from a tree: entry i tells what the bits i (first bit in bit 0) lead to.
struct TableEntry {
    enum Kind : uint8_t { Leaf, Null, Longer };
    int32_t value;  // the leaf's symbol
    Kind kind;
    uint8_t bits;  // bits consumed by a Leaf or Null entry
};

struct HuffmanTable {
    const KpPngHuffmanTree* root = nullptr;
    TableEntry entry[1u << kTableBits];

    void fillRepeated(unsigned pattern, unsigned depth, const TableEntry& e) {
        for (unsigned i = pattern; i < (1u << kTableBits); i += 1u << depth) entry[i] = e;
    }
    // node was reached by `depth` bits forming `pattern`.
    void fill(const KpPngHuffmanTree* node, unsigned depth, unsigned pattern) {
        if (depth > 0 && !node->zero && !node->one) {
            fillRepeated(pattern, depth, TableEntry{node->value, TableEntry::Leaf, uint8_t(depth)});
            return;
        }
        if (depth == kTableBits) {
            entry[pattern] = TableEntry{0, TableEntry::Longer, 0};
            return;
        }
        for (unsigned b = 0; b < 2; b++) {
            const KpPngHuffmanTree* child = b ? node->one : node->zero;
            unsigned p = pattern | (b << depth);
            if (child)
                fill(child, depth + 1, p);
            else
                fillRepeated(p, depth + 1, TableEntry{0, TableEntry::Null, uint8_t(depth + 1)});
        }
    }
    void build(const KpPngHuffmanTree* tree) {
        root = tree;
        fill(tree, 0, 0);
    }
};

// Decodes one symbol exactly as the bit-by-bit tree walk would, with one look-up when enough bits
// are left for the table; codes longer than the table, and codes near the end, walk the tree.
inline int decodeSymbol(const HuffmanTable& t, const unsigned char* data, unsigned length, unsigned& pos,
                        unsigned& mask) {
    if (bitsLeft(length, pos, mask) >= kTableBits) {
        const TableEntry& e = t.entry[peekBits(data, length, pos, mask) & ((1u << kTableBits) - 1)];
        if (e.kind == TableEntry::Leaf) {
            skipBits(pos, mask, e.bits);
            return e.value;
        }
        if (e.kind == TableEntry::Null) {
            say("Huffman Decompression: Reached NULL node.");
            return kFailNull;
        }
    }
    return walkTree(t.root, data, length, pos, mask);
}

struct TreeDeleter {
    KpPngUncompressor* owner;
    void operator()(KpPngHuffmanTree* t) const { owner->DeleteHuffmanTree(t); }
};
using TreePtr = std::unique_ptr<KpPngHuffmanTree, TreeDeleter>;

}  // namespace

// The trees and tables of one compressed block.
struct KpPngUncompressor::Block {
    explicit Block(KpPngUncompressor* owner)
        : lit(nullptr, TreeDeleter{owner}), dist(nullptr, TreeDeleter{owner}) {}
    bool fixed = true;
    TreePtr lit;
    TreePtr dist;
    HuffmanTable litTable;
    HuffmanTable distTable;
};

// The ring buffer of the last output bytes. It is not cleared: a byte that was never written reads as
// 0 by the check against `total`, which saves zeroing up to 8 MiB for every stream.
struct KpPngUncompressor::Window {
    unsigned char* bytes;
    unsigned size;
    unsigned pos = 0;
    uint64_t total = 0;  // bytes written so far

    unsigned char at(unsigned index) const { return (total >= size || index < total) ? bytes[index] : 0; }
    void put(unsigned char byte) {
        bytes[pos] = byte;
        pos = (pos + 1) & (size - 1);
        total++;
    }
};

// ---------------------------------------------------------------- Huffman codes

void KpPngUncompressor::MakeFixedHuffmanCode(unsigned int* lengths, unsigned int* codes) {
    for (unsigned s = 0; s < 288; s++) {
        if (s < 144) {
            lengths[s] = 8;
            codes[s] = 48 + s;
        } else if (s < 256) {
            lengths[s] = 9;
            codes[s] = 400 + (s - 144);
        } else if (s < 280) {
            lengths[s] = 7;
            codes[s] = s - 256;
        } else {
            lengths[s] = 8;
            codes[s] = 192 + (s - 280);
        }
    }
}

// The canonical code of RFC 1951 section 3.2.2: shorter codes first, symbol order within a length.
void KpPngUncompressor::MakeDynamicHuffmanCode(unsigned int* lengthsOut, unsigned int* codesOut,
                                               unsigned int count, unsigned int* lengthsIn) {
    unsigned maxLength = 0;
    for (unsigned i = 0; i < count; i++) {
        lengthsOut[i] = lengthsIn[i];
        codesOut[i] = 0;
        if (lengthsOut[i] > maxLength) maxLength = lengthsOut[i];
    }
    std::unique_ptr<unsigned[]> lengthCount(new unsigned[maxLength + 1]());
    std::unique_ptr<unsigned[]> nextCode(new unsigned[maxLength + 1]());
    for (unsigned i = 0; i < count; i++) lengthCount[lengthsOut[i]]++;
    lengthCount[0] = 0;
    unsigned code = 0;
    for (unsigned b = 1; b <= maxLength; b++) {
        code = (code + lengthCount[b - 1]) * 2;
        nextCode[b] = code;
    }
    for (unsigned i = 0; i < count; i++)
        if (lengthsOut[i] != 0) codesOut[i] = nextCode[lengthsOut[i]]++;
}

KpPngHuffmanTree* KpPngUncompressor::MakeHuffmanTree(unsigned int count, unsigned int* lengths,
                                                     unsigned int* codes) {
    KpPngHuffmanTree* root = new KpPngHuffmanTree;
    try {
        for (unsigned s = 0; s < count; s++) {
            unsigned n = lengths[s];
            if (n == 0) continue;
            KpPngHuffmanTree* node = root;
            for (unsigned bit = 1u << (n - 1); bit != 0; bit >>= 1) {
                KpPngHuffmanTree*& branch = (codes[s] & bit) ? node->one : node->zero;
                if (!branch) branch = new KpPngHuffmanTree;
                node = branch;
            }
            node->value = static_cast<int>(s);
        }
    } catch (const std::bad_alloc&) {
        DeleteHuffmanTree(root);
        throw;
    }
    return root;
}

void KpPngUncompressor::DeleteHuffmanTree(KpPngHuffmanTree* node) {
    if (!node) return;
    DeleteHuffmanTree(node->zero);
    DeleteHuffmanTree(node->one);
    delete node;
}

int KpPngUncompressor::DecodeDynamicHuffmanCode(unsigned int& hLit, unsigned int& hDist, unsigned int& hCLen,
                                                unsigned int*& litLengths, unsigned int*& litCodes,
                                                unsigned int*& distLengths, unsigned int*& distCodes,
                                                unsigned int* lengthBuf, unsigned int* codeBuf,
                                                const unsigned char* data, unsigned int& pos,
                                                unsigned int& mask) {
    const unsigned length = inputLength;
    if (!readBits(data, length, pos, mask, 5, hLit) || !readBits(data, length, pos, mask, 5, hDist) ||
        !readBits(data, length, pos, mask, 4, hCLen))
        return 0;
    unsigned clLengths[19] = {0}, clCodes[19];
    for (unsigned i = 0; i < hCLen + 4; i++)
        if (!readBits(data, length, pos, mask, 3, clLengths[codeLengthOrder[i]])) return 0;
    MakeDynamicHuffmanCode(clLengths, clCodes, 19, clLengths);
    TreePtr clTree(MakeHuffmanTree(19, clLengths, clCodes), TreeDeleter{this});

    const unsigned total = hLit + hDist + 258;  // at most 320
    unsigned stored = 0;
    while (stored < total) {
        int symbol = walkTree(clTree.get(), data, length, pos, mask);
        if (symbol < 0) return 0;
        unsigned extra = 0, run = 1, value = static_cast<unsigned>(symbol);
        if (symbol == 16) {
            if (stored == 0 || !readBits(data, length, pos, mask, 2, extra)) return 0;
            value = lengthBuf[stored - 1];
            run = 3 + extra;
        } else if (symbol == 17 || symbol == 18) {
            if (!readBits(data, length, pos, mask, symbol == 17 ? 3 : 7, extra)) return 0;
            value = 0;
            run = (symbol == 17 ? 3 : 11) + extra;
        } else if (symbol > 18) {
            continue;
        }
        if (run > total - stored) return 0;  // a run past the last length
        for (unsigned i = 0; i < run; i++) lengthBuf[stored++] = value;
    }
    litLengths = lengthBuf;
    litCodes = codeBuf;
    distLengths = lengthBuf + hLit + 257;
    distCodes = codeBuf + hLit + 257;
    MakeDynamicHuffmanCode(litLengths, litCodes, hLit + 257, litLengths);
    MakeDynamicHuffmanCode(distLengths, distCodes, hDist + 1, distLengths);
    return 1;
}

// ---------------------------------------------------------------- lengths and distances

unsigned KpPngUncompressor::GetCopyLength(unsigned int symbol, unsigned char* data, unsigned int& pos,
                                          unsigned int& mask) {
    if (symbol <= 264) return symbol - 254;
    if (symbol == 285) return 258;
    unsigned k = (symbol - 265) >> 2, extra;
    if (!readBits(data, inputLength, pos, mask, k + 1, extra)) return 0;
    return 3 + (8u << k) + ((symbol + 3) & 3) * (2u << k) + extra;
}

unsigned KpPngUncompressor::GetBackwardDistance(unsigned int code, unsigned char* data, unsigned int& pos,
                                                unsigned int& mask) {
    if (code <= 3) return code + 1;
    unsigned k = (code - 4) >> 1, extra;
    if (!readBits(data, inputLength, pos, mask, (code - 2) >> 1, extra)) return 0;
    return 1 + (4u << k) + ((code & 1) ? 2u << k : 0) + extra;
}

// ---------------------------------------------------------------- the stream

int KpPngUncompressor::Uncompress(unsigned int length, unsigned char* data) {
    if (length < 2 || !data) return 0;
    // Positions may step up to a byte past the end while a block header is read: keep them from wrapping.
    inputLength = std::min(length, 0xFFFFFFF0u);
    if ((data[0] & 0x0F) != 8) return 0;
    // CINFO is not range-checked: a value above 7 gives a larger window (at most 8 MiB).
    unsigned windowSize = 1u << ((data[0] >> 4) + 8);
    if (data[1] & 0x20) {
        say("PNG is not supposed to have a preset dictionary.");
        return 0;
    }
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[windowSize]);
    if (!bytes) return 0;
    Window window{bytes.get(), windowSize};
    try {
        return InflateBlocks(data, window);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int KpPngUncompressor::InflateBlocks(unsigned char* data, Window& window) {
    unsigned pos = 2, mask = 1;
    for (;;) {
        // Header bits past the input read as 0; the check below reports them.
        unsigned header = static_cast<unsigned>(peekBits(data, inputLength, pos, mask) & 7);
        skipBits(pos, mask, 3);
        if (pos >= inputLength) {
            say("Buffer overflow");
            return 0;
        }
        bool final = header & 1;
        unsigned type = header >> 1;
        if (type == 3) {
            say("Unknown compression type (bType=3)");
            return 0;
        }
        if (type == 0) {
            if (!InflateStored(data, pos, mask, window)) return 0;
        } else {
            std::unique_ptr<Block> block(new Block(this));
            block->fixed = type == 1;
            if (!InflateCodes(*block, data, pos, mask, window)) return 0;
        }
        if (final) return 1;
    }
}

int KpPngUncompressor::InflateStored(unsigned char* data, unsigned int& pos, unsigned int& mask,
                                     Window& window) {
    if (mask != 1) {
        pos++;
        mask = 1;
    }
    if (pos >= inputLength) {
        say("Buffer overflow");
        return 0;
    }
    if (inputLength - pos < 4) return 0;
    unsigned len = data[pos] | (data[pos + 1] << 8);  // NLEN (the next two bytes) is not compared
    pos += 4;
    for (unsigned i = 0; i < len; i++) {
        if (pos >= inputLength) return 0;
        unsigned char byte = data[pos++];
        window.put(byte);
        if (sink->Output(byte) != 1) return 0;
    }
    return 1;
}

int KpPngUncompressor::InflateCodes(Block& block, unsigned char* data, unsigned int& pos, unsigned int& mask,
                                    Window& window) {
    unsigned lengths[320], codes[320];
    if (block.fixed) {
        MakeFixedHuffmanCode(lengths, codes);
        block.lit.reset(MakeHuffmanTree(288, lengths, codes));
    } else {
        unsigned hLit, hDist, hCLen, *litLengths, *litCodes, *distLengths, *distCodes;
        if (!DecodeDynamicHuffmanCode(hLit, hDist, hCLen, litLengths, litCodes, distLengths, distCodes,
                                      lengths, codes, data, pos, mask))
            return 0;
        block.lit.reset(MakeHuffmanTree(hLit + 257, litLengths, litCodes));
        block.dist.reset(MakeHuffmanTree(hDist + 1, distLengths, distCodes));
        block.distTable.build(block.dist.get());
    }
    block.litTable.build(block.lit.get());

    for (;;) {
        int symbol = decodeSymbol(block.litTable, data, inputLength, pos, mask);
        if (symbol < 0) return 0;
        if (symbol < 256) {
            window.put(static_cast<unsigned char>(symbol));
            if (sink->Output(static_cast<unsigned char>(symbol)) != 1) return 0;
        } else if (symbol == 256) {
            return 1;
        } else if (symbol <= 285) {
            if (!CopyMatch(block, static_cast<unsigned>(symbol), data, pos, mask, window)) return 0;
        }
        // 286, 287 and anything else: skipped.
    }
}

int KpPngUncompressor::CopyMatch(Block& block, unsigned symbol, unsigned char* data, unsigned int& pos,
                                 unsigned int& mask, Window& window) {
    unsigned length = GetCopyLength(symbol, data, pos, mask);
    if (length == 0) return 0;
    unsigned code;
    if (block.fixed) {
        // Fixed distance codes are 5 bits, most significant bit first.
        unsigned raw;
        if (!readBits(data, inputLength, pos, mask, 5, raw)) return 0;
        code = ((raw & 1) << 4) | ((raw & 2) << 2) | (raw & 4) | ((raw & 8) >> 2) | ((raw & 16) >> 4);
    } else {
        int d = decodeSymbol(block.distTable, data, inputLength, pos, mask);
        if (d < 0) return 0;
        code = static_cast<unsigned>(d);
        if (code > 31) return 0;  // a leaf that holds no symbol; only a broken tree has one
    }
    unsigned distance = GetBackwardDistance(code, data, pos, mask);
    if (distance == 0) return 0;
    // Byte by byte, so that a distance shorter than the length repeats the recent bytes.
    const unsigned windowMask = window.size - 1;
    if (window.total >= window.size || distance <= window.total) {
        // Every byte the match reads has been written.
        for (unsigned i = 0; i < length; i++) {
            unsigned char byte = window.bytes[(window.pos - distance) & windowMask];
            window.put(byte);
            if (sink->Output(byte) != 1) return 0;
        }
        return 1;
    }
    for (unsigned i = 0; i < length; i++) {
        unsigned char byte = window.at((window.pos - distance) & windowMask);
        window.put(byte);
        if (sink->Output(byte) != 1) return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- PNG chunks

namespace {

const unsigned char pngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

inline uint32_t readU32BE(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint32_t readU16BE(const unsigned char* p) {
    return (uint32_t(p[0]) << 8) | p[1];
}

constexpr uint32_t chunkType(const char (&name)[5]) {
    return (uint32_t(uint8_t(name[0])) << 24) | (uint32_t(uint8_t(name[1])) << 16) |
           (uint32_t(uint8_t(name[2])) << 8) | uint8_t(name[3]);
}

// The CRC-32 a chunk ends with: over its type and its data.
uint32_t chunkCrc(uint32_t type, const unsigned char* data, unsigned length) {
    const uint8_t name[4] = {uint8_t(type >> 24), uint8_t(type >> 16), uint8_t(type >> 8), uint8_t(type)};
    return updateCrc32(updateCrc32(0, name, 4), data, length);
}

}  // namespace

void KpPngHeader::Decode(const unsigned char* data) {
    width = readU32BE(data);
    height = readU32BE(data + 4);
    bitDepth = data[8];
    colorType = data[9];
    compressionMethod = data[10];
    filterMethod = data[11];
    interlaceMethod = data[12];
    valid = true;
}

int KpPngPalette::Decode(unsigned int length, const unsigned char* data) {
    if (length % 3 != 0) return 0;
    unsigned char* copy = nullptr;
    if (length > 0) {
        copy = new (std::nothrow) unsigned char[length];
        if (!copy) return 0;
        memcpy(copy, data, length);
    }
    delete[] entry;
    entry = copy;
    numEntry = static_cast<int>(length / 3);
    return 1;
}

KpPngTransparency::KpPngTransparency() {
    memset(alpha, 255, sizeof alpha);
}

int KpPngTransparency::Decode(unsigned int length, const unsigned char* data, unsigned int colorType) {
    switch (colorType) {
        case 0:
            if (length < 2) return 0;
            key[0] = readU16BE(data);
            return 1;
        case 2:
            if (length < 6) return 0;
            for (int i = 0; i < 3; i++) key[i] = readU16BE(data + 2 * i);
            return 1;
        case 3:
            // One alpha per palette entry; entries past the chunk stay opaque.
            memset(alpha, 255, sizeof alpha);
            memcpy(alpha, data, length < 256 ? length : 256);
            return 1;
        default:
            return 0;
    }
}

namespace {

// Collects the inflated bytes of a chunk, refusing more than a profile can sensibly hold.
class ProfileSink final : public KpGenericPngDecoder {
  public:
    int Output(unsigned char byte) override {
        if (bytes.size() >= kMaxProfile) return 0;
        bytes.push_back(char(byte));
        return 1;
    }
    static const size_t kMaxProfile = size_t(64) << 20;
    std::string bytes;
};

}  // namespace

// The inflated profile of an iCCP chunk (name of 1 to 79 bytes, its zero, method 0, zlib
// stream filling the rest of the chunk); empty for a malformed chunk, which is dropped. Unlike the
// image data, a profile is taken only when its Adler-32 matches: a damaged one would change every
// colour of the output instead of a few pixels.
std::string KpGenericPngDecoder::profileOf(unsigned int length, const unsigned char* data) {
    const unsigned char* end = static_cast<const unsigned char*>(memchr(data, 0, std::min(length, 80u)));
    if (!end || end == data) return std::string();
    const unsigned at = unsigned(end - data) + 1;
    if (at >= length || data[at] != 0) return std::string();
    ProfileSink sink;
    KpPngUncompressor inflater(&sink);
    std::vector<unsigned char> stream(data + at + 1, data + length);
    quietMessages = true;
    int ok = 0;
    try {
        ok = inflater.Uncompress(unsigned(stream.size()), stream.data());
    } catch (const std::bad_alloc&) {
        ok = 0;
    }
    quietMessages = false;
    if (ok != 1 || stream.size() < 6) return std::string();
    const uint32_t adler = updateAdler32(1, reinterpret_cast<const uint8_t*>(sink.bytes.data()), sink.bytes.size());
    return adler == readU32BE(data + length - 4) ? sink.bytes : std::string();
}

// The text of an uncompressed iTXt chunk of keyword "XML:com.adobe.xmp" (after the keyword, its
// NUL, flag 0, method, and the language tag and translated keyword each ended by a NUL); empty for
// other chunks.
std::string KpGenericPngDecoder::xmpOf(unsigned int length, const unsigned char* data) {
    static const char keyword[] = "XML:com.adobe.xmp";  // with its NUL
    if (length < sizeof keyword + 2 || memcmp(data, keyword, sizeof keyword) != 0) return std::string();
    if (data[sizeof keyword] != 0) return std::string();  // compressed: not taken
    const unsigned char* end = data + length;
    const unsigned char* at = data + sizeof keyword + 2;
    for (int texts = 0; texts < 2; ++texts) {
        at = static_cast<const unsigned char*>(memchr(at, 0, size_t(end - at)));
        if (!at) return std::string();
        ++at;
    }
    return std::string(reinterpret_cast<const char*>(at), size_t(end - at));
}

size_t KpGenericPngDecoder::png_fread(void* buffer, size_t size) {
    return fread(buffer, 1, size, fp);
}
int KpGenericPngDecoder::png_fseek(long offset, int whence) {
    return fseek(fp, offset, whence);
}
long KpGenericPngDecoder::png_ftell() {
    return ftell(fp);
}

int KpGenericPngDecoder::Decode(FILE* stream) {
    if (!stream) return -1;
    fp = stream;
    return Decode();
}

int KpGenericPngDecoder::CheckSignature() {
    unsigned char bytes[8];
    return png_fread(bytes, 8) == 8 && memcmp(bytes, pngSignature, 8) == 0;
}

int KpGenericPngDecoder::ReadChunk(unsigned int& length, unsigned char*& data, unsigned int& type,
                                   unsigned int& crc) {
    data = nullptr;
    unsigned char head[8];
    if (png_fread(head, 8) != 8) return 0;
    length = readU32BE(head);
    type = readU32BE(head + 4);
    // A length beyond the rest of the file can only end in a short read: refuse it before allocating.
    long at = png_ftell();
    if (at < 0 || uint64_t(at) > fileSize) return 0;
    if (length > fileSize - uint64_t(at)) {
        if (type == chunkType("IDAT")) cutIdatLength = fileSize - uint64_t(at);
        return 0;
    }
    if (length > 0) {
        data = new (std::nothrow) unsigned char[length];
        if (!data || png_fread(data, length) != length) {
            delete[] data;
            data = nullptr;
            return 0;
        }
    }
    unsigned char tail[4];
    if (png_fread(tail, 4) != 4) {
        if (type == chunkType("IDAT")) cutIdatLength = length;
        delete[] data;
        data = nullptr;
        return 0;
    }
    crc = readU32BE(tail);  // checked only for colour profiles
    return 1;
}

int KpGenericPngDecoder::ActOnChunk(unsigned int length, const unsigned char* data, unsigned int type) {
    switch (type) {
        case chunkType("IHDR"):
            if (length >= 13) hdr.Decode(data);
            break;
        case chunkType("PLTE"):
            return plt.Decode(length, data);
        case chunkType("tRNS"):
            // Before IHDR the colour type is unknown, so the chunk cannot be read.
            if (hdr.valid) trns.Decode(length, data, hdr.colorType);
            break;
        case chunkType("gAMA"):
            if (length >= 4) gamma = readU32BE(data);
            break;
        case chunkType("iCCP"):
            if (iccProfile.empty()) iccProfile = profileOf(length, data);
            break;
        case chunkType("eXIf"):
            if (exifBlock.empty()) exifBlock.assign(reinterpret_cast<const char*>(data), length);
            break;
        case chunkType("iTXt"):
            if (xmpPacket.empty()) xmpPacket = xmpOf(length, data);
            break;
        case chunkType("IDAT"):
            // The IDAT data of a file never exceeds the file size, which is the buffer's capacity.
            if (length <= fileSize - idatLength) {
                memcpy(idat + idatLength, data, length);
                idatLength += length;
            }
            break;
        default:
            break;
    }
    return 1;
}

int KpGenericPngDecoder::Decode() {
    const int result = ReadChunks();
    if (result < 0) return result;
    DecodeImage();
    return 1;
}

int KpGenericPngDecoder::ReadChunks() {
    long size = -1;
    if (png_fseek(0, SEEK_END) == 0) size = png_ftell();
    png_fseek(0, SEEK_SET);
    fileSize = size > 0 ? uint64_t(size) : 0;
    if (!CheckSignature()) {
        failure = "not a PNG file";
        say("The file does not have PNG signature.");
        return -1;
    }
    idatBuffer.reset(new (std::nothrow) unsigned char[fileSize]);
    idat = idatBuffer.get();
    idatLength = 0;
    cutIdatLength = 0;
    if (!idat) return 1;
    for (;;) {
        unsigned length, type, crc;
        unsigned char* data;
        if (!ReadChunk(length, data, type, crc)) break;
        std::unique_ptr<unsigned char[]> owned(data);
        if (type == chunkType("IEND")) break;
        if (length == 0) continue;
        // A profile chunk that fails its CRC is dropped like any other malformed profile.
        if (type == chunkType("iCCP") && crc != chunkCrc(type, data, length)) continue;
        if (!ActOnChunk(length, data, type)) {
            failure = "the PNG palette's length is not a multiple of 3";
            idat = nullptr;
            idatBuffer.reset();
            return -1;
        }
    }
    return 1;
}

void KpGenericPngDecoder::DecodeImage() {
    if (idat && PrepareOutput() == 1) {
        KpPngUncompressor inflater(this);
        // The result is not needed: rows that were decoded stand, the others stay zero.
        // The inflater counts in 32 bits: data beyond 4 GiB is never reached.
        inflater.Uncompress(static_cast<unsigned>(std::min<uint64_t>(idatLength, UINT32_MAX)), idat);
        EndOutput();
    }
    idat = nullptr;
    idatBuffer.reset();
}

// ---------------------------------------------------------------- unfiltering and pixels

void Filter8(unsigned char* curLine, unsigned char* prvLine, int x, int y, int bytesPerPixel,
             int filterType) {
    const size_t n = static_cast<size_t>(bytesPerPixel);
    const size_t start = n * static_cast<size_t>(x);
    for (size_t at = start; at < start + n; at++) {
        int a = x > 0 ? curLine[at - n] : 0;
        int b = y > 0 ? prvLine[at] : 0;
        int c = x > 0 && y > 0 ? prvLine[at - n] : 0;
        int add = 0;
        switch (filterType) {
            case 1:
                add = a;
                break;
            case 2:
                add = b;
                break;
            case 3:
                add = (a + b) / 2;
                break;
            case 4: {
                int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
                add = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                break;
            }
            default:
                break;
        }
        curLine[at] = static_cast<unsigned char>(curLine[at] + add);
    }
}

namespace {

__attribute__((always_inline)) inline unsigned char unfilter(unsigned char raw, const unsigned char* cur,
                                                             const unsigned char* prv, int n,
                                                             int filterType) {
    switch (filterType) {
        case 1:
            return static_cast<unsigned char>(raw + cur[-n]);
        case 2:
            return static_cast<unsigned char>(raw + *prv);
        case 3:
            return static_cast<unsigned char>(raw + ((cur[-n] + *prv) >> 1));
        case 4: {
            int a = cur[-n], b = *prv, c = prv[-n];
            int pa = abs(b - c), pb = abs(a - c), pc = abs(a + b - 2 * c);  // |p - a|, |p - b|, |p - c|
            return static_cast<unsigned char>(raw + ((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c)));
        }
        default:
            return raw;
    }
}

}  // namespace

unsigned char UnfilterByte(unsigned char raw, const unsigned char* cur, const unsigned char* prv,
                           int bytesPerPixel, int filterType) {
    return unfilter(raw, cur, prv, bytesPerPixel, filterType);
}

KpRawPngDecoder::~KpRawPngDecoder() {
    if (ownsRgba) free(rgba);
    free(twoLineBuf);
}

// The colour type and bit depth combinations the PNG standard allows.
bool KpRawPngDecoder::CheckHeader() {
    unsigned d = hdr.bitDepth;
    switch (hdr.colorType) {
        case 0:
            channels = 1;
            return d == 1 || d == 2 || d == 4 || d == 8 || d == 16;
        case 3:
            channels = 1;
            return d == 1 || d == 2 || d == 4 || d == 8;
        case 2:
            channels = 3;
            return d == 8 || d == 16;
        case 4:
            channels = 2;
            return d == 8 || d == 16;
        case 6:
            channels = 4;
            return d == 8 || d == 16;
        default:
            return false;
    }
}

bool KpRawPngDecoder::HeaderUsable() {
    if (!hdr.valid) {
        failure = "the PNG file has no header";
        return false;
    }
    if (!CheckHeader()) {
        failure = "unsupported PNG colour type " + std::to_string(hdr.colorType) + " with bit depth " +
                  std::to_string(hdr.bitDepth);
        say("Unsupported colorType-bitDepth combination.");
        return false;
    }
    if (hdr.interlaceMethod > 1) {
        failure = "unsupported PNG interlace method " + std::to_string(hdr.interlaceMethod);
        say("Unsupported interlace method.");
        return false;
    }
    // A picture indexes its pixels with a signed 32-bit product.
    uint64_t count = uint64_t(hdr.width) * hdr.height;
    if (hdr.width == 0 || hdr.height == 0 || count >= (uint64_t(1) << 31)) {
        failure = "unsupported picture size " + std::to_string(hdr.width) + "x" + std::to_string(hdr.height);
        return false;
    }
    // A deflate symbol takes at least one bit, and the longest match (258 bytes) with its distance
    // at least two: no stream inflates to more than 1032 times its size.
    if (FilteredBytes() > imageDataInFile() * 1032) {
        failure = imageDataInFile() == 0 ? "the file holds no image data"
                                         : "the picture is larger than its data can hold";
        return false;
    }
    return true;
}

uint64_t KpRawPngDecoder::FilteredBytes() const {
    static const uint64_t adam7[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                         {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    static const uint64_t plain[1][4] = {{0, 1, 0, 1}};
    const uint64_t(*passes)[4] = hdr.interlaceMethod == 1 ? adam7 : plain;
    const int count = hdr.interlaceMethod == 1 ? 7 : 1;
    const uint64_t w = hdr.width, h = hdr.height, bits = uint64_t(channels) * hdr.bitDepth;
    uint64_t total = 0;
    for (int p = 0; p < count; p++) {
        const uint64_t* g = passes[p];
        const uint64_t cols = w > g[0] ? (w - g[0] + g[1] - 1) / g[1] : 0;
        const uint64_t rows = h > g[2] ? (h - g[2] + g[3] - 1) / g[3] : 0;
        if (cols > 0) total += rows * (1 + (cols * bits + 7) / 8);  // an empty pass has no filter bytes
    }
    return total;
}

int KpRawPngDecoder::PrepareOutput() {
    if (!HeaderUsable()) return 0;
    uint64_t count = uint64_t(hdr.width) * hdr.height;
    bitDepth = static_cast<int>(hdr.bitDepth);
    unitBytes = bitDepth < 8 ? 1 : channels * bitDepth / 8;
    static const Kind kinds[7][2] = {
        {Kind::Lookup8, Kind::Grey16},         {}, {Kind::Rgb8, Kind::Rgb16},  {Kind::Lookup8, Kind::Lookup8},
        {Kind::GreyAlpha8, Kind::GreyAlpha16}, {}, {Kind::Rgba8, Kind::Rgba16}};
    kind = bitDepth < 8 ? Kind::Packed : kinds[hdr.colorType][bitDepth == 16];
    if (!AllocateBuffers(count)) return 0;
    BuildLookup();
    x = -1;
    y = 0;
    filterType = 0;
    lineByte = 0;
    pixelByte = 0;
    pass = hdr.interlaceMethod == 1 ? 1 : 0;
    StartPass();
    return 1;
}

// The output buffer (zeroed) and the two line buffers; false, with nothing held, when they cannot be had.
bool KpRawPngDecoder::AllocateBuffers(uint64_t pixelCount) {
    const uint64_t lineBytes = (uint64_t(hdr.width) * channels * bitDepth + 7) / 8;
    if (ownsRgba) free(rgba);
    free(twoLineBuf);
    rgba = nullptr;
    twoLineBuf = nullptr;
    wid = hei = 0;
    twoLineBuf = static_cast<unsigned char*>(calloc(2 * (lineBytes + 8), 1));
    if (!twoLineBuf) return false;
    if (rowSink) {
        // One row at a time, in the picture layout; the sink takes each row as it is finished.
        rgba = static_cast<unsigned char*>(calloc(hdr.width, 4));
        if (!rgba) return false;
        ownsRgba = 1;
        red = 2;
        blue = 0;
    } else if (picture) {
        try {
            picture->create(static_cast<int>(hdr.width), static_cast<int>(hdr.height));
        } catch (const std::bad_alloc&) {
            return false;
        }
        rgba = picture->pixels;
        ownsRgba = 0;
        red = 2;
        blue = 0;
    } else {
        rgba = static_cast<unsigned char*>(calloc(pixelCount, 4));
        if (!rgba) return false;
        ownsRgba = 1;
    }
    wid = static_cast<int>(hdr.width);
    hei = static_cast<int>(hdr.height);
    curLine = twoLineBuf + 8;
    prvLine = twoLineBuf + lineBytes + 16;
    return true;
}

// Output pixels of every grey or palette sample of 8 bits or less: grey scaled to 0..255 with the
// tRNS key applied to the raw sample, palette entries with their tRNS alpha.
void KpRawPngDecoder::BuildLookup() {
    const int max = (1 << (bitDepth < 8 ? bitDepth : 8)) - 1;
    for (int s = 0; s < 256; s++) {
        unsigned char* px = lookup[s];
        lookupWritten[s] = true;
        if (hdr.colorType == 3) {
            lookupWritten[s] = s < plt.numEntry;
            if (!lookupWritten[s]) continue;
            px[red] = plt.entry[3 * s];
            px[1] = plt.entry[3 * s + 1];
            px[blue] = plt.entry[3 * s + 2];
            px[3] = trns.alpha[s];
        } else {
            px[0] = px[1] = px[2] = static_cast<unsigned char>(s <= max ? s * 255 / max : 0);
            bool keyed =
                uint32_t(s) == trns.key[0] || uint32_t(s) == trns.key[1] || uint32_t(s) == trns.key[2];
            px[3] = keyed ? 0 : 255;
        }
    }
}

// Sets the geometry of the current pass, moving past passes that hold no pixels at all.
void KpRawPngDecoder::StartPass() {
    static const uint64_t adam7[8][4] = {{0, 1, 0, 1}, {0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8},
                                         {2, 4, 0, 4}, {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    for (; pass <= 7; pass++) {
        firstCol = adam7[pass][0];
        colStep = adam7[pass][1];
        firstRow = adam7[pass][2];
        rowStep = adam7[pass][3];
        passCols = uint64_t(wid) > firstCol ? (uint64_t(wid) - firstCol + colStep - 1) / colStep : 0;
        passRows = uint64_t(hei) > firstRow ? (uint64_t(hei) - firstRow + rowStep - 1) / rowStep : 0;
        if ((passCols > 0 && passRows > 0) || pass == 0) break;
    }
    if (pass > 7) passRows = 0;  // every further byte is refused
    passLineBytes = (passCols * channels * bitDepth + 7) / 8;
    memset(prvLine, 0, passLineBytes);  // the first row of a pass has a zero row above it
}

void KpRawPngDecoder::ShiftTwoLineBuf() {
    unsigned char* t = curLine;
    curLine = prvLine;
    prvLine = t;
}

int KpRawPngDecoder::StartRow(unsigned char type) {
    if (uint64_t(y) >= passRows) return 0;  // every row is done: surplus data is refused
    filterType = type;
    lineByte = 0;
    pixelByte = 0;
    x = 0;
    if (rowSink) {
        // Pixels a row does not decode (palette indices beyond the palette) stay zero.
        memset(rgba, 0, size_t(wid) * 4);
        rowOut = rgba;
    } else {
        rowOut = rgba + ((firstRow + uint64_t(y) * rowStep) * uint64_t(wid) + firstCol) * 4;
    }
    return 1;
}

void KpRawPngDecoder::EndRow() {
    if (rowSink) {
        rowSink->putRows(y, 1, rgba, size_t(wid) * 4);
        rowsPut = y + 1;
    }
    x = -1;
    y++;
    ShiftTwoLineBuf();
    if (uint64_t(y) >= passRows && pass != 0) {
        y = 0;
        pass++;
        StartPass();
    }
}

int KpRawPngDecoder::Output(unsigned char byte) {
    if (x < 0) return StartRow(byte);
    // The byte's left neighbours and the row above are final, so it is unfiltered at once.
    if (unitBytes == 1) {
        // Grey or palette samples of 8 bits or less: every byte is a unit of its own.
        const unsigned char v = unfilter(byte, curLine + lineByte, prvLine + lineByte, 1, filterType);
        curLine[lineByte] = v;
        if (kind == Kind::Packed) {
            EmitPacked(v);
        } else {
            if (lookupWritten[v]) memcpy(rowOut, lookup[v], 4);
            x++;
            rowOut += colStep * 4;
        }
        if (++lineByte >= passLineBytes) EndRow();
        return 1;
    }
    const uint64_t at = lineByte + pixelByte;
    curLine[at] = unfilter(byte, curLine + at, prvLine + at, unitBytes, filterType);
    if (++pixelByte < unitBytes) return 1;
    EmitPixel(curLine + lineByte);
    lineByte += unitBytes;
    pixelByte = 0;
    if (lineByte >= passLineBytes) EndRow();
    return 1;
}

// Rows whose every pixel was decoded. Interlaced: the even rows are complete once pass 6 is
// through, and pass 7 completes the odd ones; earlier passes are counted as completing none.
int KpRawPngDecoder::RowsDecoded() const {
    if (pass == 0) return y;
    if (pass > 7) return hei;
    if (pass == 7) return (hei + 1) / 2 + y;
    return pass == 6 ? y : 0;
}

int KpRawPngDecoder::EndOutput() {
    const int rows = RowsDecoded();
    if (rows < hei)
        warning =
            "the file ends early: " + std::to_string(rows) + " of " + std::to_string(hei) + " rows decoded";
    if (!rowSink) return 1;
    // A row the data ends in is put with its decoded pixels; rows never reached are zero.
    if (x >= 0 && rowsPut == y) {
        rowSink->putRows(y, 1, rgba, size_t(wid) * 4);
        rowsPut = y + 1;
    }
    memset(rgba, 0, size_t(wid) * 4);
    for (; rowsPut < hei; ++rowsPut) rowSink->putRows(rowsPut, 1, rgba, size_t(wid) * 4);
    return 1;
}

// Samples of 1, 2 or 4 bits, most significant first, up to the end of the row.
void KpRawPngDecoder::EmitPacked(unsigned char v) {
    const int d = bitDepth, max = (1 << d) - 1;
    for (int shift = 8 - d; shift >= 0 && uint64_t(x) < passCols; shift -= d) {
        int s = (v >> shift) & max;
        if (lookupWritten[s]) memcpy(rowOut, lookup[s], 4);
        x++;
        rowOut += colStep * 4;
    }
}

inline void KpRawPngDecoder::Store(unsigned char r, unsigned char g, unsigned char b, unsigned char a) {
    rowOut[red] = r;
    rowOut[1] = g;
    rowOut[blue] = b;
    rowOut[3] = a;
}

// One pixel of 8- or 16-bit samples; a 16-bit sample keeps its high (first) byte, while tRNS keys
// compare whole samples.
inline void KpRawPngDecoder::EmitPixel(const unsigned char* px) {
    const uint32_t* key = trns.key;
    switch (kind) {
        case Kind::Lookup8:
            if (lookupWritten[px[0]]) memcpy(rowOut, lookup[px[0]], 4);
            break;
        case Kind::Grey16: {
            uint32_t s = readU16BE(px);
            Store(px[0], px[0], px[0], (s == key[0] || s == key[1] || s == key[2]) ? 0 : 255);
            break;
        }
        case Kind::Rgb8:
            Store(px[0], px[1], px[2], (px[0] == key[0] && px[1] == key[1] && px[2] == key[2]) ? 0 : 255);
            break;
        case Kind::Rgb16: {
            bool keyed =
                readU16BE(px) == key[0] && readU16BE(px + 2) == key[1] && readU16BE(px + 4) == key[2];
            Store(px[0], px[2], px[4], keyed ? 0 : 255);
            break;
        }
        case Kind::GreyAlpha8:
            Store(px[0], px[0], px[0], px[1]);
            break;
        case Kind::GreyAlpha16:
            Store(px[0], px[0], px[0], px[2]);
            break;
        case Kind::Rgba8:
            Store(px[0], px[1], px[2], px[3]);
            break;
        case Kind::Rgba16:
            Store(px[0], px[2], px[4], px[6]);
            break;
        case Kind::Packed:
            break;
    }
    x++;
    rowOut += colStep * 4;
}
