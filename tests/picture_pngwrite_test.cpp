// PNG writing checked by libpng and our decoder; colour profiles; the bound on what PNG data can fill.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "picture/Deflate.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "picture/kppng.h"
#include "testsupport.h"

#ifdef PIXMILL_HAVE_LIBPNG
#include "libpng_oracle.h"
#endif

namespace {

// Random colours over smooth ones (so every filter gets chosen), alpha as the mode wants it.
void fill(CPicture& p, int32_t mode, unsigned seed) {
    std::mt19937 rng(seed);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            uint8_t* px = p.pixelAt(x, y);
            const bool noisy = (y / 4) % 2 == 1;
            for (int c = 0; c < 3; ++c) px[c] = uint8_t(noisy ? rng() : x * (c + 1) + y);
            px[3] = uint8_t(mode == TRANSPARENCY_MASK ? (rng() % 3 ? rng() | 1 : 0) : rng());
        }
    p.transparencyMode = mode;
}

// What a reader of the file must see: red, green, blue, straight alpha.
std::vector<uint8_t> expectedRgba(CPicture& p) {
    p.undoPreMultiplication();
    std::vector<uint8_t> out;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* px = p.pixelAt(x, y);
            uint8_t a = p.transparencyMode == TRANSPARENCY_NONE ? 255 : px[3];
            if (p.transparencyMode == TRANSPARENCY_MASK) a = a ? 255 : 0;
            out.insert(out.end(), {px[2], px[1], px[0], a});
        }
    return out;
}

TEST(PngWrite, EveryTransparencyModeDecodesToThePicturesBytes) {
    TempDir dir;
    const int32_t modes[] = {TRANSPARENCY_NONE, TRANSPARENCY_MASK, TRANSPARENCY_ALPHA, TRANSPARENCY_PREMULTIPLIED};
    for (int32_t mode : modes) {
        CPicture p(37, 23);
        fill(p, mode == TRANSPARENCY_PREMULTIPLIED ? TRANSPARENCY_ALPHA : mode, unsigned(mode));
        if (mode == TRANSPARENCY_PREMULTIPLIED) p.preMultiplyAlpha();
        const std::string path = dir.file("m" + std::to_string(mode) + ".png");
        ASSERT_TRUE(p.saveToPNG(path));
        const std::vector<uint8_t> want = expectedRgba(p);
        CPicture back;
        back.loadFromPNG(path);
        ASSERT_EQ(back.width, 37);
        EXPECT_EQ(expectedRgba(back), want) << "our decoder, mode " << mode;
        EXPECT_EQ(back.loadWarning, "");
#ifdef PIXMILL_HAVE_LIBPNG
        int w = 0, h = 0;
        std::vector<unsigned char> rgba;
        ASSERT_TRUE(decodeWithLibpng(path, w, h, rgba));
        EXPECT_TRUE(rgba == want) << "libpng, mode " << mode;
#endif
    }
}

TEST(PngWrite, ProfileSurvivesByteForByteAndABrokenOneIsDropped) {
    TempDir dir;
    CPicture p(5, 4);
    fill(p, TRANSPARENCY_NONE, 1);
    std::string profile(70000, '\0');
    for (size_t i = 0; i < profile.size(); ++i) profile[i] = char(i * i >> 5);
    p.iccProfile = profile;
    const std::string path = dir.file("icc.png");
    ASSERT_TRUE(p.saveToPNG(path));
    CPicture back;
    back.loadFromPNG(path);
    EXPECT_TRUE(back.iccProfile == profile);
    EXPECT_TRUE(ImageSource::open(path)->iccProfile() == profile);  // the streaming rows too

    // The profile's compressed bytes cut short: the picture loads, without a profile.
    std::string file = readBytes(path);
    const size_t at = file.find("iCCP") + 4 + 20;
    file[at] = char(0xFF), file[at + 1] = char(0xFF), file[at + 2] = char(0xFF);
    ASSERT_TRUE(writeBytes(path, file));
    back.loadFromPNG(path);
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.iccProfile, "");

    // A profile that inflates but fails its Adler-32 (chunk CRC made right), or whose chunk fails
    // its CRC, is damaged: dropped as well.
    ASSERT_TRUE(p.saveToPNG(path));
    const std::string whole = readBytes(path);
    const size_t type = whole.find("iCCP");
    size_t length = 0;
    for (size_t i = type - 4; i < type; ++i) length = length << 8 | uint8_t(whole[i]);
    for (bool fixCrc : {true, false}) {
        std::string broken = whole;
        broken[type + 4 + length - 1] ^= 1;  // the last byte of the Adler-32
        if (fixCrc) {
            const uint32_t crc = updateCrc32(0, reinterpret_cast<const uint8_t*>(broken.data() + type), 4 + length);
            for (int i = 0; i < 4; ++i) broken[type + 4 + length + i] = char(crc >> (24 - 8 * i));
        } else {
            broken[type + 4 + length - 1] ^= 1;  // data whole again, the CRC is what is wrong
            broken[type + 4 + length] ^= 1;
        }
        ASSERT_TRUE(writeBytes(path, broken));
        back.loadFromPNG(path);
        EXPECT_EQ(back.width, 5) << fixCrc;
        EXPECT_EQ(back.iccProfile, "") << fixCrc;
        EXPECT_EQ(ImageSource::open(path)->iccProfile(), "") << fixCrc;
    }
}

// A 1 x 1 RGB picture whose IHDR is made to declare `height` rows.
std::string withHeight(const std::string& png, uint32_t height) {
    std::string out = png;
    for (int i = 0; i < 4; ++i) out[20 + i] = char(height >> (24 - 8 * i));
    return out;
}

TEST(PngWrite, DeclaredRowsBeyondWhatTheDataCanHoldAreRefused) {
    TempDir dir;
    CPicture one(1, 1);
    const std::string path = dir.file("one.png");
    ASSERT_TRUE(one.saveToPNG(path));
    const std::string png = readBytes(path);
    const size_t idat = png.find("IDAT");
    const uint32_t length = uint32_t(uint8_t(png[idat - 2])) << 8 | uint8_t(png[idat - 1]);
    // Each row is a filter byte and three samples; 1032 bytes per compressed byte at most.
    const uint32_t most = length * 1032 / 4;
    ASSERT_TRUE(writeBytes(path, withHeight(png, most)));
    CPicture p;
    p.loadFromPNG(path);
    EXPECT_EQ(p.height, int(most));
    EXPECT_EQ(p.loadWarning, "the file ends early: 1 of " + std::to_string(most) + " rows decoded");
    std::unique_ptr<ImageSource> source = ImageSource::open(path);
    CPicture rows(1, int(most));
    PictureRows sink(rows);
    ASSERT_TRUE(source->putRows(sink));
    EXPECT_EQ(source->warning(), p.loadWarning);

    ASSERT_TRUE(writeBytes(path, withHeight(png, most + 1)));
    p.loadFromPNG(path);
    EXPECT_TRUE(p.isEmpty());
    EXPECT_EQ(p.loadFailure, "the picture is larger than its data can hold");
    EXPECT_FALSE(ImageSource::open(path)->isOpen());
    EXPECT_EQ(ImageSource::open(path)->failure(), p.loadFailure);

    ASSERT_TRUE(writeBytes(path, "GIF89a and more"));
    p.loadFromPNG(path);
    EXPECT_EQ(p.loadFailure, "not a PNG file");
}

}  // namespace
