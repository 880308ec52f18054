// SPDX-License-Identifier: MIT
// Deflate compression: LZ77 over hash chains of five-byte prefixes, lazy matching weighed in bits
// against literals, dynamic Huffman blocks.
#include "picture/Deflate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const unsigned kWindow = 32768;
const unsigned kMinMatch = 3;
const unsigned kMaxMatch = 258;
const unsigned kMaxHashBits = 18;  // chains of few strangers: far fewer candidates to try
const unsigned kHashBytes = 5;     // bytes that name a hash chain: matches are longer
const unsigned kMaxChain = 16;     // candidates tried per position
const unsigned kLongChain = 32;    // ... in data that repeats itself: there longer searches pay
const size_t kRepetitive = 16;     // bytes per symbol from which data counts as repeating itself
const unsigned kGoodLength = 8;    // a match this long already: search the next position less
const unsigned kLazyLength = 16;   // a match this long is taken without looking one byte further
const unsigned kNiceLength = 128;  // a match this long ends the search
const size_t kBlockSymbols = 16384;
const unsigned kCountedLiterals = 32;  // literals weighed one by one against a match
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
    // Appends to `out` from its current end.
    explicit BitWriter(std::vector<uint8_t>& out) : out(out), at(out.size()) {}
    // Up to 32 bits, first bit in bit 0.
    void put(uint32_t bits, unsigned count) {
        acc |= uint64_t(bits) << used;
        used += count;
        if (used < 32) return;
        if (out.size() - at < 4) out.resize(std::max(at + 4, out.size() + out.size() / 2 + 1024));
        uint8_t* o = out.data() + at;
        o[0] = uint8_t(acc);
        o[1] = uint8_t(acc >> 8);
        o[2] = uint8_t(acc >> 16);
        o[3] = uint8_t(acc >> 24);
        at += 4;
        acc >>= 32;
        used -= 32;
    }
    // Pads with zero bits to a whole byte and hands the written bytes over: `out` ends there.
    void alignToByte() {
        if (used % 8) put(0, 8 - used % 8);
        out.resize(at);
        for (; used > 0; used -= 8, acc >>= 8) out.push_back(uint8_t(acc));
        at = out.size();
    }
    // Whole bytes after the bits, which must end on a byte boundary.
    void putBytes(const uint8_t* p, size_t n) {
        alignToByte();
        out.insert(out.end(), p, p + n);
        at = out.size();
    }

  private:
    std::vector<uint8_t>& out;
    size_t at;  // bytes of `out` written; the rest is room
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

// The first `count` symbols of an array, for range loops.
struct Span {
    const Symbol* first;
    size_t count;
    const Symbol* begin() const { return first; }
    const Symbol* end() const { return first + count; }
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
    void write(const Symbol* symbols, size_t count, const uint8_t* data, size_t begin, size_t end,
               bool final) {
        countFrequencies(symbols, count);
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
        writeSymbols(symbols, count, lit, dist);
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
            bits.putBytes(data + begin, n);
            begin += n;
        } while (begin < end);
    }

  private:
    static unsigned extraBitsOf(unsigned clSymbol) {
        return clSymbol == 16 ? 2 : clSymbol == 17 ? 3 : clSymbol == 18 ? 7 : 0;
    }

    void countFrequencies(const Symbol* symbols, size_t count) {
        const Tables& t = tables();
        litFreq.assign(286, 0);
        distFreq.assign(30, 0);
        for (const Symbol& s : Span{symbols, count}) {
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

    void writeSymbols(const Symbol* symbols, size_t count, const Code& lit, const Code& dist) {
        const Tables& t = tables();
        for (const Symbol& s : Span{symbols, count}) {
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

  public:
    // The symbol counts of the block written last.
    const std::vector<uint32_t>& literalCounts() const { return litFreq; }
    const std::vector<uint32_t>& distanceCounts() const { return distFreq; }

  private:
    BitWriter& bits;
    std::vector<uint32_t> litFreq, distFreq;
};

// ---------------------------------------------------------------- costs

// What coding a literal or a match is expected to take, in sixteenths of a bit. A match is worth
// taking only when it costs less than the literals it replaces: in filtered photographs most
// short matches do not, and literals alone code them smaller.
class Costs {
  public:
    // From the bytes themselves, before any block tells more: literals by their counts in the
    // first bytes, matches by a moderate guess.
    void guess(const uint8_t* data, size_t size) {
        uint32_t count[256] = {0};
        const size_t n = std::min<size_t>(size, 32768);
        for (size_t i = 0; i < n; i++) count[data[i]]++;
        for (unsigned b = 0; b < 256; b++) literal[b] = bitsOf(count[b], uint32_t(n));
        uint16_t lengthSymbol[29], distSymbol[30];
        for (unsigned c = 0; c < 29; c++) lengthSymbol[c] = uint16_t(16 * (c < 8 ? 6 : 7));
        for (unsigned c = 0; c < 30; c++) distSymbol[c] = uint16_t(16 * 5);
        setMatches(lengthSymbol, distSymbol);
    }

    // From the symbol counts of the block just written: the next one will look much the same.
    void learn(const std::vector<uint32_t>& litFreq, const std::vector<uint32_t>& distFreq) {
        uint32_t total = 0, matches = 0;
        for (uint32_t f : litFreq) total += f;
        for (uint32_t f : distFreq) matches += f;
        for (unsigned b = 0; b < 256; b++) literal[b] = bitsOf(litFreq[b], total);
        uint16_t lengthSymbol[29], distSymbol[30];
        for (unsigned c = 0; c < 29; c++) lengthSymbol[c] = bitsOf(litFreq[257 + c], total);
        for (unsigned c = 0; c < 30; c++) distSymbol[c] = bitsOf(distFreq[c], std::max(matches, 1u));
        setMatches(lengthSymbol, distSymbol);
    }

    // Of the n literals from p; past kCountedLiterals each counts one bit, which keeps longer
    // matches better than shorter ones without adding up hundreds of bytes.
    unsigned literals(const uint8_t* p, unsigned n) const {
        unsigned sum = 0;
        const unsigned counted = std::min(n, kCountedLiterals);
        for (unsigned i = 0; i < counted; i++) sum += literal[p[i]];
        return sum + 16 * (n - counted);
    }
    unsigned match(unsigned length, unsigned distance) const {
        return lengthCost[length] + distanceCost[tables().distanceCode(distance)];
    }

  private:
    // -log2 of the symbol's share, at least one bit and at most 15; an unseen symbol counts as
    // half a one.
    static uint16_t bitsOf(uint32_t count, uint32_t total) {
        const double share = (count > 0 ? double(count) : 0.5) / double(std::max(total, 1u));
        const double bits = std::min(15.0, std::max(1.0, -std::log2(share)));
        return uint16_t(bits * 16 + 0.5);
    }

    void setMatches(const uint16_t* lengthSymbol, const uint16_t* distSymbol) {
        const Tables& t = tables();
        for (unsigned l = kMinMatch; l <= kMaxMatch; l++) {
            const unsigned c = t.lengthCode[l - 3];
            lengthCost[l] = uint16_t(lengthSymbol[c] + 16 * t.lengthExtra[c]);
        }
        for (unsigned c = 0; c < 30; c++) distanceCost[c] = uint16_t(distSymbol[c] + 16 * t.distExtra[c]);
    }

    uint16_t literal[256];
    uint16_t lengthCost[kMaxMatch + 1];
    uint16_t distanceCost[30];
};

// ---------------------------------------------------------------- match finding

struct Match {
    unsigned length = 0;  // 0: none worth taking
    unsigned distance = 0;
    int gain = 0;  // sixteenths of a bit saved against literals
};

class MatchFinder {
  public:
    MatchFinder(const uint8_t* data, size_t size)
        : data(data), size(size), hashBits(8), prev(kWindow, 0) {
        while (hashBits < kMaxHashBits && (size_t(1) << hashBits) < size) hashBits++;
        head.assign(size_t(1) << hashBits, 0);
    }

    // Enters position p (which has at least kHashBytes bytes from it) into its hash chain.
    // Positions are kept in 32 bits: a stale or wrapped entry only names another candidate, whose
    // bytes are compared like any other's.
    void insert(size_t p) {
        const uint32_t h = hashAt(p);
        const uint32_t last = head[h];
        prev[p & (kWindow - 1)] = last;
        head[h] = uint32_t(p);
        // In a run of one byte value each position would name the one before it, and the chain
        // would hold nothing but the run: every one of them gives the same match, the rest of the
        // run. So the link of p - 1 skips to what came before the run, and p - 1 alone stands for
        // it. Runs are the flat areas of filtered pictures; what lies beyond them is the match
        // worth finding.
        if (p >= 2 && last == p - 1 && prev[(p - 1) & (kWindow - 1)] == p - 2 && runAt(p - 2) &&
            runAt(p))
            prev[(p - 1) & (kWindow - 1)] = prev[(p - 2) & (kWindow - 1)];
    }

    // Enters the positions [from, to) (from > 0), as many as have kHashBytes bytes. Of a long
    // run only the ends are entered: the chain holds the run by its last positions anyway.
    void insertRange(size_t from, size_t to) {
        to = std::min(to, size >= kHashBytes ? size - kHashBytes + 1 : 0);
        for (size_t q = from; q < to; q++) {
            if (q + 16 < to && data[q - 1] == data[q] && runAt(q)) {
                // The positions q to last all hash kHashBytes bytes of the run.
                const size_t last =
                    std::min(to - 1, q + matchLength(data + q, data + q + 1, to - q) - (kHashBytes - 1));
                if (last > q + 2) {
                    // As if each were entered: the last position names the one before it, which
                    // names what came before the run (q - 1 and at most the two before it are
                    // the run's positions still in the chain).
                    size_t x = q - 1;
                    for (int k = 0; k < 2 && prev[x & (kWindow - 1)] == x - 1 && data[x - 1] == data[q]; k++) x--;
                    prev[(last - 1) & (kWindow - 1)] = prev[x & (kWindow - 1)];
                    prev[last & (kWindow - 1)] = uint32_t(last - 1);
                    head[hashAt(q)] = uint32_t(last);
                    q = last;
                    continue;
                }
            }
            insert(q);
        }
    }

    // The match for position p (already inserted) that saves the most against literals, among
    // those longer than `atLeast` bytes; chains are walked nearest first, so of equal lengths the
    // nearest, cheapest one is kept.
    Match best(size_t p, unsigned atLeast, unsigned chain, const Costs& costs) const {
        Match found;
        const size_t limit = std::min<size_t>(kMaxMatch, size - p);
        if (limit < kMinMatch) return found;
        // Only candidates that share the hashed bytes are worth the comparison.
        unsigned longest = std::max(atLeast, kHashBytes - 1);
        const uint8_t* b = data + p;
        // When p opens a run, what follows the run decides: a candidate in an earlier run of the
        // same value is tried where that run has as many bytes left as this one.
        size_t run = 0, lastAligned = SIZE_MAX;
        if (runAt(p)) run = 1 + matchLength(b, b + 1, limit - 1);
        uint32_t c = prev[p & (kWindow - 1)];
        for (; chain > 0; chain--, c = prev[c & (kWindow - 1)]) {
            uint32_t d = uint32_t(p) - c;
            if (d == 0 || d > kWindow || d > p) break;
            if (run > 0) {
                const size_t at = p - d;
                const size_t end = data[at] == b[0] ? at + 1 + matchLength(data + at, data + at + 1, d - 1) : at;
                if (end < p) {
                    // A stranger in the chain, a run too far back, or one tried already.
                    if (end - at < kHashBytes || end < run || p - (end - run) > kWindow || end - run == lastAligned)
                        continue;
                    lastAligned = end - run;
                    d = uint32_t(p - lastAligned);
                }
            }
            const uint8_t* a = data + (p - d);
            // The four bytes that end a longer match decide most candidates with one load.
            if (longest < limit) {
                if (longest >= 3) {
                    uint32_t x, y;
                    memcpy(&x, a + longest - 3, 4);
                    memcpy(&y, b + longest - 3, 4);
                    if (x != y) continue;
                } else if (a[longest] != b[longest]) {
                    continue;
                }
            }
            const unsigned n = matchLength(a, b, limit);
            if (n <= longest) continue;
            longest = n;
            const int gain = int(costs.literals(b, n)) - int(costs.match(n, d));
            if (gain > found.gain) {
                found.length = n;
                found.distance = d;
                found.gain = gain;
            }
            if (n >= kNiceLength || n == limit) break;
        }
        return found;
    }

  private:
    // Whether the kHashBytes bytes from p (which must exist) are one value.
    bool runAt(size_t p) const {
        uint32_t v;
        memcpy(&v, data + p, 4);
        return v == (v & 0xFF) * 0x01010101u && data[p + kHashBytes - 1] == data[p];
    }

    uint32_t hashAt(size_t p) const {
        uint32_t low;
        memcpy(&low, data + p, 4);
        const uint64_t v = low | uint64_t(data[p + 4]) << 32;
        return uint32_t((v * 0x9E3779B97F4A7C15ull) >> (64 - hashBits));
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
    unsigned hashBits;
    std::vector<uint32_t> head;
    std::vector<uint32_t> prev;  // the previous position with the same hash, by position mod window
};

// Turns the bytes into blocks of literals and matches, with zlib's lazy evaluation weighed in
// bits: a match found at p is kept only when p + 1 does not start one that saves more, and only
// matches that save bits against literals are taken at all.
void compressBlocks(const uint8_t* data, size_t size, BitWriter& bits) {
    MatchFinder finder(data, size);
    BlockWriter blocks(bits);
    Costs costs;
    costs.guess(data, size);
    std::vector<Symbol> symbols(kBlockSymbols + 1);
    size_t count = 0;  // symbols of the block so far
    size_t blockStart = 0;
    unsigned chain = kMaxChain;
    auto insertUpTo = [&](size_t p) {
        if (p + kHashBytes <= size) finder.insert(p);
    };
    auto flushIfFull = [&](size_t p) {
        if (count < kBlockSymbols) return;
        blocks.write(symbols.data(), count, data, blockStart, p, false);
        costs.learn(blocks.literalCounts(), blocks.distanceCounts());
        chain = p - blockStart > kRepetitive * count ? kLongChain : kMaxChain;
        count = 0;
        blockStart = p;
    };
    size_t p = 0;
    Match waiting;
    bool pending = false;  // the byte before p waits as a literal or as the start of waiting's match
    while (p < size) {
        insertUpTo(p);
        Match here;
        if (waiting.length < kLazyLength && p + kHashBytes <= size)
            here = finder.best(p, waiting.length, waiting.length >= kGoodLength ? chain / 4 : chain, costs);
        if (pending && waiting.length > 0 && here.gain <= waiting.gain) {
            symbols[count++] = {uint16_t(waiting.length), uint16_t(waiting.distance)};
            const size_t endOfMatch = p - 1 + waiting.length;
            finder.insertRange(p + 1, endOfMatch);
            p = endOfMatch;
            pending = false;
            waiting = Match();
            flushIfFull(p);
            continue;
        }
        if (pending) {
            symbols[count++] = {data[p - 1], 0};
            flushIfFull(p);
        }
        pending = true;
        waiting = here;
        p++;
    }
    if (pending) symbols[count++] = {data[size - 1], 0};
    blocks.write(symbols.data(), count, data, blockStart, size, true);
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
        size_t n = std::min<size_t>(size, 5552);
        size -= n;
#if defined(__SSE2__)
        // Sixteen bytes at a time: a gains their sum; b gains 16 a (a as it was before them) and
        // the bytes weighted 16 down to 1.
        if (n >= 16) {
            const size_t chunks = n / 16;
            const __m128i zero = _mm_setzero_si128();
            const __m128i high = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
            const __m128i low = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
            __m128i sums = zero, sumsBefore = zero, weighted = zero;
            for (size_t k = 0; k < chunks; k++, data += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
                sumsBefore = _mm_add_epi64(sumsBefore, sums);
                sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
                weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), high));
                weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), low));
            }
            uint64_t s64[2], before64[2];
            uint32_t w32[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(s64), sums);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(before64), sumsBefore);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(w32), weighted);
            const uint64_t bytesSum = s64[0] + s64[1];
            const uint64_t bGain = 16 * (uint64_t(chunks) * a + before64[0] + before64[1]) +
                                   uint64_t(w32[0]) + w32[1] + w32[2] + w32[3];
            b = uint32_t((b + bGain) % 65521);
            a = uint32_t((a + bytesSum) % 65521);
            n -= chunks * 16;
        }
#endif
        for (size_t i = 0; i < n; i++) {
            a += data[i];
            b += a;
        }
        data += n;
        a %= 65521;
        b %= 65521;
    }
    return (b << 16) | a;
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, size_t size) {
    // entry[0] is the CRC of each byte; entry[k] that of the byte followed by k zero bytes, so
    // that eight bytes are folded in with eight independent look-ups.
    static const struct Table {
        uint32_t entry[8][256];
        Table() {
            for (uint32_t n = 0; n < 256; n++) {
                uint32_t c = n;
                for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                entry[0][n] = c;
            }
            for (int k = 1; k < 8; k++)
                for (uint32_t n = 0; n < 256; n++)
                    entry[k][n] = (entry[k - 1][n] >> 8) ^ entry[0][entry[k - 1][n] & 0xFF];
        }
    } table;
    const auto& t = table.entry;
    crc = ~crc;
    for (; size >= 8; size -= 8, data += 8) {
        const uint32_t low = crc ^ (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                    uint32_t(data[3]) << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    for (size_t i = 0; i < size; i++) crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
