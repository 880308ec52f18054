// SPDX-License-Identifier: MIT
// Draft decoding (the FASTDRAFT setting, --fast): JPEG at a reduced DCT scale that keeps 1.5 times
// the target, the same output size as the exact job, close colours, and the setting's file line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine_testutil.h"
#include "picture/ImageSource.h"

namespace {

// A smooth picture: the reduced decode loses nothing the target could show.
PicturePtr smooth(int w, int h) {
    return makePicture(w, h, [w, h](int x, int y) {
        return Bgr{uint8_t(128 + 100 * std::sin(x * 6.0 / w)), uint8_t(255 * y / h), uint8_t(255 * x / w)};
    });
}

// Waves of about 100 pixels, which every target here shows unaliased: a draft that samples a few
// pixels beside where the exact job samples loses many dB on them.
PicturePtr waves(int w, int h) {
    return makePicture(w, h, [](int x, int y) {
        return Bgr{uint8_t(128 + 100 * std::sin(x * 0.06)), uint8_t(128 + 100 * std::sin(y * 0.07)),
                   uint8_t(128 + 60 * std::sin((x + y) * 0.05))};
    });
}

double psnr(const CPicture& a, const CPicture& b) {
    double sum = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c) sum += std::pow(a.pixelAt(x, y)[c] - b.pixelAt(x, y)[c], 2);
    const double mse = sum / (3.0 * a.width * a.height);
    return mse == 0 ? 99 : 10 * std::log10(255 * 255 / mse);
}

TEST(Draft, JpegReducesToTheSmallestScaleThatKeepsTheMinimum) {
    TempDir dir;
    ASSERT_TRUE(saveJpeg(*smooth(1601, 1200), dir.file("a.jpg")));
    struct Case {
        int minW, minH, w, h;
        bool reduced;
    } cases[] = {{300, 225, 401, 300, true},   {202, 150, 401, 300, true},   {200, 150, 201, 150, true},
                 {802, 10, 1601, 1200, false}, {10, 601, 1601, 1200, false}, {800, 600, 801, 600, true}};
    for (const Case& c : cases) {
        std::unique_ptr<ImageSource> source = ImageSource::open(dir.file("a.jpg"));
        EXPECT_EQ(source->reduceTo(c.minW, c.minH), c.reduced) << c.minW << "x" << c.minH;
        EXPECT_EQ(source->width, c.w);
        EXPECT_EQ(source->height, c.h);
    }
    // The reduced decode holds the picture at its size.
    std::unique_ptr<ImageSource> source = ImageSource::open(dir.file("a.jpg"));
    ASSERT_TRUE(source->reduceTo(400, 300));
    CPicture rows(source->width, source->height);
    PictureRows sink(rows);
    ASSERT_TRUE(source->putRows(sink));
    EXPECT_TRUE(
        near(rows.pixelAt(200, 150), Bgr{uint8_t(128 + 100 * std::sin(800 * 6.0 / 1601)), 128, 128}, 8));
}

// The draft's outputs sample the places the exact job's do, whatever the scale, cut and turn (a
// height that is no multiple of 8 leaves the reduced picture's last row part outside the picture,
// which the turns that run the rows backwards must allow for).
TEST(Draft, JobsKeepTheExactSizeAndPlaces) {
    TempDir dir;
    ASSERT_TRUE(saveJpeg(*waves(1600, 1203), dir.file("a.jpg")));
    ASSERT_TRUE(saveJpeg(*waves(1600, 1203), dir.file("ccw.jpg"), exifWithOrientation(8)));
    ASSERT_TRUE(saveJpeg(*waves(1600, 1203), dir.file("half.jpg"), exifWithOrientation(3)));
    Pixmill engine(dir.file("settings"));
    struct Case {
        const char* file;
        int32_t rotate, crop;
        const char* size;
    } cases[] = {{"a.jpg", Rotation::Landscape, CropMode::NoCrop, "200x200"},
                 {"a.jpg", Rotation::Portrait, CropMode::NoCrop, "200x200"},
                 {"a.jpg", Rotation::Landscape, CropMode::Crop, "90x120"},
                 {"a.jpg", Rotation::Portrait, CropMode::Crop, "90x120"},
                 {"a.jpg", Rotation::Landscape, CropMode::Stretch, "300x50"},
                 {"a.jpg", Rotation::Portrait, CropMode::NoCrop, "10%"},
                 {"a.jpg", Rotation::Landscape, CropMode::NoCrop, "1200x900"},
                 {"ccw.jpg", Rotation::ByExif, CropMode::Crop, "150x100"},
                 {"half.jpg", Rotation::ByExif, CropMode::Crop, "150x100"}};
    int n = 0;
    for (const Case& c : cases) {
        engine.rotate = c.rotate;
        engine.cropMode = c.crop;
        const std::string exact = dir.file("exact" + std::to_string(n) + ".bmp");
        const std::string draft = dir.file("draft" + std::to_string(n++) + ".bmp");
        engine.fastDraft = false;
        ASSERT_FALSE(runJob(engine, dir.file(c.file), exact, c.size)->failed);
        engine.fastDraft = true;
        ASSERT_FALSE(runJob(engine, dir.file(c.file), draft, c.size)->failed);
        PicturePtr a = loadPicture(exact), b = loadPicture(draft);
        ASSERT_EQ(a->width, b->width) << c.file << " " << c.size;
        ASSERT_EQ(a->height, b->height) << c.file << " " << c.size;
        EXPECT_GT(psnr(*a, *b), 40) << c.file << " " << c.size << " " << n;
    }
}

TEST(Draft, SettingFollowsTheFixedLinesOnlyWhenOn) {
    TempDir dir;
    {
        Pixmill engine(dir.path());
        EXPECT_FALSE(engine.fastDraft);
        EXPECT_EQ(engine.settingsText().find("FASTDRAFT"), std::string::npos);
        engine.fastDraft = true;
    }
    const std::string written = readBytes(dir.file("config.xml"));
    EXPECT_EQ(written.substr(written.find("</CONFIG>")), "</CONFIG>\n<FASTDRAFT>true</FASTDRAFT>");
    Pixmill again(dir.path());
    EXPECT_TRUE(again.fastDraft);
}

}  // namespace
