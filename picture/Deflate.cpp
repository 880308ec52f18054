// Deflate compression: LZ77 with hash chains and one-step lazy matching, dynamic Huffman blocks.
#include "picture/Deflate.h"

#include <algorithm>
#include <cstring>
#include <queue>

namespace {

const unsigned kWindow = 32768;
const unsigned kMinMatch = 3;
const unsigned kMaxMatch = 258;
const unsigned kHashBits = 15;
const unsigned kMaxChain = 16;     // candidates tried per position
const unsigned kGoodLength = 16;   // a match this long already: search the next position less
const unsigned kLazyLength = 16;   // a match this long is taken without looking one byte further
const unsigned kNiceLength = 128;  // a match this long ends the search
const size_t kBlockSymbols = 16384;
const size_t kStoredMax = 65535;

// ---------------------------------------------------------------- symbol tables of RFC 1951 3.2.5

struct Tables {
    uint8_t lengthCode[256];  // length - 3 -> code - 257
    uint8_t distCode[512];    // distance - 1 -> code, split at 256 as below
    uint16_t lengthBase[29];
    uint16_t distBase[30];
    uint8_t lengthExtra[29];
    uint8_t distExtra[30];

    Tables() {
        const uint8_t le[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        unsigned base = 3;
        for (unsigned c = 0; c < 29; c++) {
            lengthExtra[c] = le[c];
            lengthBase[c] = uint16_t(c == 28 ? 258 : base);
            for (unsigned i = 0; i < (1u << le[c]) && base + i <= 258; i++)
                lengthCode[base + i - 3] = uint8_t(c);
            base += 1u << le[c];
        }
        lengthCode[255] = 28;  // 258 has its own code, not the last of code 284's range
        base = 1;
        for (unsigned c = 0; c < 30; c++) {
            distExtra[c] = uint8_t(c < 2 ? 0 : (c - 2) / 2);
            distBase[c] = uint16_t(base);
            // From distance 257 on every code covers whole runs of 128 distances.
            for (unsigned d = base - 1; d < base - 1 + (1u << distExtra[c]); d++) {
                if (d < 256)
                    distCode[d] = uint8_t(c);
                else
                    distCode[256 + (d >> 7)] = uint8_t(c);
            }
            base += 1u << distExtra[c];
        }
    }
    unsigned distanceCode(unsigned distance) const {
        unsigned d = distance - 1;
        return d < 256 ? distCode[d] : distCode[256 + (d >> 7)];
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// ---------------------------------------------------------------- bits out

class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t>& out) : out(out) {}
    // Up to 32 bits, first bit in bit 0.
    void put(uint32_t bits, unsigned count) {
        acc |= uint64_t(bits) << used;
        used += count;
        if (used < 32) return;
        const uint8_t four[4] = {uint8_t(acc), uint8_t(acc >> 8), uint8_t(acc >> 16), uint8_t(acc >> 24)};
        out.insert(out.end(), four, four + 4);
        acc >>= 32;
        used -= 32;
    }
    void alignToByte() {
        if (used % 8) put(0, 8 - used % 8);
        for (; used > 0; used -= 8, acc >>= 8) out.push_back(uint8_t(acc));
    }

  private:
    std::vector<uint8_t>& out;
    uint64_t acc = 0;
    unsigned used = 0;
};

// ---------------------------------------------------------------- Huffman codes

struct Code {
    std::vector<uint8_t> length;
    std::vector<uint16_t> bits;  // reversed, ready to be written first bit first
};

// Huffman code lengths of the frequencies, none above `limit`; every used symbol gets a code, and
// at least two symbols do, so that every inflater accepts the code.
std::vector<uint8_t> codeLengths(std::vector<uint32_t> freq, unsigned limit) {
    const size_t n = freq.size();
    size_t used = 0;
    for (uint32_t f : freq) used += f != 0;
    for (size_t s = 0; used < 2 && s < n; s++)
        if (freq[s] == 0) freq[s] = 1, used++;
    std::vector<uint8_t> length(n, 0);
    for (;;) {
        // Nodes 0..n-1 are the symbols, the rest inner nodes; parent links give the depths.
        std::vector<int> parent(2 * n, -1);
        using Item = std::pair<uint64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap;
        for (size_t s = 0; s < n; s++)
            if (freq[s]) heap.push({freq[s], int(s)});
        int next = int(n);
        while (heap.size() > 1) {
            Item a = heap.top();
            heap.pop();
            Item b = heap.top();
            heap.pop();
            parent[a.second] = parent[b.second] = next;
            heap.push({a.first + b.first, next++});
        }
        std::vector<uint8_t> depth(size_t(next), 0);
        unsigned longest = 0;
        for (int i = next - 2; i >= 0; i--) {
            if (parent[i] < 0) continue;
            depth[i] = uint8_t(depth[parent[i]] + 1);
            if (i < int(n)) longest = std::max<unsigned>(longest, depth[i]);
        }
        if (longest <= limit) {
            for (size_t s = 0; s < n; s++) length[s] = freq[s] ? depth[s] : 0;
            return length;
        }
        // Flatter frequencies give a shallower tree; every used symbol stays used.
        for (uint32_t& f : freq)
            if (f) f = (f >> 1) | 1;
    }
}

// The canonical codes of RFC 1951 3.2.2 for the lengths.
Code canonicalCode(std::vector<uint8_t> length) {
    Code code;
    code.bits.assign(length.size(), 0);
    unsigned count[16] = {0}, next[16] = {0};
    for (uint8_t l : length) count[l]++;
    count[0] = 0;
    for (unsigned b = 1, c = 0; b < 16; b++) {
        c = (c + count[b - 1]) << 1;
        next[b] = c;
    }
    for (size_t s = 0; s < length.size(); s++) {
        unsigned l = length[s];
        if (l == 0) continue;
        unsigned c = next[l]++, r = 0;
        for (unsigned i = 0; i < l; i++) r |= ((c >> i) & 1) << (l - 1 - i);
        code.bits[s] = uint16_t(r);
    }
    code.length = std::move(length);
    return code;
}

// ---------------------------------------------------------------- one block

// A literal (dist 0) or a match of `length` bytes `dist` back.
struct Symbol {
    uint16_t length;  // the literal byte when dist is 0
    uint16_t dist;
};

// The code-length sequence of RFC 1951 3.2.7, run-length coded: symbol, then its extra bits.
struct LengthRun {
    uint8_t symbol;
    uint8_t extra;
};

std::vector<LengthRun> runLengthCode(const std::vector<uint8_t>& lengths) {
    std::vector<LengthRun> out;
    for (size_t i = 0; i < lengths.size();) {
        const uint8_t l = lengths[i];
        size_t run = 1;
        while (i + run < lengths.size() && lengths[i + run] == l) run++;
        size_t left = run;
        if (l == 0) {
            while (left >= 11) {
                size_t r = std::min<size_t>(left, 138);
                out.push_back({18, uint8_t(r - 11)});
                left -= r;
            }
            if (left >= 3) out.push_back({17, uint8_t(left - 3)}), left = 0;
        } else {
            out.push_back({l, 0});
            left--;
            while (left >= 3) {
                size_t r = std::min<size_t>(left, 6);
                out.push_back({16, uint8_t(r - 3)});
                left -= r;
            }
        }
        for (; left > 0; left--) out.push_back({l, 0});
        i += run;
    }
    return out;
}

const uint8_t kLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

class BlockWriter {
  public:
    explicit BlockWriter(BitWriter& bits) : bits(bits) {}

    // Writes the symbols, which describe data[begin, end), as the smallest of a dynamic and a
    // stored block.
    void write(const std::vector<Symbol>& symbols, const uint8_t* data, size_t begin, size_t end,
               bool final) {
        countFrequencies(symbols);
        const Code lit = canonicalCode(codeLengths(litFreq, 15));
        const Code dist = canonicalCode(codeLengths(distFreq, 15));
        size_t hLit = 286, hDist = 30;
        while (hLit > 257 && lit.length[hLit - 1] == 0) hLit--;
        while (hDist > 1 && dist.length[hDist - 1] == 0) hDist--;
        std::vector<uint8_t> all(lit.length.begin(), lit.length.begin() + hLit);
        all.insert(all.end(), dist.length.begin(), dist.length.begin() + hDist);
        const std::vector<LengthRun> runs = runLengthCode(all);
        std::vector<uint32_t> clFreq(19, 0);
        for (const LengthRun& r : runs) clFreq[r.symbol]++;
        const Code cl = canonicalCode(codeLengths(clFreq, 7));
        size_t hcLen = 19;
        while (hcLen > 4 && cl.length[kLengthOrder[hcLen - 1]] == 0) hcLen--;

        uint64_t dynamicBits = 3 + 14 + 3 * hcLen + payloadBits(lit, dist);
        for (const LengthRun& r : runs) dynamicBits += cl.length[r.symbol] + extraBitsOf(r.symbol);
        const uint64_t storedBits = (end - begin) * 8 + ((end - begin) / kStoredMax + 1) * 40 + 7;
        if (storedBits <= dynamicBits) {
            writeStored(data, begin, end, final);
            return;
        }
        bits.put(final ? 1 : 0, 1);
        bits.put(2, 2);
        bits.put(uint32_t(hLit - 257), 5);
        bits.put(uint32_t(hDist - 1), 5);
        bits.put(uint32_t(hcLen - 4), 4);
        for (size_t i = 0; i < hcLen; i++) bits.put(cl.length[kLengthOrder[i]], 3);
        for (const LengthRun& r : runs) {
            bits.put(cl.bits[r.symbol], cl.length[r.symbol]);
            if (r.symbol >= 16) bits.put(r.extra, extraBitsOf(r.symbol));
        }
        writeSymbols(symbols, lit, dist);
    }

    void writeStored(const uint8_t* data, size_t begin, size_t end, bool final) {
        do {
            const size_t n = std::min(end - begin, kStoredMax);
            const bool last = final && begin + n == end;
            bits.put(last ? 1 : 0, 1);
            bits.put(0, 2);
            bits.alignToByte();
            bits.put(uint32_t(n), 16);
            bits.put(uint32_t(~n & 0xFFFF), 16);
            for (size_t i = 0; i < n; i++) bits.put(data[begin + i], 8);
            begin += n;
        } while (begin < end);
    }

  private:
    static unsigned extraBitsOf(unsigned clSymbol) {
        return clSymbol == 16 ? 2 : clSymbol == 17 ? 3 : clSymbol == 18 ? 7 : 0;
    }

    void countFrequencies(const std::vector<Symbol>& symbols) {
        const Tables& t = tables();
        litFreq.assign(286, 0);
        distFreq.assign(30, 0);
        for (const Symbol& s : symbols) {
            if (s.dist == 0) {
                litFreq[s.length]++;
            } else {
                litFreq[257 + t.lengthCode[s.length - 3]]++;
                distFreq[t.distanceCode(s.dist)]++;
            }
        }
        litFreq[256] = 1;
    }

    uint64_t payloadBits(const Code& lit, const Code& dist) const {
        const Tables& t = tables();
        uint64_t sum = 0;
        for (size_t s = 0; s < 286; s++)
            sum += uint64_t(litFreq[s]) * (lit.length[s] + (s > 256 ? t.lengthExtra[s - 257] : 0));
        for (size_t d = 0; d < 30; d++) sum += uint64_t(distFreq[d]) * (dist.length[d] + t.distExtra[d]);
        return sum;
    }

    void writeSymbols(const std::vector<Symbol>& symbols, const Code& lit, const Code& dist) {
        const Tables& t = tables();
        for (const Symbol& s : symbols) {
            if (s.dist == 0) {
                bits.put(lit.bits[s.length], lit.length[s.length]);
                continue;
            }
            const unsigned lc = t.lengthCode[s.length - 3];
            bits.put(lit.bits[257 + lc], lit.length[257 + lc]);
            bits.put(s.length - t.lengthBase[lc], t.lengthExtra[lc]);
            const unsigned dc = t.distanceCode(s.dist);
            bits.put(dist.bits[dc], dist.length[dc]);
            bits.put(s.dist - t.distBase[dc], t.distExtra[dc]);
        }
        bits.put(lit.bits[256], lit.length[256]);
    }

    BitWriter& bits;
    std::vector<uint32_t> litFreq, distFreq;
};

// ---------------------------------------------------------------- match finding

class MatchFinder {
  public:
    MatchFinder(const uint8_t* data, size_t size)
        : data(data), size(size), head(size_t(1) << kHashBits, 0), prev(kWindow, 0) {}

    // Enters position p (which has at least kMinMatch bytes from it) into its hash chain.
    // Positions are kept in 32 bits: a stale or wrapped entry only names another candidate, whose
    // bytes are compared like any other's.
    void insert(size_t p) {
        const uint32_t h = hashAt(p);
        prev[p & (kWindow - 1)] = head[h];
        head[h] = uint32_t(p);
    }

    // The longest match for position p (already inserted) of more than `atLeast` bytes; its
    // length is 0 when there is none.
    unsigned longest(size_t p, unsigned atLeast, unsigned chain, unsigned& distance) const {
        const size_t limit = std::min<size_t>(kMaxMatch, size - p);
        if (limit < kMinMatch) return 0;
        unsigned best = std::max(atLeast, kMinMatch - 1);
        unsigned bestLength = 0;
        uint32_t c = prev[p & (kWindow - 1)];
        for (; chain > 0; chain--, c = prev[c & (kWindow - 1)]) {
            const uint32_t d = uint32_t(p) - c;
            if (d == 0 || d > kWindow || d > p) break;
            const uint8_t* a = data + (p - d);
            const uint8_t* b = data + p;
            // The four bytes that end a longer match decide most candidates with one load.
            if (best < limit) {
                if (best >= 3) {
                    uint32_t x, y;
                    memcpy(&x, a + best - 3, 4);
                    memcpy(&y, b + best - 3, 4);
                    if (x != y) continue;
                } else if (a[best] != b[best]) {
                    continue;
                }
            }
            const unsigned n = matchLength(a, b, limit);
            if (n > best) {
                best = bestLength = n;
                distance = d;
                if (n >= kNiceLength || n == limit) break;
            }
        }
        return bestLength;
    }

  private:
    uint32_t hashAt(size_t p) const {
        const uint32_t v = uint32_t(data[p]) | uint32_t(data[p + 1]) << 8 | uint32_t(data[p + 2]) << 16;
        return (v * 2654435761u) >> (32 - kHashBits);
    }

    static unsigned matchLength(const uint8_t* a, const uint8_t* b, size_t limit) {
        size_t n = 0;
        while (n + 8 <= limit) {
            uint64_t x, y;
            memcpy(&x, a + n, 8);
            memcpy(&y, b + n, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            if (x != y) return unsigned(n + (__builtin_clzll(x ^ y) >> 3));
#else
            if (x != y) return unsigned(n + (__builtin_ctzll(x ^ y) >> 3));
#endif
            n += 8;
        }
        while (n < limit && a[n] == b[n]) n++;
        return unsigned(n);
    }

    const uint8_t* data;
    size_t size;
    std::vector<uint32_t> head;
    std::vector<uint32_t> prev;  // the previous position with the same hash, by position mod window
};

// Turns the bytes into blocks of literals and matches; zlib's lazy evaluation: a match found at p
// is kept only when p + 1 does not start a longer one.
void compressBlocks(const uint8_t* data, size_t size, BitWriter& bits) {
    MatchFinder finder(data, size);
    BlockWriter blocks(bits);
    std::vector<Symbol> symbols;
    symbols.reserve(kBlockSymbols + 2);
    size_t blockStart = 0;
    auto insertUpTo = [&](size_t p) {
        if (p + kMinMatch <= size) finder.insert(p);
    };
    auto flushIfFull = [&](size_t p) {
        if (symbols.size() < kBlockSymbols) return;
        blocks.write(symbols, data, blockStart, p, false);
        symbols.clear();
        blockStart = p;
    };
    size_t p = 0;
    unsigned prevLength = 0, prevDistance = 0;
    bool pending = false;  // the byte before p waits as a literal or as the start of prevLength's match
    while (p < size) {
        insertUpTo(p);
        unsigned distance = 0, length = 0;
        if (prevLength < kLazyLength && p + kMinMatch <= size)
            length = finder.longest(p, prevLength, prevLength >= kGoodLength ? kMaxChain / 4 : kMaxChain,
                                    distance);
        if (pending && prevLength >= kMinMatch && length <= prevLength) {
            symbols.push_back({uint16_t(prevLength), uint16_t(prevDistance)});
            const size_t endOfMatch = p - 1 + prevLength;
            for (size_t q = p + 1; q < endOfMatch; q++) insertUpTo(q);
            p = endOfMatch;
            pending = false;
            prevLength = 0;
            flushIfFull(p);
            continue;
        }
        if (pending) {
            symbols.push_back({data[p - 1], 0});
            flushIfFull(p);
        }
        pending = true;
        prevLength = length;
        prevDistance = distance;
        p++;
    }
    if (pending) symbols.push_back({data[size - 1], 0});
    blocks.write(symbols, data, blockStart, size, true);
}

void putU32BE(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

}  // namespace

std::vector<uint8_t> zlibCompress(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size / 2 + 64);
    out.push_back(0x78);  // deflate, 32 KiB window
    out.push_back(0x9C);  // no dictionary, default level; the header is a multiple of 31
    BitWriter bits(out);
    compressBlocks(data, size, bits);
    bits.alignToByte();
    putU32BE(out, updateAdler32(1, data, size));
    return out;
}

uint32_t updateAdler32(uint32_t adler, const uint8_t* data, size_t size) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (size > 0) {
        // 5552 bytes is the most that cannot overflow 32 bits before the reduction.
        const size_t n = std::min<size_t>(size, 5552);
        for (size_t i = 0; i < n; i++) {
            a += data[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        data += n;
        size -= n;
    }
    return (b << 16) | a;
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t size) {
    static const struct Table {
        uint32_t entry[256];
        Table() {
            for (uint32_t n = 0; n < 256; n++) {
                uint32_t c = n;
                for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                entry[n] = c;
            }
        }
    } table;
    crc = ~crc;
    for (size_t i = 0; i < size; i++) crc = table.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
