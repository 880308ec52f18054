// SPDX-License-Identifier: MIT
// PNG writing checked by libpng and our decoder; colour profiles; the bound on what PNG data can fill.
#include <gtest/gtest.h>

#include <cstdlib>
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

// The file decodes to `want` with our decoder, as a sound file, and with libpng where it is there.
void expectDecodesTo(const std::string& path, const std::vector<uint8_t>& want, const std::string& what) {
    CPicture back;
    back.loadFromPNG(path);
    EXPECT_EQ(expectedRgba(back), want) << "our decoder, " << what;
    EXPECT_EQ(back.loadWarning, "") << what;
#ifdef PIXMILL_HAVE_LIBPNG
    int w = 0, h = 0;
    std::vector<unsigned char> rgba;
    ASSERT_TRUE(decodeWithLibpng(path, w, h, rgba));
    EXPECT_TRUE(rgba == want) << "libpng, " << what;
#endif
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
        expectDecodesTo(path, expectedRgba(p), "mode " + std::to_string(mode));
    }
}

// The inflated image data of a PNG file: each row's filter type byte and its samples.
std::vector<uint8_t> inflatedRows(const std::string& png) {
    std::vector<uint8_t> z;
    for (size_t at = 8; at + 12 <= png.size();) {
        const size_t length = size_t(uint8_t(png[at])) << 24 | size_t(uint8_t(png[at + 1])) << 16 |
                              size_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
        if (png.compare(at + 4, 4, "IDAT") == 0) z.insert(z.end(), png.begin() + at + 8, png.begin() + at + 8 + length);
        at += 12 + length;
    }
    struct Collect : KpGenericPngDecoder {
        int Output(unsigned char byte) override {
            bytes.push_back(byte);
            return 1;
        }
        std::vector<uint8_t> bytes;
    } rows;
    KpPngUncompressor inflater(&rows);
    EXPECT_EQ(inflater.Uncompress(unsigned(z.size()), z.data()), 1);
    return rows.bytes;
}

inline uint8_t paethOf(int a, int b, int c) {
    const int pa = abs(b - c), pb = abs(a - c), pc = abs(a + b - 2 * c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Rows made for each filter type to win (noise between them): zeros (none), a ramp (sub), a copy
// of the row above (up), each sample the average or the Paeth prediction of its neighbours. Every
// width from one pixel up, both sample sizes: the files decode to the picture and every type
// shows up, so each is written right by the wide and the narrow code alike.
TEST(PngWrite, EveryFilterTypeAtEveryWidthDecodesToThePicture) {
    TempDir dir;
    std::mt19937 rng(11);
    bool seen[5] = {false};
    for (int32_t mode : {TRANSPARENCY_NONE, TRANSPARENCY_ALPHA}) {
        const size_t channels = mode == TRANSPARENCY_NONE ? 3 : 4;
        for (int width = 1; width <= 24; ++width) {
            const size_t n = size_t(width) * channels;
            const int height = 10;
            std::vector<std::vector<uint8_t>> rows(height, std::vector<uint8_t>(n));
            for (int y = 1; y < height; ++y) {
                std::vector<uint8_t>& r = rows[y];
                const std::vector<uint8_t>& up = rows[y - 1];
                for (size_t i = 0; i < n; ++i) {
                    const int a = i >= channels ? r[i - channels] : 0, b = up[i], c = i >= channels ? up[i - channels] : 0;
                    switch (y) {
                        case 2: r[i] = uint8_t(i * 3); break;
                        case 4: r[i] = up[i]; break;
                        case 6: r[i] = uint8_t((a + b) >> 1); break;
                        case 8: r[i] = paethOf(a, b, c); break;
                        default: r[i] = uint8_t(rng()); break;
                    }
                }
            }
            CPicture p(width, height);
            p.transparencyMode = mode;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const uint8_t* s = &rows[y][size_t(x) * channels];
                    uint8_t* px = p.pixelAt(x, y);
                    px[0] = s[2], px[1] = s[1], px[2] = s[0], px[3] = channels == 4 ? s[3] : 0;
                }
            const std::string path = dir.file("filters.png");
            ASSERT_TRUE(p.saveToPNG(path));
            const std::vector<uint8_t> data = inflatedRows(readBytes(path));
            ASSERT_EQ(data.size(), (n + 1) * height);
            for (int y = 0; y < height; ++y) {
                ASSERT_LT(data[(n + 1) * y], 5);
                seen[data[(n + 1) * y]] = true;
            }
            expectDecodesTo(path, expectedRgba(p), "width " + std::to_string(width));
        }
    }
    for (int t = 0; t < 5; ++t) EXPECT_TRUE(seen[t]) << "filter type " << t;
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
