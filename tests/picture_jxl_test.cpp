// SPDX-License-Identifier: MIT
// JPEG XL sources: pixels as libjxl's own djxl gives them for the conformance files, frames,
// orientation, metadata boxes and cut files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "decoded_oracle.h"
#include "picture/ImageSource.h"
#include "testsupport.h"

namespace {

std::string jxlFolder() {
    const std::string root = testdataDir();
    return root.empty() ? std::string() : root + "/jxl";
}

}  // namespace

// Every conformance file decodes to djxl's pixels, one step apart at most (libjxl rounds its
// floating-point samples to 8 bits itself, djxl to the file's depth, which the test rounds again).
TEST(JxlSource, DecodesAsDjxl) {
    const std::vector<std::string> files = filesEndingIn(jxlFolder(), {".jxl"}, false);
    if (files.empty()) GTEST_SKIP() << "no JPEG XL test files";
    if (!haveTool("djxl")) GTEST_SKIP() << "djxl missing (libjxl-tools)";
    TempDir dir;
    const std::string png = dir.file("ref.pam");
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::unique_ptr<ImageSource> source = ImageSource::open(file);
        std::string why;
        std::unique_ptr<CPicture> picture = decodeThroughSource(*source, why);
        // The largest pictures take the paths of the smaller ones at seconds each: they must decode.
        if (uint64_t(source->width) * uint64_t(source->height) > (uint64_t(1) << 21)) {
            EXPECT_FALSE(picture->isEmpty()) << why;
            continue;
        }
        remove(png.c_str());
        int w = 0, h = 0;
        std::vector<uint8_t> rgba;
        if (system(("djxl '" + file + "' '" + png + "' >/dev/null 2>&1").c_str()) != 0 ||
            !readReferencePam(png, w, h, rgba, true)) {
            EXPECT_TRUE(!picture->isEmpty() || !why.empty());
            continue;
        }
        ASSERT_FALSE(picture->isEmpty()) << why;
        EXPECT_TRUE(source->oriented);
        const int difference = largestDifference(*picture, w, h, rgba);
        EXPECT_GE(difference, 0) << picture->width << "x" << picture->height << " against " << w << "x" << h;
        EXPECT_LE(difference, 1);
    }
}

// Frames counted without decoding them, the Exif box, and files cut in the frame (the rows
// decoded so far, flagged) or in the header (a cause).
TEST(JxlSource, FramesMetadataAndCutFiles) {
    const std::string dir = jxlFolder();
    const std::string bike = readBytes(dir + "/bike.jxl");
    if (bike.empty()) GTEST_SKIP() << "no JPEG XL test files";
    EXPECT_EQ(ImageSource::open(dir + "/animation_icos4d.jxl")->frameCount, 48);
    std::unique_ptr<ImageSource> oriented = ImageSource::open(dir + "/bench_oriented_brg.jxl");
    EXPECT_EQ(oriented->exifBlock.compare(0, 4, "MM\0*", 4), 0);
    EXPECT_FALSE(oriented->iccProfile().empty());

    TempDir temp;
    ASSERT_TRUE(writeBytes(temp.file("half.jxl"), bike.substr(0, bike.size() / 2)));
    ASSERT_TRUE(writeBytes(temp.file("header.jxl"), bike.substr(0, 300)));
    std::string why;
    std::unique_ptr<ImageSource> half = ImageSource::open(temp.file("half.jxl"));
    EXPECT_FALSE(decodeThroughSource(*half, why)->isEmpty()) << why;
    EXPECT_NE(half->warning().find("ends early"), std::string::npos);
    std::unique_ptr<ImageSource> header = ImageSource::open(temp.file("header.jxl"));
    EXPECT_TRUE(decodeThroughSource(*header, why)->isEmpty());
    EXPECT_NE(why.find("ends early"), std::string::npos) << why;
}

// Damaged data fails with a cause, and libjxl's own complaints are not printed.
TEST(JxlSource, DamagedDataFailsSilently) {
    std::string bike = readBytes(jxlFolder() + "/bike.jxl");
    if (bike.empty()) GTEST_SKIP() << "no JPEG XL test files";
    TempDir temp;
    bike.replace(bike.size() / 3, 64, std::string(64, '\0'));
    ASSERT_TRUE(writeBytes(temp.file("zeroed.jxl"), bike));
    const std::vector<std::string> files = {temp.file("zeroed.jxl"),
                                            PIXMILL_SOURCE_DIR "/fuzz/corpus/jxl_fuzz/failure_lines.jxl"};
    StderrCapture printed(temp.file("stderr"));
    for (const std::string& file : files) {
        std::unique_ptr<ImageSource> source = ImageSource::open(file);
        std::string why;
        if (decodeThroughSource(*source, why)->isEmpty()) {
            EXPECT_FALSE(why.empty()) << file;
        }
    }
    EXPECT_EQ(printed.text(), "");
}
