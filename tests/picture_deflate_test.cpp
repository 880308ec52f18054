// The deflate compressor: its streams inflate to their input through our inflater and through zlib.
#include <gtest/gtest.h>

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
}

}  // namespace
