// SPDX-License-Identifier: MIT
// bmpsuite: the result of every file, good, questionable and bad, pinned in a table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "testsupport.h"

namespace {

struct SuiteFile {
    const char* name;
    long size;  // of the file, so that a changed suite shows up here
    bool decoded;
    int width, height, mode;
    uint64_t pixelHash;  // FNV-1a 64 over the picture's bytes
};

// Decoded files were checked against the suite's renderings (see below) or, where it has none, the
// file's own bytes. Files of one image decode to one hash: the 8-bit palette files in every header
// and storage order (including OS/2, RLE8 and b/rletopdown, which stores the same data top-down),
// the 24- and 32-bit files in every channel layout, the alpha files in every layout. Undefined
// pixels of the RLE files are black, an index past the palette is black, a field with no mask bits
// (b/rgb16-880) reads 0. Refused: depths and compressions that hold no plain pixels (64 bits,
// JPEG, PNG, OS/2 Huffman and RLE24), palettes of more than 256 colours, header sizes no BMP
// version has, and the OS/2 bitmap array.
const SuiteFile kSuite[] = {
    {"b/badbitcount.bmp", 1086, false, 0, 0, 0, 0},
    {"b/badbitssize.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"b/baddens1.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"b/baddens2.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"b/badfilesize.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"b/badheadersize.bmp", 1112, false, 0, 0, 0, 0},
    {"b/badpalettesize.bmp", 9254, false, 0, 0, 0, 0},
    {"b/badplanes.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"b/badrle.bmp", 9212, true, 127, 64, 0, 0x374d9d7bdcc0b6e6ull},
    {"b/badrle4.bmp", 4326, true, 127, 64, 0, 0x7d6562afc286d11aull},
    {"b/badrle4bis.bmp", 4326, true, 127, 64, 0, 0x2ad40467995d7211ull},
    {"b/badrle4ter.bmp", 4326, true, 127, 64, 0, 0x8d806e7131e1bafcull},
    {"b/badrlebis.bmp", 9212, true, 127, 64, 0, 0x0cae6a00f118a323ull},
    {"b/badrleter.bmp", 9212, true, 127, 64, 0, 0x48fc4f982a584837ull},
    {"b/badwidth.bmp", 1086, false, 0, 0, 0, 0},
    {"b/pal8badindex.bmp", 8650, true, 127, 64, 0, 0x6e5e10ea1c7f618bull},
    {"b/reallybig.bmp", 24630, false, 0, 0, 0, 0},
    {"b/rgb16-880.bmp", 16450, true, 127, 64, 0, 0x0cc969d8b9287b06ull},
    {"b/rletopdown.bmp", 8788, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"b/shortfile.bmp", 273, true, 127, 64, 0, 0x6f8c61f2bafd27acull},
    {"g/pal1.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"g/pal1bg.bmp", 1086, true, 127, 64, 0, 0xb759958365baa33dull},
    {"g/pal1wb.bmp", 1086, true, 127, 64, 0, 0xd595c7961111dc45ull},
    {"g/pal4.bmp", 4198, true, 127, 64, 0, 0xfbf74d9971b59db5ull},
    {"g/pal4gs.bmp", 4198, true, 127, 64, 0, 0x7256ea0695bf1aa6ull},
    {"g/pal4rle.bmp", 3836, true, 127, 64, 0, 0xfbf74d9971b59db5ull},
    {"g/pal8-0.bmp", 9270, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8.bmp", 9254, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8gs.bmp", 9254, true, 127, 64, 0, 0x3e29fc8264aa404bull},
    {"g/pal8nonsquare.bmp", 5158, true, 127, 32, 0, 0x34bc3dc1a4b1a228ull},
    {"g/pal8os2.bmp", 8986, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8rle.bmp", 8788, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8topdown.bmp", 9254, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8v4.bmp", 9322, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8v5.bmp", 9338, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8w124.bmp", 8626, true, 124, 61, 0, 0x58c0c11e01ad9cd5ull},
    {"g/pal8w125.bmp", 8998, true, 125, 62, 0, 0x7efd2a7f8e82da23ull},
    {"g/pal8w126.bmp", 9126, true, 126, 63, 0, 0x4af5008054b76b91ull},
    {"g/rgb16-565.bmp", 16450, true, 127, 64, 0, 0x82dc78b241fca6c2ull},
    {"g/rgb16-565pal.bmp", 17474, true, 127, 64, 0, 0x82dc78b241fca6c2ull},
    {"g/rgb16.bmp", 16438, true, 127, 64, 0, 0x296296f6c78afadcull},
    {"g/rgb16bfdef.bmp", 16450, true, 127, 64, 0, 0x296296f6c78afadcull},
    {"g/rgb24.bmp", 24630, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb24pal.bmp", 25654, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb32.bmp", 32566, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb32bf.bmp", 32578, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb32bfdef.bmp", 32578, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/pal1huffmsb.bmp", 2160, false, 0, 0, 0, 0},
    {"q/pal1p1.bmp", 1082, true, 127, 64, 0, 0x11275fa0d85db525ull},
    {"q/pal2.bmp", 2118, true, 127, 64, 0, 0xd1d774b85b884a17ull},
    {"q/pal2color.bmp", 2118, true, 127, 64, 0, 0x90452854eec66d0aull},
    {"q/pal4rlecut.bmp", 3610, true, 127, 64, 0, 0x43783bb3691e8f45ull},
    {"q/pal4rletrns.bmp", 4326, true, 127, 64, 0, 0x75d2818c8bb2925dull},
    {"q/pal8offs.bmp", 9354, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2-hs.bmp", 8986, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2-sz.bmp", 8986, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2sp.bmp", 8974, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2v2-16.bmp", 9246, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2v2-40sz.bmp", 9254, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2v2-sz.bmp", 9278, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8os2v2.bmp", 9278, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"q/pal8oversizepal.bmp", 9446, false, 0, 0, 0, 0},
    {"q/pal8rlecut.bmp", 7980, true, 127, 64, 0, 0x0b6802959b71f1b9ull},
    {"q/pal8rletrns.bmp", 9212, true, 127, 64, 0, 0x881b66d117c39ec8ull},
    {"q/rgb16-231.bmp", 16450, true, 127, 64, 0, 0x183f0a359ca36c9cull},
    {"q/rgb16-3103.bmp", 16450, true, 127, 64, 0, 0x38e714588b098853ull},
    {"q/rgb16faketrns.bmp", 16438, true, 127, 64, 0, 0x296296f6c78afadcull},
    {"q/rgb24jpeg.bmp", 2457, false, 0, 0, 0, 0},
    {"q/rgb24largepal.bmp", 25830, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgb24lprof.bmp", 24743, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgb24png.bmp", 1210, false, 0, 0, 0, 0},
    {"q/rgb24prof.bmp", 27782, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgb24prof2.bmp", 25254, true, 127, 64, 0, 0xb393300e71853fe9ull},
    {"q/rgb24rle24.bmp", 21432, false, 0, 0, 0, 0},
    {"q/rgb32-111110.bmp", 32578, true, 127, 64, 0, 0xddd14cebe3febfa9ull},
    {"q/rgb32-7187.bmp", 32578, true, 127, 64, 0, 0x7f3ac9bdfe8b7483ull},
    {"q/rgb32-xbgr.bmp", 32650, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgb32fakealpha.bmp", 32566, true, 127, 64, 2, 0x08b6ac39eac8fdbfull},
    {"q/rgb32h52.bmp", 32578, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgba16-1924.bmp", 16522, true, 127, 64, 2, 0xc8507f55a97ef38dull},
    {"q/rgba16-4444.bmp", 16522, true, 127, 64, 2, 0xa375cf7b85ea9978ull},
    {"q/rgba16-5551.bmp", 16522, true, 127, 64, 1, 0xc2885bf1e34abb48ull},
    {"q/rgba32-1.bmp", 32650, true, 127, 64, 2, 0x6a5e1f8c8e4b5cadull},
    {"q/rgba32-1010102.bmp", 32650, true, 127, 64, 2, 0xc8e4742aaac4959dull},
    {"q/rgba32-2.bmp", 32650, true, 127, 64, 2, 0x6a5e1f8c8e4b5cadull},
    {"q/rgba32-61754.bmp", 32650, true, 127, 64, 2, 0x23a5f70593ecf793ull},
    {"q/rgba32-81284.bmp", 32650, true, 127, 64, 2, 0x1c699edcc601bf85ull},
    {"q/rgba32abf.bmp", 32582, true, 127, 64, 2, 0x6a5e1f8c8e4b5cadull},
    {"q/rgba32h56.bmp", 32582, true, 127, 64, 2, 0x6a5e1f8c8e4b5cadull},
    {"q/rgba64.bmp", 65078, false, 0, 0, 0, 0},
    {"x/ba-bm.bmp", 9000, false, 0, 0, 0, 0},
};

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace

TEST(BmpSuite, EveryFileGivesItsRecordedResult) {
    std::string root = testdataDir();
    if (root.empty()) GTEST_SKIP() << "no conformance data";
    root += "/bmpsuite/";
    struct stat info;
    if (stat(root.c_str(), &info) != 0) GTEST_SKIP() << "no bmpsuite";
    for (const SuiteFile& f : kSuite) {
        SCOPED_TRACE(f.name);
        std::string path = root + f.name;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_size, f.size);
        CPicture pic;
        pic.loadFromBMP(path);
        EXPECT_EQ(!pic.isEmpty(), f.decoded);
        if (!f.decoded) continue;
        EXPECT_EQ(pic.width, f.width);
        EXPECT_EQ(pic.height, f.height);
        // The size the engine plans memory by is the one the reader decodes.
        int32_t declaredW = 0, declaredH = 0;
        bool whole = false;
        EXPECT_TRUE(declaredSize(path, declaredW, declaredH, whole));
        EXPECT_EQ(declaredW, pic.width);
        EXPECT_EQ(declaredH, pic.height);
        EXPECT_EQ(pic.transparencyMode, f.mode);
        EXPECT_EQ(fnv1a(pic.pixels, size_t(pic.width) * pic.height * 4), f.pixelHash);
    }
}

// A field of n bits as 8: its bits repeated from the top down.
uint8_t replicated(unsigned v, int n) {
    unsigned out = 0;
    for (int i = 0; i < 8; ++i) out = out << 1 | ((v >> (n - 1 - i % n)) & 1);
    return uint8_t(out);
}

// The suite's own renderings of the good files, read by our PNG decoder, give every pixel's blue,
// green and red (they are opaque; byte 3 is not compared). The renderings scale a narrow field v to
// round(v * 255 / max), where the reader repeats the field's bits (v = 3 of 5 bits: 25 against 24),
// so each channel of n bits is compared as the reader's widening of the field the rendering shows.
TEST(BmpSuite, GoodFilesMatchTheSuiteRenderings) {
    std::string root = testdataDir();
    if (root.empty()) GTEST_SKIP() << "no conformance data";
    root += "/bmpsuite/";
    struct stat info;
    if (stat((root + "g").c_str(), &info) != 0 || stat((root + "html").c_str(), &info) != 0)
        GTEST_SKIP() << "no bmpsuite renderings";
    struct Good {
        const char *bmp, *png;
        int blueBits = 8, greenBits = 8, redBits = 8;
    };
    const Good kGood[] = {
        {"pal1", "pal1"},         {"pal1bg", "pal1bg"},           {"pal1wb", "pal1"},
        {"pal4", "pal4"},         {"pal4gs", "pal4gs"},           {"pal4rle", "pal4"},
        {"pal8-0", "pal8"},       {"pal8", "pal8"},               {"pal8gs", "pal8gs"},
        {"pal8nonsquare", "pal8nonsquare-e"},                     {"pal8os2", "pal8"},
        {"pal8rle", "pal8"},      {"pal8topdown", "pal8"},        {"pal8v4", "pal8"},
        {"pal8v5", "pal8"},       {"pal8w124", "pal8w124"},       {"pal8w125", "pal8w125"},
        {"pal8w126", "pal8w126"}, {"rgb16-565", "rgb16-565", 5, 6, 5},
        {"rgb16-565pal", "rgb16-565", 5, 6, 5},                   {"rgb16", "rgb16", 5, 5, 5},
        {"rgb16bfdef", "rgb16", 5, 5, 5},                         {"rgb24", "rgb24"},
        {"rgb24pal", "rgb24"},    {"rgb32", "rgb24"},             {"rgb32bf", "rgb24"},
        {"rgb32bfdef", "rgb24"},
    };
    int matching = 0;
    for (const Good& g : kGood) {
        SCOPED_TRACE(g.bmp);
        CPicture pic, want;
        pic.load(root + "g/" + g.bmp + ".bmp");
        want.load(root + "html/" + g.png + ".png");
        ASSERT_FALSE(want.isEmpty());
        ASSERT_EQ(pic.width, want.width);
        ASSERT_EQ(pic.height, want.height);
        EXPECT_EQ(pic.transparencyMode, TRANSPARENCY_NONE);
        const int bits[3] = {g.blueBits, g.greenBits, g.redBits};
        int differing = 0;
        for (size_t i = 0; i < size_t(pic.width) * pic.height * 4; ++i) {
            const int n = bits[i % 4 == 3 ? 0 : i % 4], max = (1 << n) - 1;
            if (i % 4 != 3) differing += pic.pixels[i] != replicated((want.pixels[i] * max + 127) / 255, n);
        }
        EXPECT_EQ(differing, 0);
        matching += differing == 0;
    }
    EXPECT_EQ(matching, 27);
}
