// SPDX-License-Identifier: MIT
// The deflate compressor: its streams inflate to their input through our inflater and through zlib.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "picture/Deflate.h"
#include "picture/kppng.h"

#ifdef PIXMILL_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

class Collect : public KpGenericPngDecoder {
  public:
    int Output(unsigned char byte) override {
        bytes.push_back(byte);
        return 1;
    }
    Bytes bytes;
};

// Compresses, then inflates with both inflaters; both must give the input back.
void expectRoundTrip(const Bytes& input, const std::string& what) {
    Bytes z = zlibCompress(input.data(), input.size());
    Collect ours;
    KpPngUncompressor inflater(&ours);
    EXPECT_EQ(inflater.Uncompress(unsigned(z.size()), z.data()), 1) << what;
    EXPECT_TRUE(ours.bytes == input) << what;
#ifdef PIXMILL_HAVE_ZLIB
    Bytes back(input.size() + 1);
    uLongf n = back.size();
    EXPECT_EQ(uncompress(back.data(), &n, z.data(), z.size()), Z_OK) << what;
    back.resize(n);
    EXPECT_TRUE(back == input) << what;
#endif
}

Bytes randomBytes(size_t n, unsigned seed, int alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& v : b) v = uint8_t(rng() % unsigned(alphabet));
    return b;
}

TEST(Deflate, RoundTripsRandomRepetitiveAndIncompressibleData) {
    expectRoundTrip({}, "empty");
    expectRoundTrip({42}, "one byte");
    expectRoundTrip({1, 2}, "two bytes");
    expectRoundTrip(Bytes(100000, 7), "one value");
    expectRoundTrip(randomBytes(300000, 1), "incompressible");
    expectRoundTrip(randomBytes(200000, 2, 4), "four symbols");
    Bytes text;
    const std::string words[] = {"pixel ", "row ", "filter ", "deflate ", "window "};
    std::mt19937 rng(3);
    while (text.size() < 250000) {
        const std::string& w = words[rng() % 5];
        text.insert(text.end(), w.begin(), w.end());
    }
    expectRoundTrip(text, "words");
    // Random data with long repeats at random distances: every length and distance code.
    Bytes mixed = randomBytes(400000, 4);
    for (size_t at = 40000; at + 300 < mixed.size(); at += 997) {
        size_t len = 3 + rng() % 256, dist = 1 + rng() % 32768;
        for (size_t i = 0; i < len; i++) mixed[at + i] = mixed[at + i - dist];
    }
    expectRoundTrip(mixed, "mixed");
}

TEST(Deflate, StoredBlockAndMatchEdges) {
    // Stored blocks hold at most 65535 bytes: incompressible runs around multiples of it.
    for (size_t n : {65534u, 65535u, 65536u, 131070u, 131071u})
        expectRoundTrip(randomBytes(n, unsigned(n)), "stored");
    // A block of random data that repeats exactly 32768 bytes later: matches of the farthest distance.
    Bytes far = randomBytes(32768, 5);
    Bytes twice = far;
    twice.insert(twice.end(), far.begin(), far.end());
    Bytes z = zlibCompress(twice.data(), twice.size());
    EXPECT_LT(z.size(), 32768u + 2000u);  // the second copy costs almost nothing
    expectRoundTrip(twice, "distance 32768");
    // A copy 32769 bytes later is out of reach and must not be found.
    Bytes beyond = randomBytes(32769, 6);
    beyond.insert(beyond.end(), beyond.begin(), beyond.begin() + 1000);
    expectRoundTrip(beyond, "distance 32769");
    // Runs whose lengths sit around the longest match, 258.
    for (size_t len : {257u, 258u, 259u, 516u, 517u}) {
        Bytes run = randomBytes(50, unsigned(len));
        run.insert(run.end(), len, 9);
        run.push_back(1);
        expectRoundTrip(run, "run " + std::to_string(len));
    }
}

TEST(Deflate, ChecksumsMatchTheStandardValues) {
    const std::string s = "123456789";
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    EXPECT_EQ(updateCrc32(0, p, s.size()), 0xCBF43926u);
    EXPECT_EQ(updateCrc32(updateCrc32(0, p, 4), p + 4, 5), 0xCBF43926u);
    EXPECT_EQ(updateAdler32(1, p, s.size()), 0x091E01DEu);
    Bytes big(100000, 255);
    EXPECT_EQ(updateAdler32(updateAdler32(1, big.data(), 6000), big.data() + 6000, big.size() - 6000),
              updateAdler32(1, big.data(), big.size()));
#ifdef PIXMILL_HAVE_ZLIB
    // Word-wise paths and their byte tails, from any running value, split anywhere; all-255
    // bytes are the most the sums can overflow by.
    std::mt19937 rng(9);
    for (int round = 0; round < 300; round++) {
        const Bytes b = round % 3 ? randomBytes(rng() % 20000, rng()) : Bytes(rng() % 20000, 255);
        const size_t cut = b.empty() ? 0 : rng() % b.size();
        const uint32_t adler = (rng() % 65521) | (rng() % 65521) << 16, crc = uint32_t(rng());
        EXPECT_EQ(updateAdler32(updateAdler32(adler, b.data(), cut), b.data() + cut, b.size() - cut),
                  adler32(adler, b.data(), unsigned(b.size())));
        EXPECT_EQ(updateCrc32(updateCrc32(crc, b.data(), cut), b.data() + cut, b.size() - cut),
                  crc32(crc, b.data(), unsigned(b.size())));
    }
#endif
}

#ifdef PIXMILL_HAVE_ZLIB
size_t zlibSize(const Bytes& input) {
    uLongf n = compressBound(uLong(input.size()));
    Bytes z(n);
    EXPECT_EQ(compress2(z.data(), &n, input.data(), uLong(input.size()), 6), Z_OK);
    return n;
}

// Data like filtered picture rows, against zlib's default level: photographs' small differences
// (where literals beat most short matches), grey photographs (each difference three times) and
// graphics (rows of few colours, repeated). The stream is at most 5% larger on each.
TEST(Deflate, NoLargerThanZlibOnPictureLikeData) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 6);
    Bytes photo(400000), grey, graphic;
    for (uint8_t& v : photo) v = uint8_t(int(std::lround(noise(rng))));
    for (size_t i = 0; i < photo.size() / 3; i++) grey.insert(grey.end(), 3, photo[i]);
    const Bytes colours = randomBytes(24, 8);
    while (graphic.size() < 400000) {
        Bytes row;
        for (size_t x = 0; x < 600; x += 1 + rng() % 40) row.insert(row.end(), 3 * (1 + rng() % 40), colours[rng() % 24]);
        for (unsigned copies = 1 + rng() % 8; copies > 0; copies--) graphic.insert(graphic.end(), row.begin(), row.end());
    }
    for (const Bytes* data : {&photo, &grey, &graphic}) {
        expectRoundTrip(*data, "picture-like");
        EXPECT_LE(double(zlibCompress(data->data(), data->size()).size()), 1.05 * double(zlibSize(*data)))
            << (data == &photo ? "photo" : data == &grey ? "grey" : "graphic");
    }
}
#endif

}  // namespace
