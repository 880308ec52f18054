// bmpsuite: the result of every file, good, questionable and bad, pinned in a table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

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

// Decoded files were checked offline against an independent decoder (colour bytes) and the file's
// own bytes (byte 3): g/rgb24, g/rgb24pal, g/rgb32 and q/rgb24largepal are the same image;
// g/pal8rle and b/rletopdown (the same data stored top-down) decode to one image. q/pal8rlecut and
// q/pal8rletrns match the suite's reference rendering with undefined pixels black. Everything the
// reader does not take (other depths, bit fields, other header sizes, OS/2) is refused.
const SuiteFile kSuite[] = {
    {"b/badbitcount.bmp", 1086, false, 0, 0, 0, 0},
    {"b/badbitssize.bmp", 1086, false, 0, 0, 0, 0},
    {"b/baddens1.bmp", 1086, false, 0, 0, 0, 0},
    {"b/baddens2.bmp", 1086, false, 0, 0, 0, 0},
    {"b/badfilesize.bmp", 1086, false, 0, 0, 0, 0},
    {"b/badheadersize.bmp", 1112, false, 0, 0, 0, 0},
    {"b/badpalettesize.bmp", 9254, false, 0, 0, 0, 0},
    {"b/badplanes.bmp", 1086, false, 0, 0, 0, 0},
    {"b/badrle.bmp", 9212, true, 127, 64, 0, 0x374d9d7bdcc0b6e6ull},
    {"b/badrle4.bmp", 4326, false, 0, 0, 0, 0},
    {"b/badrle4bis.bmp", 4326, false, 0, 0, 0, 0},
    {"b/badrle4ter.bmp", 4326, false, 0, 0, 0, 0},
    {"b/badrlebis.bmp", 9212, true, 127, 64, 0, 0x0cae6a00f118a323ull},
    {"b/badrleter.bmp", 9212, true, 127, 64, 0, 0x48fc4f982a584837ull},
    {"b/badwidth.bmp", 1086, false, 0, 0, 0, 0},
    {"b/pal8badindex.bmp", 8650, false, 0, 0, 0, 0},
    {"b/reallybig.bmp", 24630, false, 0, 0, 0, 0},
    {"b/rgb16-880.bmp", 16450, false, 0, 0, 0, 0},
    {"b/rletopdown.bmp", 8788, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"b/shortfile.bmp", 273, false, 0, 0, 0, 0},
    {"g/pal1.bmp", 1086, false, 0, 0, 0, 0},
    {"g/pal1bg.bmp", 1086, false, 0, 0, 0, 0},
    {"g/pal1wb.bmp", 1086, false, 0, 0, 0, 0},
    {"g/pal4.bmp", 4198, false, 0, 0, 0, 0},
    {"g/pal4gs.bmp", 4198, false, 0, 0, 0, 0},
    {"g/pal4rle.bmp", 3836, false, 0, 0, 0, 0},
    {"g/pal8-0.bmp", 9270, false, 0, 0, 0, 0},
    {"g/pal8.bmp", 9254, false, 0, 0, 0, 0},
    {"g/pal8gs.bmp", 9254, false, 0, 0, 0, 0},
    {"g/pal8nonsquare.bmp", 5158, false, 0, 0, 0, 0},
    {"g/pal8os2.bmp", 8986, false, 0, 0, 0, 0},
    {"g/pal8rle.bmp", 8788, true, 127, 64, 0, 0x790d2469b73c9fa4ull},
    {"g/pal8topdown.bmp", 9254, false, 0, 0, 0, 0},
    {"g/pal8v4.bmp", 9322, false, 0, 0, 0, 0},
    {"g/pal8v5.bmp", 9338, false, 0, 0, 0, 0},
    {"g/pal8w124.bmp", 8626, false, 0, 0, 0, 0},
    {"g/pal8w125.bmp", 8998, false, 0, 0, 0, 0},
    {"g/pal8w126.bmp", 9126, false, 0, 0, 0, 0},
    {"g/rgb16-565.bmp", 16450, false, 0, 0, 0, 0},
    {"g/rgb16-565pal.bmp", 17474, false, 0, 0, 0, 0},
    {"g/rgb16.bmp", 16438, false, 0, 0, 0, 0},
    {"g/rgb16bfdef.bmp", 16450, false, 0, 0, 0, 0},
    {"g/rgb24.bmp", 24630, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb24pal.bmp", 25654, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb32.bmp", 32566, true, 127, 64, 0, 0x9003448616600ddbull},
    {"g/rgb32bf.bmp", 32578, false, 0, 0, 0, 0},
    {"g/rgb32bfdef.bmp", 32578, false, 0, 0, 0, 0},
    {"q/pal1huffmsb.bmp", 2160, false, 0, 0, 0, 0},
    {"q/pal1p1.bmp", 1082, false, 0, 0, 0, 0},
    {"q/pal2.bmp", 2118, false, 0, 0, 0, 0},
    {"q/pal2color.bmp", 2118, false, 0, 0, 0, 0},
    {"q/pal4rlecut.bmp", 3610, false, 0, 0, 0, 0},
    {"q/pal4rletrns.bmp", 4326, false, 0, 0, 0, 0},
    {"q/pal8offs.bmp", 9354, false, 0, 0, 0, 0},
    {"q/pal8os2-hs.bmp", 8986, false, 0, 0, 0, 0},
    {"q/pal8os2-sz.bmp", 8986, false, 0, 0, 0, 0},
    {"q/pal8os2sp.bmp", 8974, false, 0, 0, 0, 0},
    {"q/pal8os2v2-16.bmp", 9246, false, 0, 0, 0, 0},
    {"q/pal8os2v2-40sz.bmp", 9254, false, 0, 0, 0, 0},
    {"q/pal8os2v2-sz.bmp", 9278, false, 0, 0, 0, 0},
    {"q/pal8os2v2.bmp", 9278, false, 0, 0, 0, 0},
    {"q/pal8oversizepal.bmp", 9446, false, 0, 0, 0, 0},
    {"q/pal8rlecut.bmp", 7980, true, 127, 64, 0, 0x0b6802959b71f1b9ull},
    {"q/pal8rletrns.bmp", 9212, true, 127, 64, 0, 0x881b66d117c39ec8ull},
    {"q/rgb16-231.bmp", 16450, false, 0, 0, 0, 0},
    {"q/rgb16-3103.bmp", 16450, false, 0, 0, 0, 0},
    {"q/rgb16faketrns.bmp", 16438, false, 0, 0, 0, 0},
    {"q/rgb24jpeg.bmp", 2457, false, 0, 0, 0, 0},
    {"q/rgb24largepal.bmp", 25830, true, 127, 64, 0, 0x9003448616600ddbull},
    {"q/rgb24lprof.bmp", 24743, false, 0, 0, 0, 0},
    {"q/rgb24png.bmp", 1210, false, 0, 0, 0, 0},
    {"q/rgb24prof.bmp", 27782, false, 0, 0, 0, 0},
    {"q/rgb24prof2.bmp", 25254, false, 0, 0, 0, 0},
    {"q/rgb24rle24.bmp", 21432, false, 0, 0, 0, 0},
    {"q/rgb32-111110.bmp", 32578, false, 0, 0, 0, 0},
    {"q/rgb32-7187.bmp", 32578, false, 0, 0, 0, 0},
    {"q/rgb32-xbgr.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgb32fakealpha.bmp", 32566, true, 127, 64, 2, 0x08b6ac39eac8fdbfull},
    {"q/rgb32h52.bmp", 32578, false, 0, 0, 0, 0},
    {"q/rgba16-1924.bmp", 16522, false, 0, 0, 0, 0},
    {"q/rgba16-4444.bmp", 16522, false, 0, 0, 0, 0},
    {"q/rgba16-5551.bmp", 16522, false, 0, 0, 0, 0},
    {"q/rgba32-1.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgba32-1010102.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgba32-2.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgba32-61754.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgba32-81284.bmp", 32650, false, 0, 0, 0, 0},
    {"q/rgba32abf.bmp", 32582, false, 0, 0, 0, 0},
    {"q/rgba32h56.bmp", 32582, false, 0, 0, 0, 0},
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
        EXPECT_EQ(pic.transparencyMode, f.mode);
        EXPECT_EQ(fnv1a(pic.pixels, size_t(pic.width) * pic.height * 4), f.pixelHash);
    }
}
