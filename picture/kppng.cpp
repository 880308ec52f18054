// SPDX-License-Identifier: MIT
// The system's own zlib/deflate inflater and streaming PNG decoder (RGBA, 8 bits per channel).
#include "picture/kppng.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// Bits are taken from the least significant bit of each byte upward, through a 64-bit word that is
// refilled a word at a time while at least eight input bytes are left, and byte by byte near the
// end. Reads that need more bits than are left fail; nothing past the input is ever read.

namespace {

const unsigned int codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Codes of up to this many bits are resolved by one table look-up; longer ones walk the tree on
// from the node the table reached.
const unsigned kLitBits = 11;
const unsigned kDistBits = 10;
const int kFailQuiet = -1;  // the input ended inside the code
const int kFailNull = -2;   // a bit led to a missing branch

// Decoded output is kept in one buffer: the window (the last bytes, zero before the first) in
// front, then at least this much room before it is handed on and the window moved to the front.
const size_t kOutputChunk = size_t(256) << 10;
// Room past the chunk: the longest match plus the overrun of 16-byte copies.
const size_t kOutputSlack = 258 + 32;
// Compressed bytes read from a streamed input at once.
const size_t kInputChunk = size_t(64) << 10;

inline uint64_t loadLE64(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// What a table entry, or a symbol found by walking the tree, stands for.
enum Kind : uint32_t { kLiteral, kLength, kEnd, kSkip, kDistance, kBadDistance, kNull, kLonger };

// An entry packs the bits a code consumes (bits 0-7), its kind (8-10), the count of extra bits
// (11-15) and the literal, the base length or the base distance (16-31).
inline uint32_t entry(Kind kind, unsigned bits, unsigned extra, unsigned value) {
    return bits | (uint32_t(kind) << 8) | (extra << 11) | (value << 16);
}
inline Kind kindOf(uint32_t e) {
    return Kind((e >> 8) & 7);
}
inline unsigned bitsOf(uint32_t e) {
    return e & 0xFF;
}
inline unsigned extraOf(uint32_t e) {
    return (e >> 11) & 31;
}
inline unsigned valueOf(uint32_t e) {
    return e >> 16;
}

// A literal/length symbol: literals, the end of the block, a length with its base and extra bits;
// 286, 287 and leaves without a symbol are skipped.
uint32_t literalEntry(int symbol, unsigned bits) {
    if (symbol < 256) return entry(kLiteral, bits, 0, unsigned(symbol));
    if (symbol == 256) return entry(kEnd, bits, 0, 0);
    if (symbol > 285) return entry(kSkip, bits, 0, 0);
    if (symbol <= 264) return entry(kLength, bits, 0, unsigned(symbol) - 254);
    if (symbol == 285) return entry(kLength, bits, 0, 258);
    const unsigned k = (unsigned(symbol) - 265) >> 2;
    return entry(kLength, bits, k + 1, 3 + (8u << k) + ((unsigned(symbol) + 3) & 3) * (2u << k));
}

// A distance code; codes 30 and 31 follow the same formula, a leaf above 31 fails the block.
uint32_t distanceEntry(int code, unsigned bits) {
    if (code < 0 || code > 31) return entry(kBadDistance, bits, 0, 0);
    if (code <= 3) return entry(kDistance, bits, 0, unsigned(code) + 1);
    const unsigned k = (unsigned(code) - 4) >> 1;
    // The base of code 31 (49153) still fits the 16 bits of an entry.
    return entry(kDistance, bits, (unsigned(code) - 2) >> 1, 1 + (4u << k) + ((code & 1) ? 2u << k : 0));
}

// A decoding table built from a tree: entry i tells what the bits i (first bit in bit 0) lead to;
// where the code is longer than the table, `deep` holds the node the table's bits reach.
template <unsigned B>
struct HuffmanTable {
    const KpPngHuffmanTree* root = nullptr;
    uint32_t (*symbolEntry)(int, unsigned) = literalEntry;
    uint32_t e[1u << B];
    const KpPngHuffmanTree* deep[1u << B];

    void fillRepeated(unsigned pattern, unsigned depth, uint32_t value) {
        for (unsigned i = pattern; i < (1u << B); i += 1u << depth) e[i] = value;
    }
    // node was reached by `depth` bits forming `pattern`.
    void fill(const KpPngHuffmanTree* node, unsigned depth, unsigned pattern) {
        if (depth > 0 && !node->zero && !node->one) {
            fillRepeated(pattern, depth, symbolEntry(node->value, depth));
            return;
        }
        if (depth == B) {
            e[pattern] = entry(kLonger, B, 0, 0);
            deep[pattern] = node;
            return;
        }
        for (unsigned b = 0; b < 2; b++) {
            const KpPngHuffmanTree* child = b ? node->one : node->zero;
            const unsigned p = pattern | (b << depth);
            if (child)
                fill(child, depth + 1, p);
            else
                fillRepeated(p, depth + 1, entry(kNull, depth + 1, 0, 0));
        }
    }
    void build(const KpPngHuffmanTree* tree, uint32_t (*of)(int, unsigned)) {
        root = tree;
        symbolEntry = of;
        fill(tree, 0, 0);
    }
};

struct TreeDeleter {
    KpPngUncompressor* owner;
    void operator()(KpPngHuffmanTree* t) const { owner->DeleteHuffmanTree(t); }
};
using TreePtr = std::unique_ptr<KpPngHuffmanTree, TreeDeleter>;

}  // namespace

// The input of one stream: all of it in memory, or pulled from a KpInflateInput.
class KpBitReader {
  public:
    KpBitReader(const unsigned char* data, size_t length) : next(data), end(data + length) {}
    KpBitReader(KpInflateInput& input, unsigned char* buffer, size_t capacity)
        : next(buffer), end(buffer), source(&input), buffer(buffer), capacity(capacity), drained(false) {
        pull();
    }

    // At least 56 bits in the word, or every bit that is left.
    inline void refill() {
        if (end - next >= 8) {
            word |= loadLE64(next) << count;
            next += (63 - count) >> 3;
            count |= 56;
            return;
        }
        refillSlowly();
    }
    inline bool has(unsigned n) {
        if (count < n) refill();
        return count >= n;
    }
    inline unsigned peek(unsigned n) const { return unsigned(word & ((uint64_t(1) << n) - 1)); }
    inline void skip(unsigned n) {
        word >>= n;
        count -= n;
    }
    inline unsigned take(unsigned n) {
        const unsigned v = peek(n);
        skip(n);
        return v;
    }
    // Reads n bits (n <= 32); false when the input ends first.
    inline bool read(unsigned n, unsigned& value) {
        if (!has(n)) return false;
        value = take(n);
        return true;
    }
    // Drops the bits left of the current byte.
    void alignToByte() { skip(count & 7); }
    // Whole bytes from the word first, then straight from the input; the number copied, less than
    // n only where the input ends.
    size_t copyBytes(unsigned char* to, size_t n) {
        size_t done = 0;
        while (done < n && count >= 8) to[done++] = static_cast<unsigned char>(take(8));
        if (done == n) return done;
        // The word is empty: the bits it still holds beyond its count are bytes copied below.
        word = 0;
        while (done < n) {
            if (next == end) {
                if (drained) break;
                pull();
                continue;
            }
            const size_t k = std::min(n - done, size_t(end - next));
            memcpy(to + done, next, k);
            next += k;
            done += k;
        }
        return done;
    }
    unsigned count = 0;  // bits in the word

    uint64_t word = 0;  // bits above `count` are the next input bits or zero
    const unsigned char* next;
    const unsigned char* end;

  private:
    void refillSlowly() {
        if (!drained && end - next < 8) pull();
        if (end - next >= 8) {
            refill();
            return;
        }
        while (count <= 56 && next < end) {
            word |= uint64_t(*next++) << count;
            count += 8;
        }
    }
    // Moves the bytes left to the front of the buffer and reads more behind them.
    void pull() {
        const size_t left = size_t(end - next);
        memmove(buffer, next, left);
        const size_t got = source->Read(buffer + left, capacity - left);
        if (got == 0) drained = true;
        next = buffer;
        end = buffer + left + got;
    }

    KpInflateInput* source = nullptr;
    unsigned char* buffer = nullptr;
    size_t capacity = 0;
    bool drained = true;
};

namespace {

// Walks from `node` (reached after `depth` bits) one input bit at a time to a leaf; kFailQuiet
// when the input ends first, kFailNull when a bit leads to a missing branch.
int walkTree(const KpPngHuffmanTree* node, KpBitReader& in) {
    for (;;) {
        if (!in.has(1)) return kFailQuiet;
        node = in.take(1) ? node->one : node->zero;
        if (!node) return kFailNull;
        if (!node->zero && !node->one) return node->value;
    }
}

// Decodes one symbol exactly as the bit-by-bit tree walk would; the entry of the symbol, or of
// the failure (kNull, or kLonger for an input that ends inside the code).
template <unsigned B>
inline uint32_t decodeSymbol(const HuffmanTable<B>& t, KpBitReader& in) {
    if (in.has(B)) {
        const unsigned i = in.peek(B);
        const uint32_t e = t.e[i];
        if (kindOf(e) != kLonger) {
            in.skip(bitsOf(e));
            return e;
        }
        in.skip(B);
        const int symbol = walkTree(t.deep[i], in);
        if (symbol >= 0) return t.symbolEntry(symbol, 0);
        return entry(symbol == kFailNull ? kNull : kLonger, 0, 0, 0);
    }
    const int symbol = walkTree(t.root, in);
    if (symbol >= 0) return t.symbolEntry(symbol, 0);
    return entry(symbol == kFailNull ? kNull : kLonger, 0, 0, 0);
}

const char* const kNullNode = "Huffman Decompression: Reached NULL node.";

}  // namespace

// The trees and tables of one compressed block.
struct KpPngUncompressor::Block {
    explicit Block(KpPngUncompressor* owner)
        : lit(nullptr, TreeDeleter{owner}), dist(nullptr, TreeDeleter{owner}) {}
    bool fixed = true;
    TreePtr lit;
    TreePtr dist;
    HuffmanTable<kLitBits> litTable;
    HuffmanTable<kDistBits> distTable;
};

// The decoded bytes: the window of the last `size` bytes (zero where nothing was written yet)
// followed by the bytes not yet handed to the sink.
struct KpPngUncompressor::Window {
    unsigned char* bytes = nullptr;  // size + chunk + slack bytes
    size_t size = 0;
    size_t chunk = 0;
    unsigned char* out = nullptr;      // where the next byte goes
    unsigned char* flushed = nullptr;  // bytes before it were handed on
    unsigned char* limit = nullptr;    // from here on the window moves
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
    unsigned small[2][33] = {};
    std::unique_ptr<unsigned[]> large;
    if (maxLength > 32) large.reset(new unsigned[2 * (size_t(maxLength) + 1)]());
    unsigned* lengthCount = large ? large.get() : small[0];
    unsigned* nextCode = large ? large.get() + maxLength + 1 : small[1];
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

// All nodes of a tree lie in one array whose first node is the root: DeleteHuffmanTree frees it.
KpPngHuffmanTree* KpPngUncompressor::MakeHuffmanTree(unsigned int count, unsigned int* lengths,
                                                     unsigned int* codes) {
    size_t nodes = 1;
    for (unsigned s = 0; s < count; s++) nodes += lengths[s];
    KpPngHuffmanTree* root = new KpPngHuffmanTree[nodes];
    size_t used = 1;
    for (unsigned s = 0; s < count; s++) {
        unsigned n = lengths[s];
        if (n == 0) continue;
        KpPngHuffmanTree* node = root;
        for (unsigned bit = 1u << (n - 1); bit != 0; bit >>= 1) {
            KpPngHuffmanTree*& branch = (codes[s] & bit) ? node->one : node->zero;
            if (!branch) branch = &root[used++];
            node = branch;
        }
        node->value = static_cast<int>(s);
    }
    return root;
}

void KpPngUncompressor::DeleteHuffmanTree(KpPngHuffmanTree* root) {
    delete[] root;
}

// Reads a dynamic block's header into its trees: 1 when the header and all code lengths were read;
// 0 when the input ends or the header is malformed (repeat without a previous length, a run past
// the last length, a missing branch).
int KpPngUncompressor::ReadDynamicCode(Block& block, KpBitReader& in) {
    unsigned hLit, hDist, hCLen;
    if (!in.read(5, hLit) || !in.read(5, hDist) || !in.read(4, hCLen)) return 0;
    unsigned clLengths[19] = {0}, clCodes[19];
    for (unsigned i = 0; i < hCLen + 4; i++)
        if (!in.read(3, clLengths[codeLengthOrder[i]])) return 0;
    MakeDynamicHuffmanCode(clLengths, clCodes, 19, clLengths);
    TreePtr clTree(MakeHuffmanTree(19, clLengths, clCodes), TreeDeleter{this});

    unsigned lengths[320], codes[320];
    const unsigned total = hLit + hDist + 258;  // at most 320
    unsigned stored = 0;
    while (stored < total) {
        const int symbol = walkTree(clTree.get(), in);
        if (symbol == kFailNull) return Fail(kNullNode);
        if (symbol < 0) return 0;
        unsigned extra = 0, run = 1, value = static_cast<unsigned>(symbol);
        if (symbol == 16) {
            if (stored == 0 || !in.read(2, extra)) return 0;
            value = lengths[stored - 1];
            run = 3 + extra;
        } else if (symbol == 17 || symbol == 18) {
            if (!in.read(symbol == 17 ? 3 : 7, extra)) return 0;
            value = 0;
            run = (symbol == 17 ? 3 : 11) + extra;
        } else if (symbol > 18) {
            continue;
        }
        if (run > total - stored) return 0;  // a run past the last length
        for (unsigned i = 0; i < run; i++) lengths[stored++] = value;
    }
    unsigned* distLengths = lengths + hLit + 257;
    unsigned* distCodes = codes + hLit + 257;
    MakeDynamicHuffmanCode(lengths, codes, hLit + 257, lengths);
    MakeDynamicHuffmanCode(distLengths, distCodes, hDist + 1, distLengths);
    block.lit.reset(MakeHuffmanTree(hLit + 257, lengths, codes));
    block.dist.reset(MakeHuffmanTree(hDist + 1, distLengths, distCodes));
    block.distTable.build(block.dist.get(), distanceEntry);
    return 1;
}

// ---------------------------------------------------------------- the stream

int KpPngUncompressor::Fail(const char* message) {
    if (!failMessage) failMessage = message;
    return 0;
}

int KpGenericPngDecoder::OutputBytes(const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (Output(bytes[i]) != 1) return 0;
    return 1;
}

int KpPngUncompressor::Uncompress(unsigned int length, unsigned char* data) {
    if (length < 2 || !data) return 0;
    // Positions beyond 32 bits are never reached.
    KpBitReader in(data, std::min(length, 0xFFFFFFF0u));
    return Run(in);
}

int KpPngUncompressor::Uncompress(KpInflateInput& input) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kInputChunk]);
    if (!buffer) return 0;
    KpBitReader in(input, buffer.get(), kInputChunk);
    return Run(in);
}

int KpPngUncompressor::Run(KpBitReader& in) {
    unsigned cmf, flags;
    if (!in.read(8, cmf) || !in.read(8, flags)) return 0;
    if ((cmf & 0x0F) != 8) return 0;
    // CINFO is not range-checked: a value above 7 gives a larger window (at most 8 MiB).
    const size_t windowSize = size_t(1) << ((cmf >> 4) + 8);
    if (flags & 0x20) {
        say("PNG is not supposed to have a preset dictionary.");
        return 0;
    }
    Window window;
    window.size = windowSize;
    // A stream known to be short needs no more room than its bytes: small files stay cheap.
    window.chunk = std::max(kOutputChunk, windowSize);
    if (sizeHint > 0 && sizeHint < window.chunk) window.chunk = size_t(std::max<uint64_t>(sizeHint, 4096));
    // Zeroed: a match reaching before the first byte reads zeros.
    std::unique_ptr<unsigned char, void (*)(void*)> bytes(
        static_cast<unsigned char*>(calloc(window.size + window.chunk + kOutputSlack, 1)), free);
    if (!bytes) return 0;
    window.bytes = bytes.get();
    window.out = window.flushed = window.bytes + window.size;
    window.limit = window.out + window.chunk;
    failMessage = nullptr;
    refused = false;
    int result = 0;
    try {
        result = InflateBlocks(in, window);
    } catch (const std::bad_alloc&) {
        result = 0;
    }
    // What was decoded before the end or the failure is handed on; a refusal there means the
    // failure that followed was never reached.
    if (!refused && !Flush(window)) return 0;
    if (refused) return 0;
    if (result == 0 && failMessage) say(failMessage);
    return result;
}

namespace {

// Copies a match of `length` bytes from `distance` back and returns the end of it. Copies run in
// blocks of 16 or 8 bytes while the match does not overlap them, so they may write up to 15 bytes
// past the end: kOutputSlack leaves room for that.
inline __attribute__((always_inline)) unsigned char* copyMatch(unsigned char* out, size_t distance,
                                                                unsigned length) {
    const unsigned char* from = out - distance;
    unsigned char* const stop = out + length;
    if (distance >= 16) {
        do {
            memcpy(out, from, 16);
            out += 16;
            from += 16;
        } while (out < stop);
    } else if (distance >= 8) {
        do {
            memcpy(out, from, 8);
            out += 8;
            from += 8;
        } while (out < stop);
    } else if (distance == 1) {
        memset(out, *from, length);
    } else {
        // Shorter distances repeat the recent bytes one at a time.
        for (unsigned char* p = out; p < stop; ++p, ++from) *p = *from;
    }
    return stop;
}

}  // namespace

bool KpPngUncompressor::Flush(Window& window) {
    const size_t n = size_t(window.out - window.flushed);
    if (n == 0) return true;
    window.flushed = window.out;
    if (sink->OutputBytes(window.out - n, n) == 1) return true;
    refused = true;
    return false;
}

// Hands the decoded bytes on and moves the window to the front of the buffer.
bool KpPngUncompressor::Slide(Window& window) {
    if (!Flush(window)) return false;
    memmove(window.bytes, window.out - window.size, window.size);
    window.out = window.flushed = window.bytes + window.size;
    return true;
}

int KpPngUncompressor::InflateBlocks(KpBitReader& in, Window& window) {
    std::unique_ptr<Block> block;
    for (;;) {
        // A header with no bit after it is taken for an input that ran out.
        in.refill();
        if (in.count <= 3) return Fail("Buffer overflow");
        const unsigned header = in.take(3);
        const bool final = header & 1;
        const unsigned type = header >> 1;
        if (type == 3) return Fail("Unknown compression type (bType=3)");
        if (type == 0) {
            if (!InflateStored(in, window)) return 0;
        } else {
            // One block's tables serve every block in turn.
            if (!block) block.reset(new Block(this));
            block->fixed = type == 1;
            block->lit.reset();
            block->dist.reset();
            if (!InflateCodes(*block, in, window)) return 0;
        }
        if (final) return 1;
    }
}

int KpPngUncompressor::InflateStored(KpBitReader& in, Window& window) {
    in.alignToByte();
    if (!in.has(8)) return Fail("Buffer overflow");
    unsigned len, notLen;
    if (!in.read(16, len) || !in.read(16, notLen)) return 0;  // NLEN is not compared
    while (len > 0) {
        if (window.out >= window.limit && !Slide(window)) return 0;
        const size_t room = size_t(window.limit - window.out);
        const size_t want = std::min<size_t>(len, room);
        const size_t got = in.copyBytes(window.out, want);
        window.out += got;
        if (got < want) return 0;
        len -= unsigned(got);
    }
    return 1;
}

int KpPngUncompressor::InflateCodes(Block& block, KpBitReader& in, Window& window) {
    if (block.fixed) {
        unsigned lengths[288], codes[288];
        MakeFixedHuffmanCode(lengths, codes);
        block.lit.reset(MakeHuffmanTree(288, lengths, codes));
    } else if (!ReadDynamicCode(block, in)) {
        return 0;
    }
    block.litTable.build(block.lit.get(), literalEntry);
    const size_t windowMask = window.size - 1;
    unsigned char* out = window.out;
    // Fixed distance codes are 5 bits, most significant bit first.
    uint32_t fixedDistance[32];
    for (unsigned raw = 0; raw < 32; raw++)
        fixedDistance[raw] = distanceEntry(
            int(((raw & 1) << 4) | ((raw & 2) << 2) | (raw & 4) | ((raw & 8) >> 2) | ((raw & 16) >> 4)), 5);
    const uint32_t* const lit = block.litTable.e;
    const uint32_t* const dist = block.fixed ? fixedDistance : block.distTable.e;
    const unsigned distBits = block.fixed ? 5 : kDistBits;
    for (;;) {
        // The fast loop: while eight input bytes and room for a match are left, the word holds
        // every bit a literal or a whole match needs, and the reader's state stays in registers.
        // Codes longer than the tables, the end of the block and anything unusual go to the
        // careful step below, from the start of their symbol.
        {
            uint64_t word = in.word;
            unsigned count = in.count;
            const unsigned char* next = in.next;
            const unsigned char* const last = in.end - 8;
            unsigned char* const limit = window.limit;
            while (next <= last && out < limit) {
                word |= loadLE64(next) << count;
                next += (63 - count) >> 3;
                count |= 56;
                const uint64_t word0 = word;
                const unsigned count0 = count;
                uint32_t e = lit[word & ((1u << kLitBits) - 1)];
                if (kindOf(e) == kLiteral) {
                    word >>= bitsOf(e);
                    count -= bitsOf(e);
                    *out++ = static_cast<unsigned char>(valueOf(e));
                    e = lit[word & ((1u << kLitBits) - 1)];
                    if (kindOf(e) != kLiteral) continue;
                    word >>= bitsOf(e);
                    count -= bitsOf(e);
                    *out++ = static_cast<unsigned char>(valueOf(e));
                    e = lit[word & ((1u << kLitBits) - 1)];
                    if (kindOf(e) != kLiteral) continue;
                    word >>= bitsOf(e);
                    count -= bitsOf(e);
                    *out++ = static_cast<unsigned char>(valueOf(e));
                    continue;
                }
                if (kindOf(e) != kLength) break;
                word >>= bitsOf(e);
                count -= bitsOf(e);
                unsigned extra = extraOf(e);
                const unsigned length = valueOf(e) + unsigned(word & ((1u << extra) - 1));
                word >>= extra;
                count -= extra;
                const uint32_t d = dist[word & ((1u << distBits) - 1)];
                if (kindOf(d) != kDistance) {
                    word = word0;
                    count = count0;
                    break;
                }
                word >>= bitsOf(d);
                count -= bitsOf(d);
                extra = extraOf(d);
                size_t distance = valueOf(d) + size_t(word & ((1u << extra) - 1));
                word >>= extra;
                count -= extra;
                // A distance beyond the window wraps around it, as in a ring of the window's size.
                distance = ((distance - 1) & windowMask) + 1;
                out = copyMatch(out, distance, length);
            }
            in.word = word;
            in.count = count;
            in.next = next;
        }
        if (out >= window.limit) {
            window.out = out;
            if (!Slide(window)) return 0;
            out = window.out;
        }
        in.refill();
        uint32_t e = decodeSymbol(block.litTable, in);
        Kind kind = kindOf(e);
        if (kind == kLiteral) {
            *out++ = static_cast<unsigned char>(valueOf(e));
            // A second literal while the word still holds a whole code.
            if (in.count < kLitBits) continue;
            e = block.litTable.e[in.peek(kLitBits)];
            if (kindOf(e) != kLiteral) continue;
            in.skip(bitsOf(e));
            *out++ = static_cast<unsigned char>(valueOf(e));
            continue;
        }
        if (kind != kLength) {
            window.out = out;
            if (kind == kEnd) return 1;
            if (kind == kSkip) continue;
            if (kind == kNull) return Fail(kNullNode);
            return 0;  // the input ended inside the code
        }
        unsigned length = valueOf(e), extra = extraOf(e), v;
        if (extra) {
            if (!in.read(extra, v)) {
                window.out = out;
                return 0;
            }
            length += v;
        }
        uint32_t d;
        if (block.fixed) {
            // Fixed distance codes are 5 bits, most significant bit first.
            unsigned raw;
            if (!in.read(5, raw)) {
                window.out = out;
                return 0;
            }
            const int code = int(((raw & 1) << 4) | ((raw & 2) << 2) | (raw & 4) | ((raw & 8) >> 2) | ((raw & 16) >> 4));
            d = distanceEntry(code, 0);
        } else {
            d = decodeSymbol(block.distTable, in);
            if (kindOf(d) != kDistance) {
                window.out = out;
                return kindOf(d) == kNull ? Fail(kNullNode) : 0;
            }
        }
        size_t distance = valueOf(d);
        extra = extraOf(d);
        if (extra) {
            if (!in.read(extra, v)) {
                window.out = out;
                return 0;
            }
            distance += v;
        }
        // A distance beyond the window wraps around it, as in a ring of the window's size.
        distance = ((distance - 1) & windowMask) + 1;
        out = copyMatch(out, distance, length);
    }
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
    int OutputBytes(const unsigned char* p, size_t count) override {
        const size_t room = kMaxProfile - std::min(kMaxProfile, bytes.size());
        bytes.append(reinterpret_cast<const char*>(p), std::min(count, room));
        return count <= room ? 1 : 0;
    }
    static constexpr size_t kMaxProfile = size_t(64) << 20;
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
    const size_t got = fread(buffer, 1, size, fp);
    if (filePos >= 0) filePos += int64_t(got);
    return got;
}
// The position is followed here rather than asked for: asking costs a system call per chunk.
int KpGenericPngDecoder::png_fseek(long offset, int whence) {
    // A short skip forward is read through the stream's buffer.
    if (whence == SEEK_CUR && offset > 0 && offset <= 4096 && filePos >= 0) {
        unsigned char skip[4096];
        return png_fread(skip, size_t(offset)) == size_t(offset) ? 0 : -1;
    }
    const int result = fseek(fp, offset, whence);
    if (result != 0 || whence == SEEK_END) {
        filePos = -1;
    } else if (whence == SEEK_SET) {
        filePos = offset;
    } else if (filePos >= 0) {
        filePos += offset;
    }
    return result;
}
long KpGenericPngDecoder::png_ftell() {
    if (filePos < 0) {
        const long at = ftell(fp);
        filePos = at;
        return at;
    }
    return long(filePos);
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
    if (type == chunkType("IDAT")) {
        // Image data is read when it is inflated, from where the chunk lies.
        if (length > 0 && png_fseek(long(length), SEEK_CUR) != 0) return 0;
    } else if (length > 0) {
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
            idatLength += length;
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
    // A file's size from its inode; a stream without one (in memory) is measured by seeking.
    struct stat info;
    const int fd = fileno(fp);
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        size = long(info.st_size);
    } else if (png_fseek(0, SEEK_END) == 0) {
        size = png_ftell();
    }
    png_fseek(0, SEEK_SET);
    fileSize = size > 0 ? uint64_t(size) : 0;
    if (!CheckSignature()) {
        failure = "not a PNG file";
        say("The file does not have PNG signature.");
        return -1;
    }
    idatLength = 0;
    cutIdatLength = 0;
    chunksRead = true;
    firstIdatAt = 0;
    for (;;) {
        unsigned length, type, crc;
        unsigned char* data;
        const long at = png_ftell();
        chunksEnd = at < 0 ? 0 : uint64_t(at);
        if (!ReadChunk(length, data, type, crc)) break;
        std::unique_ptr<unsigned char[]> owned(data);
        if (type == chunkType("IEND")) break;
        if (type == chunkType("IDAT") && length > 0 && idatLength == 0) firstIdatAt = chunksEnd;
        if (length == 0) continue;
        // A profile chunk that fails its CRC is dropped like any other malformed profile.
        if (type == chunkType("iCCP") && crc != chunkCrc(type, data, length)) continue;
        if (!ActOnChunk(length, data, type)) {
            failure = "the PNG palette's length is not a multiple of 3";
            chunksRead = false;
            return -1;
        }
    }
    return 1;
}

namespace {

// The data of the IDAT chunks that reading the chunks took in, read again from the file in
// pieces: the chunks from the first IDAT up to where the chunk loop ended.
class IdatInput final : public KpInflateInput {
  public:
    IdatInput(FILE* fp, uint64_t from, uint64_t to) : fp(fp), at(from), end(to) {
        if (fseek(fp, long(from), SEEK_SET) != 0) at = end;
    }
    size_t Read(unsigned char* buffer, size_t capacity) override {
        size_t done = 0;
        while (done < capacity && (left > 0 || NextChunk())) {
            const size_t want = size_t(std::min<uint64_t>(left, capacity - done));
            const size_t got = fread(buffer + done, 1, want, fp);
            done += got;
            left -= got;
            // A file that changed since its chunks were read ends here; past the CRC otherwise.
            if (got < want || (left == 0 && !Skip(4))) {
                at = end;
                left = 0;
                break;
            }
        }
        return done;
    }

  private:
    // Moves to the data of the next IDAT chunk that has some; false at the end. The chunks up to
    // the end were all read whole before.
    bool NextChunk() {
        while (at < end) {
            unsigned char head[8];
            if (fread(head, 1, 8, fp) != 8) break;
            const uint64_t length = readU32BE(head);
            at += 12 + length;
            if (readU32BE(head + 4) == chunkType("IDAT") && length > 0) {
                left = length;
                return true;
            }
            if (!Skip(length + 4)) break;
        }
        at = end;
        return false;
    }

    // Moves `count` bytes on. Short moves are read through the stream's buffer: a seek costs a
    // system call each time, and a file split into many small IDAT chunks takes one per chunk.
    bool Skip(uint64_t count) {
        if (count > kSkipByReading) return fseek(fp, long(count), SEEK_CUR) == 0;
        unsigned char skipped[kSkipByReading];
        return fread(skipped, 1, size_t(count), fp) == size_t(count);
    }
    static constexpr uint64_t kSkipByReading = 4096;

  private:
    FILE* fp;
    uint64_t at, end;
    uint64_t left = 0;  // data bytes of the current IDAT chunk not yet read
};

}  // namespace

void KpGenericPngDecoder::DecodeImage() {
    if (chunksRead && PrepareOutput() == 1) {
        if (fp && idatLength > 0) {
            KpPngUncompressor inflater(this);
            inflater.SetSizeHint(ExpectedBytes());
            IdatInput input(fp, firstIdatAt, chunksEnd);
            // The result is not needed: rows that were decoded stand, the others stay zero.
            inflater.Uncompress(input);
        }
        EndOutput();
    }
    chunksRead = false;
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

// ---------------------------------------------------------------- whole rows

namespace {

std::atomic<int> vectorChoice{-1};  // -1: not decided yet

inline uint8_t paethPredictor(int a, int b, int c) {
    const int pa = abs(b - c), pb = abs(a - c), pc = abs(a + b - 2 * c);  // |p - a|, |p - b|, |p - c|
    return uint8_t((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

// One byte at a time, in the order of the row.
void unfilterPlain(unsigned char* cur, const unsigned char* prv, size_t length, size_t n, int type) {
    // The bytes n to the left, which lie in the zero bytes in front of the lines for pixel 0.
    const unsigned char* left = cur - n;
    const unsigned char* upLeft = prv - n;
    switch (type) {
        case 1:
            for (size_t i = 0; i < length; ++i) cur[i] = uint8_t(cur[i] + left[i]);
            break;
        case 2:
            for (size_t i = 0; i < length; ++i) cur[i] = uint8_t(cur[i] + prv[i]);
            break;
        case 3:
            for (size_t i = 0; i < length; ++i) cur[i] = uint8_t(cur[i] + ((left[i] + prv[i]) >> 1));
            break;
        case 4:
            for (size_t i = 0; i < length; ++i) cur[i] = uint8_t(cur[i] + paethPredictor(left[i], prv[i], upLeft[i]));
            break;
        default:
            break;
    }
}

#if defined(__SSE2__)
// The bytes of one pixel of n bytes (3, 4, 6 or 8) in the low lanes; a 3- or 6-byte pixel reads
// the next bytes too, which the line buffers hold.
template <size_t N>
inline __m128i loadPixel(const unsigned char* p) {
    if (N <= 4) {
        int32_t v;
        memcpy(&v, p, 4);
        return _mm_cvtsi32_si128(v);
    }
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
// Stores the low N bytes.
template <size_t N>
inline void storeN(unsigned char* p, __m128i v) {
    if (N == 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
        return;
    }
    const uint32_t w = uint32_t(_mm_cvtsi128_si32(v));
    if (N == 4 || N == 6) {
        memcpy(p, &w, 4);
        if (N == 6) {
            const uint16_t high = uint16_t(uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(v, 4))));
            memcpy(p + 4, &high, 2);
        }
    } else {
        const uint16_t low = uint16_t(w);
        memcpy(p, &low, 2);
        p[2] = uint8_t(w >> 16);
    }
}

// Pixels of 3, 4, 6 or 8 bytes: each pixel depends on the one to its left, so the vector holds
// the channels of one pixel. Reads may reach a byte past the row, never past the line buffers.
template <size_t n>
void unfilterPixels(unsigned char* cur, const unsigned char* prv, size_t length, int type) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;  // the pixel to the left, unfiltered
    size_t i = 0;
    switch (type) {
        case 1:
            for (; i + n <= length; i += n) {
                a = _mm_add_epi8(loadPixel<n>(cur + i), a);
                storeN<n>(cur + i, a);
            }
            break;
        case 3:
            for (; i + n <= length; i += n) {
                const __m128i b = loadPixel<n>(prv + i);
                // The rounded-up average less the bit it rounded: (a + b) >> 1.
                const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
                a = _mm_add_epi8(loadPixel<n>(cur + i), avg);
                storeN<n>(cur + i, a);
            }
            break;
        case 4: {
            __m128i c = zero;  // the pixel above-left, widened
            __m128i a16 = zero;
            for (; i + n <= length; i += n) {
                const __m128i b = _mm_unpacklo_epi8(loadPixel<n>(prv + i), zero);
                const __m128i pbc = _mm_sub_epi16(b, c), pac = _mm_sub_epi16(a16, c);
                const __m128i pa = _mm_max_epi16(pbc, _mm_sub_epi16(zero, pbc));
                const __m128i pb = _mm_max_epi16(pac, _mm_sub_epi16(zero, pac));
                const __m128i sum = _mm_add_epi16(pbc, pac);
                const __m128i pc = _mm_max_epi16(sum, _mm_sub_epi16(zero, sum));
                // a where pa <= pb and pa <= pc; else b where pb <= pc; else c.
                const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
                const __m128i notB = _mm_cmpgt_epi16(pb, pc);
                const __m128i bc = _mm_or_si128(_mm_and_si128(notB, c), _mm_andnot_si128(notB, b));
                const __m128i pred = _mm_or_si128(_mm_and_si128(notA, bc), _mm_andnot_si128(notA, a16));
                const __m128i raw = _mm_unpacklo_epi8(loadPixel<n>(cur + i), zero);
                a16 = _mm_and_si128(_mm_add_epi16(raw, pred), _mm_set1_epi16(0xFF));
                c = b;
                storeN<n>(cur + i, _mm_packus_epi16(a16, zero));
            }
            break;
        }
        default:
            break;
    }
}
#endif

}  // namespace

void setPngVectors(bool on) {
    vectorChoice = on ? 1 : 0;
}

bool pngVectors() {
    int choice = vectorChoice;
    if (choice < 0) {
        const char* v = getenv("PIXMILL_SIMD");
        choice = (v && strcmp(v, "plain") == 0) ? 0 : 1;
        vectorChoice = choice;
    }
#if defined(__SSE2__)
    return choice == 1;
#else
    return false;
#endif
}

void UnfilterRow(unsigned char* cur, const unsigned char* prv, size_t length, int bytesPerPixel, int filterType) {
    const size_t n = size_t(bytesPerPixel);
#if defined(__SSE2__)
    if ((n == 3 || n == 4 || n == 6 || n == 8) && filterType != 2 && pngVectors()) {
        switch (n) {
            case 3:
                unfilterPixels<3>(cur, prv, length, filterType);
                break;
            case 4:
                unfilterPixels<4>(cur, prv, length, filterType);
                break;
            case 6:
                unfilterPixels<6>(cur, prv, length, filterType);
                break;
            default:
                unfilterPixels<8>(cur, prv, length, filterType);
                break;
        }
        return;
    }
#endif
    unfilterPlain(cur, prv, length, n, filterType);
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
    // 16 bytes after the lines: vector code reads a little past a row.
    twoLineBuf = static_cast<unsigned char*>(calloc(2 * (lineBytes + 8) + 16, 1));
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
    opaqueLookup = true;
    allWritten = true;
    for (int v = 0; v < 256; ++v) {
        opaqueLookup = opaqueLookup && lookupWritten[v] && lookup[v][3] == 255;
        allWritten = allWritten && lookupWritten[v];
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
    return OutputBytes(&byte, 1);
}

// Whole rows are gathered, then unfiltered and converted at once; a row the data ends in is
// finished byte by byte by EndOutput.
int KpRawPngDecoder::OutputBytes(const unsigned char* bytes, size_t count) {
    while (count > 0) {
        if (x < 0) {
            if (!StartRow(*bytes)) return 0;
            ++bytes;
            --count;
            rowFill = 0;
            continue;
        }
        const size_t take = size_t(std::min<uint64_t>(passLineBytes - rowFill, count));
        memcpy(curLine + rowFill, bytes, take);
        rowFill += take;
        bytes += take;
        count -= take;
        if (rowFill == passLineBytes) FinishRow();
    }
    return 1;
}

void KpRawPngDecoder::FinishRow() {
    UnfilterRow(curLine, prvLine, size_t(passLineBytes), unitBytes, filterType);
    const unsigned char* p = curLine;
    const unsigned char* const end = curLine + passLineBytes;
    if (pass == 0 && ConvertRow()) {
        // Converted in one sweep.
    } else if (kind == Kind::Packed) {
        for (; p < end; ++p) EmitPacked(*p);
    } else if (unitBytes == 1) {
        const uint64_t step = colStep * 4;
        for (; p < end; ++p, rowOut += step)
            if (lookupWritten[*p]) memcpy(rowOut, lookup[*p], 4);
    } else {
        for (; p < end; p += unitBytes) EmitPixel(p);
    }
    EndRow();
}

// The common kinds of a non-interlaced row in one sweep; false for the others.
bool KpRawPngDecoder::ConvertRow() {
    const unsigned char* p = curLine;
    unsigned char* o = rowOut;
    const size_t n = size_t(wid);
    switch (kind) {
        case Kind::Packed: {
            // Samples of 1, 2 or 4 bits, most significant first, up to the row's last pixel.
            const int d = bitDepth, mask = (1 << d) - 1;
            for (int v = 0; v <= mask; ++v)
                if (!lookupWritten[v]) return false;
            for (size_t i = 0; i < n;) {
                const unsigned v = *p++;
                for (int shift = 8 - d; shift >= 0 && i < n; shift -= d, ++i)
                    memcpy(o + 4 * i, lookup[(v >> shift) & mask], 4);
            }
            return true;
        }
        case Kind::Lookup8: {
            if (!allWritten) return false;
            for (size_t i = 0; i < n; ++i) memcpy(o + 4 * i, lookup[p[i]], 4);
            return true;
        }
        case Kind::Rgb8: {
            const uint32_t* key = trns.key;
            if (key[0] <= 255 && key[1] <= 255 && key[2] <= 255) return false;  // a key can match
            // Red goes to byte `red`: shift 16 for the picture layout, 0 for RGBA.
            const unsigned rs = red == 2 ? 16 : 0, bs = 16 - rs;
            for (size_t i = 0; i < n; ++i, p += 3, o += 4) {
                uint32_t v = uint32_t(p[0]) << rs | uint32_t(p[1]) << 8 | uint32_t(p[2]) << bs | 0xFF000000u;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                v = __builtin_bswap32(v);
#endif
                memcpy(o, &v, 4);
            }
            return true;
        }
        case Kind::GreyAlpha8:
            for (size_t i = 0; i < n; ++i, p += 2, o += 4) {
                const uint32_t v = p[0] * 0x010101u | uint32_t(p[1]) << 24;
                memcpy(o, &v, 4);
            }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            return false;
#endif
            return true;
        case Kind::Rgba8:
            if (red == 0) {
                memcpy(o, p, n * 4);
                return true;
            }
            for (size_t i = 0; i < n; ++i, p += 4, o += 4) {
                uint32_t v;
                memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                v = __builtin_bswap32(v);
#endif
                v = (v & 0xFF00FF00u) | (v & 0xFFu) << 16 | ((v >> 16) & 0xFFu);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                v = __builtin_bswap32(v);
#endif
                memcpy(o, &v, 4);
            }
            return true;
        default:
            return false;
    }
}

// One byte of a row the data ends in, unfiltered and placed as it arrives.
int KpRawPngDecoder::FeedByte(unsigned char byte) {
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

bool KpRawPngDecoder::KnownOpaque() const {
    return RowsDecoded() >= hei && OpaqueKind();
}

bool KpRawPngDecoder::OpaqueKind() const {
    const uint32_t* key = trns.key;
    switch (kind) {
        case Kind::Rgb8:
            return key[0] > 255 || key[1] > 255 || key[2] > 255;
        case Kind::Rgb16:
            return key[0] > 0xFFFF || key[1] > 0xFFFF || key[2] > 0xFFFF;
        case Kind::Grey16:
            return key[0] > 0xFFFF && key[1] > 0xFFFF && key[2] > 0xFFFF;
        case Kind::Lookup8:
        case Kind::Packed:
            return opaqueLookup;
        default:
            return false;
    }
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
    // The bytes of a row the data ends in, each unfiltered and placed as if it had come alone.
    if (x >= 0 && rowFill > 0) {
        const uint64_t got = rowFill;
        rowFill = 0;
        for (uint64_t i = 0; i < got; ++i) FeedByte(curLine[i]);
    }
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
