// SPDX-License-Identifier: MIT
// WebP, AVIF, JPEG XL and TIFF outputs read back by their libraries' own tools: size, alpha,
// lossless pixels exact, lossy ones close; ICC profile and EXIF block carried.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "picture/ImageSource.h"
#include "picture/ImageWriter.h"
#include "picture/Picture.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

struct Case {
    OutputType type;
    const char* extension;
    int quality;
    bool lossless;
    // Decodes $IN into the PNG $OUT.
    const char* decoder;
};

const Case kCases[] = {
    {OutputType::Webp, "webp", 90, false, "dwebp -quiet \"$IN\" -o \"$OUT\""},
    {OutputType::Webp, "webp", 100, true, "dwebp -quiet \"$IN\" -o \"$OUT\""},
    {OutputType::Avif, "avif", 70, false, "avifdec \"$IN\" \"$OUT\""},
    {OutputType::Jxl, "jxl", 90, false, "djxl \"$IN\" \"$OUT\""},
    {OutputType::Jxl, "jxl", 100, true, "djxl \"$IN\" \"$OUT\""},
    {OutputType::Tiff, "tif", 90, true,
     "/usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])' "
     "\"$IN\" \"$OUT\""},
};

// A smooth picture (so lossy coding keeps it close) with a rising alpha when the mode has one;
// PREMULTIPLIED keeps byte 3 = 255 - alpha with the colours scaled as the engine scales them.
void fill(CPicture& p, int32_t mode) {
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            uint8_t* px = p.pixelAt(x, y);
            px[0] = uint8_t(40 + 3 * x);
            px[1] = uint8_t(60 + 2 * y);
            px[2] = uint8_t(200 - x - y);
            px[3] = mode == TRANSPARENCY_MASK ? (x < 8 ? 0 : 7) : uint8_t(55 + 2 * x);
        }
    p.transparencyMode = mode == TRANSPARENCY_PREMULTIPLIED ? TRANSPARENCY_ALPHA : mode;
    p.preMultiplyAlpha();
    if (mode == TRANSPARENCY_PREMULTIPLIED) p.transparencyMode = TRANSPARENCY_PREMULTIPLIED;
}

bool haveTool(const std::string& command) {
    const std::string tool = command.substr(0, command.find(' '));
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The file decoded by the case's tool, or an empty picture.
std::unique_ptr<CPicture> decodeWithTool(const Case& c, const std::string& in, const TempDir& dir) {
    const std::string out = dir.file("decoded.png");
    std::string command = strreplace(strreplace(c.decoder, "$IN", in), "$OUT", out) + " >/dev/null 2>&1";
    std::unique_ptr<CPicture> picture(new CPicture());
    if (std::system(command.c_str()) == 0) picture->loadFromPNG(out);
    return picture;
}

// The largest difference of any sample, alpha included, between what was written (as straight
// alpha) and what was read; only visible pixels' colours count.
int largestDifference(CPicture& written, const CPicture& read) {
    written.undoPreMultiplication();
    const bool alpha = written.transparencyMode != TRANSPARENCY_NONE;
    int largest = 0;
    for (int y = 0; y < written.height; ++y)
        for (int x = 0; x < written.width; ++x) {
            const uint8_t* a = written.pixelAt(x, y);
            const uint8_t* b = read.pixelAt(x, y);
            const int wantAlpha = !alpha                                          ? 255
                                  : written.transparencyMode == TRANSPARENCY_MASK ? (a[3] ? 255 : 0)
                                                                                  : a[3];
            const int gotAlpha = alpha ? b[3] : 255;
            largest = std::max(largest, std::abs(wantAlpha - gotAlpha));
            if (wantAlpha == 0) continue;
            for (int k = 0; k < 3; ++k) largest = std::max(largest, std::abs(int(a[k]) - int(b[k])));
        }
    return largest;
}

std::string iccOfTestPhoto() {
    const std::string dir = testdataDir();
    if (dir.empty()) return std::string();
    std::unique_ptr<ImageSource> source =
        ImageSource::open(dir + "/photos/brendon-van-zyl-O9vNYbNVtpM-unsplash.jpg");
    return source->iccProfile();
}

TEST(Writers, EachTypeReadsBackAtItsSizeAndTransparency) {
    TempDir dir;
    const std::string icc = iccOfTestPhoto();
    // A TIFF header and an empty first directory: a minimal EXIF block.
    const std::string exif("MM\0\x2a\0\0\0\x08\0\0\0\0\0\0PIXMILL-EXIF", 26);
    for (const Case& c : kCases) {
        if (!haveTool(c.decoder)) {
            ADD_FAILURE() << c.decoder << ": the tool is missing";
            continue;
        }
        for (int32_t mode :
             {TRANSPARENCY_NONE, TRANSPARENCY_MASK, TRANSPARENCY_ALPHA, TRANSPARENCY_PREMULTIPLIED}) {
            SCOPED_TRACE(std::string(c.extension) + " q" + std::to_string(c.quality) + " mode " +
                         std::to_string(mode));
            CPicture picture(61, 37);
            fill(picture, mode);
            const std::string path = dir.file(std::string("out.") + c.extension);
            WriteOptions options;
            options.quality = c.quality;
            // djxl 0.7 gives a lossy JPEG XL that carries an ICC profile in linear light: such a
            // file is checked without one.
            const bool linear = c.type == OutputType::Jxl && !c.lossless;
            const OutputMetadata metadata{exif, "", "", linear ? std::string() : icc};
            ASSERT_TRUE(writeImage(c.type, picture, metadata, options, fopen(path.c_str(), "wb")));
            EXPECT_EQ(outputTypeOfPath(path), c.type);
            std::unique_ptr<CPicture> read = decodeWithTool(c, path, dir);
            ASSERT_EQ(read->width, 61);
            ASSERT_EQ(read->height, 37);
            EXPECT_EQ(read->transparencyMode != TRANSPARENCY_NONE, mode != TRANSPARENCY_NONE);
            EXPECT_LE(largestDifference(picture, *read), c.lossless ? 0 : 12);
            const std::string bytes = readBytes(path);
            // JPEG XL stores the profile compressed; its decoder gives it back whole.
            if (c.type == OutputType::Jxl && !metadata.icc.empty()) {
                EXPECT_EQ(read->iccProfile, icc);
            } else if (!metadata.icc.empty()) {
                EXPECT_NE(bytes.find(icc), std::string::npos) << "no ICC profile";
            }
            if (c.type != OutputType::Tiff) {
                EXPECT_NE(bytes.find(exif), std::string::npos) << "no EXIF block";
            }
        }
    }
}

// An empty picture or a stream that cannot take the bytes fails the write, and the stream is closed
// either way (a closed stream would make the second fclose fail loudly under the sanitizers).
TEST(Writers, FailuresAreResults) {
    TempDir dir;
    for (OutputType type : {OutputType::Webp, OutputType::Avif, OutputType::Jxl, OutputType::Tiff}) {
        CPicture empty;
        EXPECT_FALSE(
            writeImage(type, empty, OutputMetadata(), WriteOptions(), fopen(dir.file("e").c_str(), "wb")));
        CPicture picture(16, 16);
        fill(picture, TRANSPARENCY_NONE);
        FILE* full = fopen("/dev/full", "wb");
        if (full) {
            EXPECT_FALSE(writeImage(type, picture, OutputMetadata(), WriteOptions(), full));
        }
    }
    // A profile JPEG XL's library cannot read (it would print why) is left out, and nothing is printed.
    const std::string printed = dir.file("stderr");
    fflush(stderr);
    const int saved = dup(2);
    FILE* capture = fopen(printed.c_str(), "wb");
    dup2(fileno(capture), 2);
    CPicture picture(16, 16);
    fill(picture, TRANSPARENCY_ALPHA);
    const OutputMetadata broken{"", "", "",
                                std::string("\0\0\0\x8c"
                                            "applRGB ",
                                            12) +
                                    std::string(128, 'x')};
    const bool written =
        writeImage(OutputType::Jxl, picture, broken, WriteOptions(), fopen(dir.file("b.jxl").c_str(), "wb"));
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    fclose(capture);
    EXPECT_TRUE(written);
    EXPECT_EQ(readBytes(printed), "");
    EXPECT_EQ(outputTypeOfPath("a.TIFF"), OutputType::Tiff);
    EXPECT_EQ(outputTypeOfPath("a.heic"), OutputType::None);
}

}  // namespace
