// SPDX-License-Identifier: MIT
// The deflate decoder: exact bytes, messages and failure points, checked against hand-made and zlib
// streams and against a plain bit-by-bit tree-walking inflater kept here as the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "picture/kppng.h"

#ifdef PIXMILL_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- what an inflate did

struct Outcome {
    int result = -1;
    Bytes bytes;  // every byte handed to the sink, the refused one included
    std::vector<std::string> messages;
    bool operator==(const Outcome& o) const {
        return result == o.result && bytes == o.bytes && messages == o.messages;
    }
};

std::vector<std::string>* capturedMessages = nullptr;
void captureMessage(const char* line) {
    if (capturedMessages) capturedMessages->push_back(line);
}

struct MessageCapture {
    explicit MessageCapture(std::vector<std::string>* into) {
        capturedMessages = into;
        kpPngMessage = captureMessage;
    }
    ~MessageCapture() {
        capturedMessages = nullptr;
        kpPngMessage = [](const char* line) { puts(line); };
    }
};

// A sink that records and refuses the byte number `refuseAt` (1-based; 0 never refuses).
class RecordingSink : public KpGenericPngDecoder {
  public:
    explicit RecordingSink(Outcome& out, size_t refuseAt = 0) : out(out), refuseAt(refuseAt) {}
    int Output(unsigned char byte) override {
        out.bytes.push_back(byte);
        return out.bytes.size() == refuseAt ? 0 : 1;
    }

  private:
    Outcome& out;
    size_t refuseAt;
};

// The stream handed over in pieces of 1 to 300 bytes, as a file is read.
class PieceInput : public KpInflateInput {
  public:
    explicit PieceInput(const Bytes& stream) : stream(stream), rng(uint32_t(stream.size())) {}
    size_t Read(unsigned char* buffer, size_t capacity) override {
        const size_t n = std::min({capacity, stream.size() - at, size_t(1 + rng() % 300)});
        if (n > 0) memcpy(buffer, stream.data() + at, n);
        at += n;
        return n;
    }

  private:
    const Bytes& stream;
    size_t at = 0;
    std::mt19937 rng;
};

// Inflates from memory and, which must give the same outcome, from a streamed input.
Outcome inflateProduct(Bytes stream, size_t refuseAt = 0) {
    Outcome out, streamed;
    {
        MessageCapture capture(&out.messages);
        RecordingSink sink(out, refuseAt);
        KpPngUncompressor inflater(&sink);
        // An exact-size copy, so that ASan sees any read past the input.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[stream.size() + 1]);
        if (!stream.empty()) memcpy(exact.get(), stream.data(), stream.size());
        out.result =
            inflater.Uncompress(static_cast<unsigned>(stream.size()), stream.empty() ? nullptr : exact.get());
    }
    {
        MessageCapture capture(&streamed.messages);
        RecordingSink sink(streamed, refuseAt);
        KpPngUncompressor inflater(&sink);
        PieceInput input(stream);
        streamed.result = stream.size() < 2 ? 0 : inflater.Uncompress(input);
    }
    EXPECT_TRUE(streamed == out) << "the streamed input differs";
    return out;
}

// ---------------------------------------------------------------- the plain reference inflater

// Pointer tree, one bit per step, exactly as the format's canonical codes are usually taught.
struct RefNode {
    RefNode* branch[2] = {nullptr, nullptr};
    int value = 0x7FFFFFFF;
    ~RefNode() {
        delete branch[0];
        delete branch[1];
    }
};

class RefInflater {
  public:
    RefInflater(const Bytes& in, size_t refuseAt) : in(in), refuseAt(refuseAt) {}

    Outcome run() {
        out.result = inflate() ? 1 : 0;
        return out;
    }

  private:
    const Bytes& in;
    size_t refuseAt;
    Outcome out;
    size_t pos = 2;
    unsigned mask = 1;
    std::vector<uint8_t> window;
    size_t windowPos = 0;

    bool bit(unsigned& b) {
        if (pos >= in.size()) return false;
        b = (in[pos] & mask) ? 1 : 0;
        mask <<= 1;
        if (mask > 255) {
            mask = 1;
            pos++;
        }
        return true;
    }
    bool bits(unsigned n, unsigned& v) {
        v = 0;
        for (unsigned i = 0; i < n; i++) {
            unsigned b;
            if (!bit(b)) return false;
            v |= b << i;
        }
        return true;
    }
    bool emit(uint8_t byte) {
        window[windowPos] = byte;
        windowPos = (windowPos + 1) % window.size();
        out.bytes.push_back(byte);
        return out.bytes.size() != refuseAt;
    }
    static void canonical(const std::vector<unsigned>& lengths, std::vector<unsigned>& codes) {
        unsigned maxLen = 0;
        for (unsigned l : lengths) maxLen = std::max(maxLen, l);
        std::vector<unsigned> count(maxLen + 1), next(maxLen + 1);
        for (unsigned l : lengths) count[l]++;
        count[0] = 0;
        unsigned code = 0;
        for (unsigned b = 1; b <= maxLen; b++) next[b] = code = (code + count[b - 1]) * 2;
        codes.assign(lengths.size(), 0);
        for (size_t i = 0; i < lengths.size(); i++)
            if (lengths[i]) codes[i] = next[lengths[i]]++;
    }
    static RefNode* tree(const std::vector<unsigned>& lengths) {
        std::vector<unsigned> codes;
        canonical(lengths, codes);
        RefNode* root = new RefNode;
        for (size_t s = 0; s < lengths.size(); s++) {
            RefNode* node = root;
            for (int i = int(lengths[s]) - 1; i >= 0; i--) {
                RefNode*& b = node->branch[(codes[s] >> i) & 1];
                if (!b) b = new RefNode;
                node = b;
            }
            if (lengths[s]) node->value = int(s);
        }
        return root;
    }
    // The symbol, or -1 when the input ends, -2 for a missing branch.
    int walk(const RefNode* node) {
        do {
            unsigned b;
            if (!bit(b)) return -1;
            node = node->branch[b];
            if (!node) {
                out.messages.push_back("Huffman Decompression: Reached NULL node.");
                return -2;
            }
        } while (node->branch[0] || node->branch[1]);
        return node->value;
    }
    bool inflate() {
        if (in.size() < 2 || (in[0] & 15) != 8) return false;
        window.assign(size_t(1) << ((in[0] >> 4) + 8), 0);
        if (in[1] & 0x20) {
            out.messages.push_back("PNG is not supposed to have a preset dictionary.");
            return false;
        }
        for (;;) {
            unsigned header = 0;
            for (int i = 0; i < 3; i++) {  // bits past the input count as 0 here
                unsigned b = 0;
                if (!bit(b)) {
                    mask <<= 1;
                    if (mask > 255) mask = 1, pos++;
                }
                header |= b << i;
            }
            if (pos >= in.size()) {
                out.messages.push_back("Buffer overflow");
                return false;
            }
            unsigned type = header >> 1;
            bool ok;
            if (type == 3) {
                out.messages.push_back("Unknown compression type (bType=3)");
                return false;
            } else if (type == 0) {
                ok = stored();
            } else {
                ok = compressed(type == 1);
            }
            if (!ok) return false;
            if (header & 1) return true;
        }
    }
    bool stored() {
        if (mask != 1) mask = 1, pos++;
        if (pos >= in.size()) {
            out.messages.push_back("Buffer overflow");
            return false;
        }
        if (in.size() - pos < 4) return false;
        unsigned len = in[pos] | (in[pos + 1] << 8);
        pos += 4;
        for (unsigned i = 0; i < len; i++) {
            if (pos >= in.size() || !emit(in[pos++])) return false;
        }
        return true;
    }
    bool dynamicLengths(std::vector<unsigned>& lit, std::vector<unsigned>& dist) {
        static const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        unsigned hlit, hdist, hclen;
        if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return false;
        std::vector<unsigned> cl(19, 0);
        for (unsigned i = 0; i < hclen + 4; i++)
            if (!bits(3, cl[order[i]])) return false;
        std::unique_ptr<RefNode> clTree(tree(cl));
        std::vector<unsigned> all;
        while (all.size() < hlit + hdist + 258) {
            int s = walk(clTree.get());
            if (s < 0) return false;
            unsigned x, run = 1, value = unsigned(s);
            if (s == 16) {
                if (all.empty() || !bits(2, x)) return false;
                value = all.back(), run = 3 + x;
            } else if (s == 17) {
                if (!bits(3, x)) return false;
                value = 0, run = 3 + x;
            } else if (s == 18) {
                if (!bits(7, x)) return false;
                value = 0, run = 11 + x;
            }
            if (all.size() + run > hlit + hdist + 258) return false;
            all.insert(all.end(), run, value);
        }
        lit.assign(all.begin(), all.begin() + hlit + 257);
        dist.assign(all.begin() + hlit + 257, all.end());
        return true;
    }
    bool compressed(bool fixed) {
        std::vector<unsigned> litLengths, distLengths;
        if (fixed) {
            for (unsigned s = 0; s < 288; s++)
                litLengths.push_back(s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8);
        } else if (!dynamicLengths(litLengths, distLengths)) {
            return false;
        }
        std::unique_ptr<RefNode> lit(tree(litLengths));
        std::unique_ptr<RefNode> dist(fixed ? nullptr : tree(distLengths));
        static const unsigned lenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const unsigned lenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        for (;;) {
            int s = walk(lit.get());
            if (s < 0) return false;
            if (s < 256) {
                if (!emit(uint8_t(s))) return false;
                continue;
            }
            if (s == 256) return true;
            if (s > 285) continue;
            unsigned extra, code;
            if (!bits(lenExtra[s - 257], extra)) return false;
            unsigned length = lenBase[s - 257] + extra;
            if (fixed) {
                code = 0;
                for (int i = 0; i < 5; i++) {  // most significant bit first
                    unsigned b;
                    if (!bit(b)) return false;
                    code = code * 2 + b;
                }
            } else {
                int d = walk(dist.get());
                if (d < 0) return false;
                code = unsigned(d);
            }
            // RFC 1951's distance table, extended by its own pattern to codes 30 and 31.
            static const unsigned distBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                                  17,   25,   33,   49,    65,    97,    129,   193,
                                                  257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                                  4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
            unsigned distance = distBase[code];
            if (code >= 4) {
                if (!bits((code - 2) / 2, extra)) return false;
                distance += extra;
            }
            for (unsigned i = 0; i < length; i++) {
                uint8_t byte = window[(windowPos + window.size() * 64 - distance) % window.size()];
                if (!emit(byte)) return false;
            }
        }
    }
};

Outcome inflateReference(const Bytes& stream, size_t refuseAt = 0) {
    return RefInflater(stream, refuseAt).run();
}

// ---------------------------------------------------------------- stream building

// Writes bits least significant first, as deflate packs them.
class BitWriter {
  public:
    explicit BitWriter(uint8_t cmf = 0x78, uint8_t flg = 0x01) : bytes{cmf, flg} {}
    BitWriter& put(unsigned value, unsigned count) {
        for (unsigned i = 0; i < count; i++) {
            if (used == 0) bytes.push_back(0);
            bytes.back() |= ((value >> i) & 1) << used;
            used = (used + 1) & 7;
        }
        return *this;
    }
    // A Huffman code: most significant bit first.
    BitWriter& code(unsigned value, unsigned count) {
        for (unsigned i = count; i-- > 0;) put((value >> i) & 1, 1);
        return *this;
    }
    // Fixed-code symbols.
    BitWriter& fixedLiteral(unsigned s) {
        if (s < 144) return code(48 + s, 8);
        if (s < 256) return code(400 + s - 144, 9);
        if (s < 280) return code(s - 256, 7);
        return code(192 + s - 280, 8);
    }
    BitWriter& align() {
        used = 0;
        return *this;
    }
    BitWriter& raw(std::initializer_list<uint8_t> more) {
        used = 0;
        bytes.insert(bytes.end(), more);
        return *this;
    }
    Bytes bytes;

  private:
    unsigned used = 0;
};

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

void expectSame(const Bytes& stream, size_t refuseAt = 0) {
    Outcome product = inflateProduct(stream, refuseAt), reference = inflateReference(stream, refuseAt);
    ASSERT_EQ(product.result, reference.result);
    ASSERT_EQ(product.messages, reference.messages);
    ASSERT_EQ(product.bytes, reference.bytes);
}

// ---------------------------------------------------------------- stream header

TEST(Inflate, HeaderFailures) {
    Outcome o = inflateProduct({0x77, 0x01, 0x03, 0x00});
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.messages.empty());
    EXPECT_TRUE(o.bytes.empty());

    o = inflateProduct({0x78, 0x20, 0x03, 0x00});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, std::vector<std::string>{"PNG is not supposed to have a preset dictionary."});

    // Streams shorter than the header fail without reading past them.
    EXPECT_EQ(inflateProduct({}).result, 0);
    EXPECT_EQ(inflateProduct({0x78}).result, 0);
    o = inflateProduct({0x78, 0x9c});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, std::vector<std::string>{"Buffer overflow"});
}

TEST(Inflate, BlockHeaderFailures) {
    Outcome o = inflateProduct(BitWriter().put(1, 1).put(3, 2).put(0, 5).bytes);
    EXPECT_EQ(o.messages, std::vector<std::string>{"Unknown compression type (bType=3)"});
    EXPECT_EQ(o.result, 0);

    // The header's three bits end exactly at the end of the input.
    o = inflateProduct(BitWriter().put(0, 5).put(1, 1).put(1, 2).bytes);
    EXPECT_EQ(o.messages, std::vector<std::string>{"Buffer overflow"});
}

// ---------------------------------------------------------------- stored blocks

TEST(Inflate, StoredBlocks) {
    // An empty stored block, then "abc" in a final stored block, then an ignored trailer.
    BitWriter w;
    w.put(0, 1).put(0, 2).raw({0, 0, 0xff, 0xff});
    w.put(1, 1).put(0, 2).raw({3, 0, 0xfc, 0xff, 'a', 'b', 'c', 1, 2, 3, 4});
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.bytes, text("abc"));
    EXPECT_TRUE(o.messages.empty());
    expectSame(w.bytes);

    // A stored block whose header ends exactly on a byte boundary reads LEN from that boundary:
    // a fixed block of 3 + 3 * 9 + 7 bits, then the stored header's 3 bits end at bit 40.
    BitWriter exact;
    exact.put(0, 1).put(1, 2).fixedLiteral(200).fixedLiteral(201).fixedLiteral(202).fixedLiteral(256);
    exact.put(1, 1).put(0, 2);
    ASSERT_EQ(exact.bytes.size(), 7u);
    exact.raw({1, 0, 0xfe, 0xff, 'q'});
    o = inflateProduct(exact.bytes);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.bytes, (Bytes{200, 201, 202, 'q'}));
    expectSame(exact.bytes);
}

TEST(Inflate, TruncatedStoredBlocks) {
    // The stored data runs past the input: the bytes present are delivered, then it fails.
    Outcome o = inflateProduct(BitWriter().put(1, 1).put(0, 2).raw({5, 0, 0xfa, 0xff, 'a', 'b'}).bytes);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.bytes, text("ab"));
    EXPECT_TRUE(o.messages.empty());
    // LEN cut short.
    o = inflateProduct(BitWriter().put(1, 1).put(0, 2).raw({5, 0}).bytes);
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.messages.empty());
    // Nothing after the aligned header.
    o = inflateProduct(BitWriter().put(0, 1).put(0, 2).put(0, 4).bytes);
    EXPECT_EQ(o.messages, std::vector<std::string>{"Buffer overflow"});
}

// ---------------------------------------------------------------- fixed codes and matches

TEST(Inflate, FixedBlockWithOverlappingMatchAndSkippedSymbols) {
    BitWriter w;
    w.put(1, 1).put(1, 2).fixedLiteral('a').fixedLiteral(286).fixedLiteral(287).fixedLiteral('b');
    w.fixedLiteral(285).code(0, 5);  // length 258, distance code 0: distance 1
    w.fixedLiteral(257).code(1, 5);  // length 3, distance 2
    w.fixedLiteral(256);
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 1);
    Bytes expected = text("ab");
    expected.insert(expected.end(), 258, 'b');
    expected.insert(expected.end(), {'b', 'b', 'b'});
    EXPECT_EQ(o.bytes, expected);
    expectSame(w.bytes);
}

TEST(Inflate, LengthAndDistanceExtraBits) {
    // Length symbol 284 with extra 30 is 227 + 30 = 257; distance code 29 with extra 8191 is 32768.
    BitWriter w;
    w.put(1, 1).put(1, 2);
    for (int i = 0; i < 4; i++) w.fixedLiteral('0' + i);
    w.fixedLiteral(284).put(30, 5).code(29, 5).put(8191, 13).fixedLiteral(256);
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 1);
    ASSERT_EQ(o.bytes.size(), 4u + 257u);
    // The window is 32 KiB and only 4 bytes were written: the match reads 32764 zeros back, then
    // wraps onto the bytes written so far.
    EXPECT_EQ(o.bytes[4], 0);
    EXPECT_EQ(o.bytes.back(), 0);
    expectSame(w.bytes);
}

TEST(Inflate, SmallWindowsWrapDistances) {
    // CINFO 0: a 256-byte window. Distance 257 (code 16, extra 0) reads the byte at distance 1.
    BitWriter w(0x08, 0x1d);
    w.put(1, 1).put(1, 2).fixedLiteral('p').fixedLiteral('q');
    w.fixedLiteral(257).code(16, 5).put(0, 7).fixedLiteral(256);
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.bytes, text("pqqqq"));
    expectSame(w.bytes);
    // CINFO 8 (above the standard's 7) is not rejected and gives a 64 KiB window: distance 257 is
    // then before the first byte and reads zeros.
    BitWriter big(0x88, 0x1d);
    big.put(1, 1).put(1, 2).fixedLiteral('p').fixedLiteral('q');
    big.fixedLiteral(257).code(16, 5).put(0, 7).fixedLiteral(256);
    o = inflateProduct(big.bytes);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.bytes, (Bytes{'p', 'q', 0, 0, 0}));
}

TEST(Inflate, RefusingSinkStopsAtOnce) {
    BitWriter w;
    w.put(1, 1).put(1, 2).fixedLiteral('a').fixedLiteral(285).code(0, 5).fixedLiteral(256);
    Outcome o = inflateProduct(w.bytes, 10);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.bytes.size(), 10u);
    EXPECT_TRUE(o.messages.empty());
    for (size_t refuse : {1, 2, 258, 259, 260}) expectSame(w.bytes, refuse);
}

TEST(Inflate, InputEndingInsideACompressedBlockFailsQuietly) {
    BitWriter w;
    w.put(1, 1).put(1, 2).fixedLiteral('a').fixedLiteral('b').fixedLiteral(285);
    Bytes cut = w.bytes;
    Outcome o = inflateProduct(cut);
    EXPECT_EQ(o.result, 0);
    ASSERT_GE(o.bytes.size(), 2u);
    EXPECT_EQ(Bytes(o.bytes.begin(), o.bytes.begin() + 2), text("ab"));
    EXPECT_TRUE(o.messages.empty());
    for (size_t n = 2; n <= cut.size(); n++) expectSame(Bytes(cut.begin(), cut.begin() + n));
}

// ---------------------------------------------------------------- dynamic codes

// A dynamic block header: code-length code lengths (in natural order), then the lengths sent
// literally (no run codes), with a code-length code of 4 bits for every symbol 0..15.
BitWriter dynamicHeader(const std::vector<unsigned>& lit, const std::vector<unsigned>& dist,
                        bool final = true) {
    BitWriter w;
    w.put(final, 1).put(2, 2).put(unsigned(lit.size() - 257), 5).put(unsigned(dist.size() - 1), 5).put(15, 4);
    static const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (unsigned i = 0; i < 19; i++) w.put(order[i] <= 15 ? 4 : 0, 3);
    // Symbols 0..15 of length 4 get codes 0..15.
    for (unsigned l : lit) w.code(l, 4);
    for (unsigned l : dist) w.code(l, 4);
    return w;
}

TEST(Inflate, IncompleteDynamicCodeReachesNullNode) {
    // Literal/length code: 'A' = 0, end of block = 10, code 11 unused (incomplete).
    std::vector<unsigned> lit(258, 0), dist(1, 0);
    lit['A'] = 1;
    lit[256] = 2;
    BitWriter w = dynamicHeader(lit, dist);
    w.code(0, 1).code(0, 1).code(3, 2);
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.bytes, text("AA"));
    EXPECT_EQ(o.messages, std::vector<std::string>{"Huffman Decompression: Reached NULL node."});
    expectSame(w.bytes);

    // A match in a block whose distance code has no codes at all fails the same way.
    lit[257] = 2;
    BitWriter m = dynamicHeader(lit, dist);
    m.code(0, 1).code(3, 2).put(0, 8);
    o = inflateProduct(m.bytes);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.bytes, text("A"));
    EXPECT_EQ(o.messages, std::vector<std::string>{"Huffman Decompression: Reached NULL node."});
    expectSame(m.bytes);
}

TEST(Inflate, MalformedDynamicHeadersFailCleanly) {
    // A repeat (16) as the very first code length.
    BitWriter first;
    first.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    first.put(1, 3).put(0, 3).put(0, 3).put(0, 3);  // only symbol 16 has a code (length 1: code 0)
    first.code(0, 1).put(0, 2).put(0, 8);
    Outcome o = inflateProduct(first.bytes);
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(o.bytes.empty());
    expectSame(first.bytes);

    // A run of zeros past the last length: 18 with 138 zeros, three times, for 258 lengths.
    BitWriter run;
    run.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    run.put(0, 3).put(0, 3).put(1, 3).put(0, 3);  // only symbol 18 has a code
    for (int i = 0; i < 3; i++) run.code(0, 1).put(127, 7);
    run.put(0, 8);
    o = inflateProduct(run.bytes);
    EXPECT_EQ(o.result, 0);
    expectSame(run.bytes);

    // A code-length code with no codes at all.
    BitWriter none;
    none.put(1, 1).put(2, 2).put(0, 14).put(0, 12).put(0, 16);
    o = inflateProduct(none.bytes);
    EXPECT_EQ(o.result, 0);
    expectSame(none.bytes);
}

TEST(Inflate, DistanceCodes30And31UseTheSameFormula) {
    // Code 30: 14 extra bits, 1 + (4 << 13) + 0 + e = 32769 + e. Distances beyond the window wrap.
    std::vector<unsigned> lit(258, 0), dist(32, 0);
    lit['A'] = 1;
    lit[256] = 2;
    lit[257] = 2;
    dist[30] = 1;
    dist[31] = 1;
    BitWriter w = dynamicHeader(lit, dist);
    w.code(0, 1).code(3, 2).code(0, 1).put(0, 14).code(2, 2);  // 'A', match 3 at distance 32769 (= 1)
    Outcome o = inflateProduct(w.bytes);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.bytes, text("AAAA"));
    expectSame(w.bytes);
}

// ---------------------------------------------------------------- the lookup-table decoder against the plain
// one

#ifdef PIXMILL_HAVE_ZLIB
Bytes zlibCompress(const Bytes& in, int level, int windowBits, int memLevel, int strategy) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy);
    Bytes out(deflateBound(&z, in.size()) + 16);
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Text-like, run-heavy and random data, so that every code length and match kind occurs.
Bytes sampleData(std::mt19937& rng, size_t size) {
    Bytes d(size);
    int kind = rng() % 3;
    for (size_t i = 0; i < size; i++) {
        if (kind == 0)
            d[i] = uint8_t("the quick brown fox jumps "[rng() % 26]);
        else if (kind == 1)
            d[i] = i > 0 && rng() % 8 ? d[i - 1] : uint8_t(rng() % 4);
        else
            d[i] = uint8_t(rng());
    }
    return d;
}

TEST(Inflate, ZlibStreamsRoundTrip) {
    std::mt19937 rng(7);
    for (int level : {0, 1, 6, 9}) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
            for (int windowBits : {8, 9, 12, 15}) {
                Bytes data = sampleData(rng, 1 + rng() % 70000);
                Bytes stream = zlibCompress(data, level, windowBits, 8, strategy);
                Outcome o = inflateProduct(stream);
                ASSERT_EQ(o.result, 1) << level << " " << strategy << " " << windowBits;
                ASSERT_EQ(o.bytes, data);
                ASSERT_TRUE(o.messages.empty());
            }
        }
    }
}

// Steeply skewed data makes Huffman codes of up to 15 bits, longer than the decoding table.
TEST(Inflate, LongCodesMatchThePlainTreeWalk) {
    std::mt19937 rng(13);
    Bytes data(60000);
    for (auto& b : data) {
        int v = 0;
        while (v < 40 && rng() % 3 != 0) v++;
        b = uint8_t(v * 5);
    }
    for (int strategy : {Z_HUFFMAN_ONLY, Z_DEFAULT_STRATEGY}) {
        Bytes stream = zlibCompress(data, 9, 15, 9, strategy);
        Outcome o = inflateProduct(stream);
        ASSERT_EQ(o.result, 1);
        ASSERT_EQ(o.bytes, data);
        for (int cut = 0; cut < 20; cut++) {
            Bytes part(stream.begin(), stream.begin() + 2 + rng() % (stream.size() - 2));
            part[2 + rng() % (part.size() - 2)] ^= uint8_t(1u << (rng() % 8));
            expectSame(part);
        }
    }
}

TEST(Inflate, MatchesThePlainTreeWalkOnMutatedStreams) {
    std::mt19937 rng(11);
    for (int round = 0; round < 600; round++) {
        Bytes data = sampleData(rng, 1 + rng() % 3000);
        int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE};
        Bytes stream = zlibCompress(data, 1 + rng() % 9, 8 + rng() % 8, 1 + rng() % 9, strategies[rng() % 4]);
        // Flip bits, cut the end, or both; some rounds keep the stream intact.
        int flips = rng() % 4;
        for (int i = 0; i < flips; i++) stream[2 + rng() % (stream.size() - 2)] ^= uint8_t(1u << (rng() % 8));
        if (rng() % 3 == 0) stream.resize(2 + rng() % (stream.size() - 1));
        size_t refuseAt = rng() % 5 == 0 ? 1 + rng() % (data.size() + 10) : 0;
        SCOPED_TRACE(round);
        expectSame(stream, refuseAt);
    }
}
#endif

TEST(Inflate, MatchesThePlainTreeWalkOnRandomBytes) {
    std::mt19937 rng(3);
    for (int round = 0; round < 3000; round++) {
        Bytes stream(3 + rng() % 200);
        for (auto& b : stream) b = uint8_t(rng());
        stream[0] = uint8_t((rng() % 9) << 4 | 8);  // windows up to 64 KiB keep this quick
        stream[1] &= 0xdf;
        // Mostly dynamic or fixed blocks: random bytes rarely make a usable dynamic header otherwise.
        stream[2] = uint8_t((stream[2] & ~6) | (rng() % 2 ? 4 : 2));
        SCOPED_TRACE(round);
        expectSame(stream, rng() % 4 == 0 ? 1 + rng() % 50 : 0);
    }
}

// The canonical code assignment against RFC 1951's worked example.
TEST(Inflate, CanonicalCodes) {
    KpPngUncompressor u(nullptr);
    unsigned lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4}, out[8], codes[8];
    u.MakeDynamicHuffmanCode(out, codes, 8, lengths);
    const unsigned expected[8] = {2, 3, 4, 5, 6, 0, 14, 15};  // RFC 1951 section 3.2.2 example
    for (int i = 0; i < 8; i++) EXPECT_EQ(codes[i], expected[i]);
}

}  // namespace
