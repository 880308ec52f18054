// SPDX-License-Identifier: MIT
// pixmill-cli on the inputs known by their bytes: WebP and TIFF write their decoded pixels, a PNG
// named ".jpg" is read as PNG, a file of several frames gets its note, and TIFF's Orientation tag
// and WebP's EXIF orientation turn the picture.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli_support.h"

namespace {

bool haveTools() {
    return system(
               "command -v cwebp >/dev/null && command -v webpmux >/dev/null && "
               "/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0;
}

// A w x h opaque picture whose every pixel differs from its neighbours.
void fillPattern(CPicture& p) {
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            uint8_t* q = p.pixelAt(x, y);
            q[0] = uint8_t(x * 17 + y), q[1] = uint8_t(y * 29), q[2] = uint8_t(x * y + 40), q[3] = 0;
        }
}

// The pattern written as PNG and converted by `command` (with {in} and {out}) into `path`.
bool convertPattern(const TempDir& dir, int w, int h, const std::string& command, const std::string& path) {
    CPicture p(w, h);
    fillPattern(p);
    const std::string png = dir.file("pattern.png");
    if (!p.saveToPNG(png)) return false;
    std::string line = command;
    line.replace(line.find("{in}"), 4, "'" + png + "'");
    line.replace(line.find("{out}"), 5, "'" + path + "'");
    return system((line + " >/dev/null 2>&1").c_str()) == 0;
}

const char* const kToTiff =
    "/usr/bin/python3 -c 'import sys; from PIL import Image; "
    "Image.open(sys.argv[1]).save(sys.argv[2], compression=\"tiff_lzw\")' {in} {out}";

// True when the BMP at path holds the pattern, turned by the EXIF code when one is given.
::testing::AssertionResult holdsPattern(const std::string& path, int w, int h, int turn = 0) {
    CPicture expected(w, h);
    fillPattern(expected);
    std::unique_ptr<CPicture> turned(turn ? expected.rotate90(turn) : nullptr);
    const CPicture& want = turned ? *turned : expected;
    CPicture got;
    got.load(path);
    if (got.width != want.width || got.height != want.height)
        return ::testing::AssertionFailure() << path << " is " << got.width << "x" << got.height;
    for (int y = 0; y < want.height; ++y)
        for (int x = 0; x < want.width; ++x)
            if (memcmp(got.pixelAt(x, y), want.pixelAt(x, y), 3) != 0)
                return ::testing::AssertionFailure() << path << " differs at " << x << "," << y;
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(CliInputs, WebpTiffAndAPngNamedJpgWriteTheirDecodedPixels) {
    if (!haveTools()) GTEST_SKIP() << "no cwebp or Pillow";
    TempDir work, config;
    ASSERT_TRUE(
        convertPattern(work, 13, 7, "cwebp -quiet -lossless -exact {in} -o {out}", work.file("a.webp")));
    ASSERT_TRUE(convertPattern(work, 13, 7, kToTiff, work.file("b.TIFF")));
    ASSERT_TRUE(convertPattern(work, 13, 7, "cp {in} {out}", work.file("c.jpg")));
    const CliResult r =
        runCli({"-t", "bmp", "-s", "100%", "--rotate", "none", "-n", "%SRC%", "-o", work.file("out"),
                work.file("a.webp"), work.file("b.TIFF"), work.file("c.jpg")},
               config.path());
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* name : {"a", "b", "c"})
        EXPECT_TRUE(holdsPattern(work.file("out/") + name + ".bmp", 13, 7));
}

TEST(CliInputs, FramesGetANoteAndOrientationsOutsideJpegTurn) {
    if (!haveTools()) GTEST_SKIP() << "no cwebp or Pillow";
    TempDir work, config;
    // Three pages; a TIFF whose Orientation tag is 6; a WebP whose EXIF chunk says 6.
    ASSERT_TRUE(convertPattern(
        work, 9, 5,
        "/usr/bin/python3 -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
        "im.save(sys.argv[2], save_all=True, append_images=[im, im])' {in} {out}",
        work.file("pages.tif")));
    ASSERT_TRUE(convertPattern(work, 9, 5,
                               "/usr/bin/python3 -c 'import sys; from PIL import Image; "
                               "Image.open(sys.argv[1]).save(sys.argv[2], tiffinfo={274: 6})' {in} {out}",
                               work.file("turned.tif")));
    ASSERT_TRUE(
        convertPattern(work, 9, 5, "cwebp -quiet -lossless -exact {in} -o {out}", work.file("plain.webp")));
    ASSERT_TRUE(
        writeBytes(work.file("exif"),
                   std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0", 26)));
    ASSERT_EQ(system(("webpmux -set exif '" + work.file("exif") + "' '" + work.file("plain.webp") + "' -o '" +
                      work.file("exif6.webp") + "' >/dev/null 2>&1")
                         .c_str()),
              0);
    const CliResult r = runCli(
        {"-t", "bmp", "-s", "100%", "--rotate", "exif", "-n", "%SRC%", "-o", work.file("out"), "--report",
         work.file("report.jsonl"), work.file("pages.tif"), work.file("turned.tif"), work.file("exif6.webp")},
        config.path());
    // A note is no damage: the run succeeds.
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("pages.tif -> " + work.file("out/pages.bmp") + " (first of 3 frames)"),
              std::string::npos)
        << r.err;
    const std::string report = readBytes(work.file("report.jsonl"));
    // Only the file of several pages has a note.
    const size_t note =
        report.find("\"status\":\"resized\",\"message\":\"\",\"reason\":\"\",\"note\":\"first of 3 frames\"");
    EXPECT_NE(note, std::string::npos) << report;
    EXPECT_EQ(report.find("\"note\":\"first", report.find("\"note\":\"first") + 1), std::string::npos)
        << report;
    EXPECT_TRUE(holdsPattern(work.file("out/pages.bmp"), 9, 5));
    EXPECT_TRUE(holdsPattern(work.file("out/turned.bmp"), 9, 5, 6));
    // WebP follows JPEG's orientation rules.
    EXPECT_TRUE(holdsPattern(work.file("out/exif6.bmp"), 9, 5, 6));
}
