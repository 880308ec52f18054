// SPDX-License-Identifier: MIT
// Resize jobs run one at a time on the test thread: turning, geometry, saving and failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "engine_testutil.h"
#include "tools/modTools.h"

namespace {

class ResizeJob : public ::testing::Test {
  protected:
    TempDir settings;
    TempDir dir;
    Pixmill engine{settings.path()};

    void TearDown() override { EXPECT_TRUE(tempFilesIn(dir.path()).empty()) << "temporary file left behind"; }

    std::string bmpSource(const std::string& name, const PicturePtr& picture) {
        std::string path = dir.file(name);
        EXPECT_TRUE(picture->saveToBMP(path));
        return path;
    }
    std::string jpegSource(const std::string& name, const PicturePtr& picture, const std::string& exif) {
        std::string path = dir.file(name);
        EXPECT_TRUE(saveJpeg(*picture, path, exif));
        return path;
    }
    std::unique_ptr<ImageResizeTask> run(const std::string& source, const std::string& output,
                                         const std::string& resolution) {
        std::unique_ptr<ImageResizeTask> task = runJob(engine, source, output, resolution);
        EXPECT_TRUE(task->done);
        EXPECT_FALSE(task->started);
        EXPECT_EQ(task->failed, !task->message.empty()) << task->message;
        return task;
    }
    void expectSuccess(const std::unique_ptr<ImageResizeTask>& task) {
        EXPECT_FALSE(task->failed) << task->message;
        EXPECT_EQ(task->message, "");
    }
};

// ---- The two worked examples: a 400 x 300 JPEG with orientation 6 into 640 x 480 ----

TEST_F(ResizeJob, WorkedExampleFitsTheTurnedPicture) {
    std::string source = jpegSource("photo.jpg", quadrantPicture(400, 300), exifWithOrientation(6));
    std::string output = dir.file("out.jpg");
    expectSuccess(run(source, output, "640x480"));
    PicturePtr result = loadPicture(output);
    ASSERT_EQ(result->width, 360);
    ASSERT_EQ(result->height, 480);
    // A clockwise quarter turn brings the bottom-left quadrant to the top left.
    EXPECT_TRUE(near(result->pixelAt(5, 5), kBlue));
    EXPECT_TRUE(near(result->pixelAt(354, 5), kRed));
    EXPECT_EQ(orientationOf(output), "1");
}

TEST_F(ResizeJob, WorkedExampleCropsTheTurnedPicture) {
    engine.cropMode = CropMode::Crop;
    std::string source = jpegSource("photo.jpg", quadrantPicture(400, 300), exifWithOrientation(6));
    std::string output = dir.file("out.jpg");
    expectSuccess(run(source, output, "640x480"));
    PicturePtr result = loadPicture(output);
    ASSERT_EQ(result->width, 640);
    ASSERT_EQ(result->height, 480);
    EXPECT_TRUE(near(result->pixelAt(5, 5), kBlue));
    EXPECT_TRUE(near(result->pixelAt(634, 5), kRed));
    EXPECT_TRUE(near(result->pixelAt(5, 474), kWhite));
    EXPECT_TRUE(near(result->pixelAt(634, 474), kGreen));
    // 225 rows cut from row 88 of 400: the halves meet at row 112 of 225, 239 of 480.
    EXPECT_TRUE(near(result->pixelAt(5, 230), kBlue));
    EXPECT_TRUE(near(result->pixelAt(5, 250), kWhite));
    EXPECT_EQ(orientationOf(output), "1");
}

// ---- Turning ----

struct ExifCase {
    int orientation;
    bool bigEndian;
    int width, height;
    Bgr topLeft;
    std::string tagAfter;
};

TEST_F(ResizeJob, ExifOrientationsThreeSixEightAreTurnedAndPatchedOthersUntouched) {
    const ExifCase cases[] = {
        {3, false, 40, 30, kWhite, "1"}, {6, false, 30, 40, kBlue, "1"}, {8, false, 30, 40, kGreen, "1"},
        {6, true, 30, 40, kBlue, "1"},   {8, true, 30, 40, kGreen, "1"}, {1, false, 40, 30, kRed, "1"},
        {2, false, 40, 30, kRed, "2"},   {5, false, 40, 30, kRed, "5"},  {7, true, 40, 30, kRed, "7"},
        {4, false, 40, 30, kRed, "4"},
    };
    for (const ExifCase& c : cases) {
        SCOPED_TRACE("orientation " + std::to_string(c.orientation) + (c.bigEndian ? " MM" : " II"));
        std::string source =
            jpegSource("o.jpeg", quadrantPicture(40, 30), exifWithOrientation(c.orientation, c.bigEndian));
        std::string output = dir.file("o_out.jpg");
        deleteFile(output);
        expectSuccess(run(source, output, "100%"));
        PicturePtr result = loadPicture(output);
        EXPECT_EQ(result->width, c.width);
        EXPECT_EQ(result->height, c.height);
        EXPECT_TRUE(near(result->pixelAt(2, 2), c.topLeft));
        EXPECT_EQ(orientationOf(output), c.tagAfter);
    }
}

TEST_F(ResizeJob, SourcesWithoutExifAreNeverTurnedByIt) {
    std::string plain = jpegSource("plain.jpg", quadrantPicture(40, 30), "");
    expectSuccess(run(plain, dir.file("plain_out.jpg"), "100%"));
    EXPECT_EQ(loadPicture(dir.file("plain_out.jpg"))->width, 40);
    EXPECT_EQ(orientationOf(dir.file("plain_out.jpg")), "no exif");

    std::string bmp = bmpSource("b.bmp", quadrantPicture(40, 30));
    expectSuccess(run(bmp, dir.file("b_out.jpg"), "100%"));
    EXPECT_EQ(loadPicture(dir.file("b_out.jpg"))->width, 40);
    EXPECT_EQ(orientationOf(dir.file("b_out.jpg")), "no exif");
}

TEST_F(ResizeJob, RotationNoneKeepsTheExifBlockAsItWas) {
    engine.rotate = Rotation::None;
    std::string source = jpegSource("n.jpg", quadrantPicture(40, 30), exifWithOrientation(6));
    expectSuccess(run(source, dir.file("n_out.jpg"), "100%"));
    EXPECT_EQ(loadPicture(dir.file("n_out.jpg"))->width, 40);
    EXPECT_EQ(orientationOf(dir.file("n_out.jpg")), "6");
}

struct TurnCase {
    int32_t rotation;
    int w, h;
    int width, height;
    Bgr topLeft;
};

TEST_F(ResizeJob, LandscapeAndPortraitTurnOnlyWhenNeeded) {
    const TurnCase cases[] = {
        {Rotation::Landscape, 30, 40, 40, 30, kBlue},   {Rotation::LandscapeCcw, 30, 40, 40, 30, kGreen},
        {Rotation::Portrait, 40, 30, 30, 40, kBlue},    {Rotation::Landscape, 40, 30, 40, 30, kRed},
        {Rotation::Portrait, 30, 40, 30, 40, kRed},     {Rotation::Landscape, 30, 30, 30, 30, kRed},
        {Rotation::LandscapeCcw, 30, 30, 30, 30, kRed}, {Rotation::Portrait, 30, 30, 30, 30, kRed},
    };
    for (const TurnCase& c : cases) {
        SCOPED_TRACE("rotation " + std::to_string(c.rotation) + " of " + std::to_string(c.w) + "x" +
                     std::to_string(c.h));
        engine.rotate = c.rotation;
        std::string source = bmpSource("t.bmp", quadrantPicture(c.w, c.h));
        std::string output = dir.file("t_out.bmp");
        deleteFile(output);
        expectSuccess(run(source, output, "100%"));
        PicturePtr result = loadPicture(output);
        EXPECT_EQ(result->width, c.width);
        EXPECT_EQ(result->height, c.height);
        EXPECT_TRUE(near(result->pixelAt(0, 0), c.topLeft, 0));
    }
}

// The sample photos: one landscape scene stored under each orientation value. Those turned by
// their tag must come out like the upright one; mirrored ones are left as stored.
TEST_F(ResizeJob, OrientationSamplePhotosComeOutUpright) {
    const std::string folder = testdataDir() + "/exif-orientation/";
    if (testdataDir().empty()) GTEST_SKIP() << "no conformance data";
    // Full-size photos on one thread: slow under the thread sanitizer and nothing for it to find.
    if (kThreadSanitizer) GTEST_SKIP() << "single-threaded; run in the other builds";
    engine.resizeQuality = ResizeQuality::Basic;
    // Upright: turned to match the upright photo. Kept or Transposed: mirrored, left as stored,
    // which is the upright shape or its transpose.
    enum Outcome { Upright, Kept, Transposed };
    struct Sample {
        const char* file;
        Outcome outcome;
        const char* tagAfter;
    } const samples[] = {
        {"Landscape_1.jpg", Upright, "1"},    {"Landscape_3.jpg", Upright, "1"},
        {"Landscape_6.jpg", Upright, "1"},    {"Landscape_8.jpg", Upright, "1"},
        {"Landscape_2.jpg", Kept, "2"},       {"Landscape_4.jpg", Kept, "4"},
        {"Landscape_5.jpg", Transposed, "5"}, {"Landscape_7.jpg", Transposed, "7"},
    };
    PicturePtr upright;
    for (const Sample& sample : samples) {
        SCOPED_TRACE(sample.file);
        std::string output = dir.file(sample.file);
        expectSuccess(run(folder + sample.file, output, "25%"));
        EXPECT_EQ(orientationOf(output), sample.tagAfter);
        PicturePtr result = loadPicture(output);
        if (!upright) {
            upright = std::move(result);
            continue;
        }
        if (sample.outcome == Transposed) {
            EXPECT_EQ(result->width, upright->height);
            EXPECT_EQ(result->height, upright->width);
            continue;
        }
        ASSERT_EQ(result->width, upright->width);
        ASSERT_EQ(result->height, upright->height);
        if (sample.outcome == Kept) continue;
        double difference = 0;
        for (int y = 0; y < result->height; ++y)
            for (int x = 0; x < result->width; ++x)
                for (int c = 0; c < 3; ++c)
                    difference += std::abs(result->pixelAt(x, y)[c] - upright->pixelAt(x, y)[c]);
        EXPECT_LT(difference / (3.0 * result->width * result->height), 8.0);
    }
}

// ---- Target size and aspect ratio ----

struct SizeCase {
    int w, h;
    const char* resolution;
    int32_t cropMode;
    int width, height;
};

TEST_F(ResizeJob, OutputSizeFollowsTheCropModeArithmetic) {
    engine.resizeQuality = ResizeQuality::Basic;
    const SizeCase cases[] = {
        {800, 600, "1024x768", CropMode::NoCrop, 1024, 768},  // enlarged, exactly fits
        {300, 400, "1024x768", CropMode::NoCrop, 576, 768},   // the default settings on a portrait
        {3, 2, "100x100", CropMode::NoCrop, 100, 67},         // height rounded to nearest
        {2, 3, "100x100", CropMode::NoCrop, 67, 100},         // width rounded to nearest
        {400, 200, "100x100", CropMode::Stretch, 100, 100},
        {400, 200, "100x100", CropMode::Crop, 100, 100},
        {1001, 333, "50%", CropMode::Stretch, 500, 166},  // percentages truncate
        {1001, 333, "50%", CropMode::Crop, 500, 166},
        {1001, 333, "50%", CropMode::NoCrop, 499, 166},  // then the fit: 1001 * 166 / 333 = 499
        {10, 4, " 6 x 2 ", CropMode::Stretch, 6, 2},     // blanks around the numbers
        {10, 4, "1024X768", CropMode::NoCrop, 1, 1},     // no size: the smallest picture
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " to " + c.resolution + " mode " +
                     std::to_string(c.cropMode));
        engine.cropMode = c.cropMode;
        std::string source = bmpSource("s.bmp", patternPicture(c.w, c.h));
        std::string output = dir.file("s_out.bmp");
        deleteFile(output);
        expectSuccess(run(source, output, c.resolution));
        PicturePtr result = loadPicture(output);
        EXPECT_EQ(result->width, c.width);
        EXPECT_EQ(result->height, c.height);
    }
}

struct CropCase {
    int w, h;
    const char* resolution;
    int x, y, width, height;  // the rectangle of the source that is kept
};

TEST_F(ResizeJob, CropKeepsTheCentreWithHalvesTruncated) {
    engine.cropMode = CropMode::Crop;
    const CropCase cases[] = {
        {10, 4, "6x4", 2, 0, 6, 4}, {11, 4, "6x4", 2, 0, 6, 4}, {10, 4, "5x4", 3, 0, 5, 4},
        {4, 10, "4x6", 0, 2, 4, 6}, {4, 11, "4x5", 0, 3, 4, 5}, {6, 4, "6x4", 0, 0, 6, 4},
    };
    for (const CropCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " to " + c.resolution);
        PicturePtr source = patternPicture(c.w, c.h);
        std::string output = dir.file("c_out.bmp");
        deleteFile(output);
        // The kept rectangle has the target size, so the result is that rectangle unresampled.
        expectSuccess(run(bmpSource("c.bmp", source), output, c.resolution));
        PicturePtr expected = makePicture(c.width, c.height, [&](int x, int y) {
            const uint8_t* p = source->pixelAt(c.x + x, c.y + y);
            return Bgr{p[0], p[1], p[2]};
        });
        EXPECT_TRUE(sameColours(*loadPicture(output), *expected));
    }
}

TEST_F(ResizeJob, TargetEqualToThePictureCopiesThePixelsUnchanged) {
    PicturePtr source = patternPicture(37, 23);
    for (int32_t mode : {CropMode::NoCrop, CropMode::Crop, CropMode::Stretch}) {
        engine.cropMode = mode;
        std::string output = dir.file("same" + std::to_string(mode) + ".bmp");
        expectSuccess(run(bmpSource("same.bmp", source), output, "37x23"));
        EXPECT_TRUE(sameColours(*loadPicture(output), *source)) << "mode " << mode;
    }
}

TEST_F(ResizeJob, ResizeQualityPicksTheFilter) {
    engine.cropMode = CropMode::Stretch;
    PicturePtr source = patternPicture(9, 7);
    const std::pair<int32_t, int> table[] = {
        {ResizeQuality::Basic, 1}, {ResizeQuality::High, 2}, {ResizeQuality::Best, 3}, {7, 2}, {-1, 2}};
    for (const auto& entry : table) {
        engine.resizeQuality = entry.first;
        std::string output =
            dir.file("q" + std::to_string(entry.second) + std::to_string(entry.first) + ".bmp");
        expectSuccess(run(bmpSource("q.bmp", source), output, "4x3"));
        PicturePtr expected(source->resize(4, 3, entry.second, false));
        EXPECT_TRUE(sameColours(*loadPicture(output), *expected)) << "quality " << entry.first;
    }
}

// ---- Saving ----

TEST_F(ResizeJob, ExifBlockIsCopiedPatchedOrNotAtAll) {
    std::string source = jpegSource("e.jpg", quadrantPicture(40, 30), exifWithOrientation(6));
    expectSuccess(run(source, dir.file("with.jpg"), "100%"));
    Exif copied;
    copied.loadFromJPG(dir.file("with.jpg"));
    ASSERT_TRUE(copied.loaded);
    EXPECT_EQ(copied.exifBlock, exifWithOrientation(1));

    engine.copyExif = false;
    expectSuccess(run(source, dir.file("without.jpg"), "100%"));
    EXPECT_EQ(orientationOf(dir.file("without.jpg")), "no exif");
    EXPECT_EQ(loadPicture(dir.file("without.jpg"))->width, 30);  // still turned
}

TEST_F(ResizeJob, JpegOutputNamedJpegInAnyCase) {
    std::string source = bmpSource("j.bmp", patternPicture(8, 8));
    for (const char* name : {"a.jpeg", "b.JPG", "c.JpEg", "d.BMP"}) {
        expectSuccess(run(source, dir.file(name), "4x4"));
        EXPECT_EQ(loadPicture(dir.file(name))->width, 4) << name;
    }
    // The save follows the output name, not the name of the file it is first written to.
    EXPECT_EQ(readBytes(dir.file("d.BMP")).substr(0, 2), "BM");
    EXPECT_EQ(readBytes(dir.file("a.jpeg")).substr(0, 2), "\xFF\xD8");
}

TEST_F(ResizeJob, ExistingOutputIsKeptWithoutOverwrite) {
    std::string source = bmpSource("x.bmp", patternPicture(8, 8));
    std::string output = dir.file("x_out.jpg");
    ASSERT_TRUE(writeBytes(output, "precious"));
    auto task = run(source, output, "4x4");
    EXPECT_TRUE(task->failed);
    EXPECT_EQ(task->message, "File already exists : " + output);
    EXPECT_EQ(readBytes(output), "precious");
}

TEST_F(ResizeJob, ExistingOutputIsReplacedWithOverwrite) {
    engine.overwrite = OverwriteMode::Yes;
    std::string source = bmpSource("x.bmp", patternPicture(8, 8));
    std::string output = dir.file("x_out.jpg");
    ASSERT_TRUE(writeBytes(output, "old"));
    expectSuccess(run(source, output, "4x4"));
    EXPECT_EQ(loadPicture(output)->width, 4);
}

TEST_F(ResizeJob, OverwritingTheSourceItselfReplacesItWithTheResult) {
    engine.overwrite = OverwriteMode::Yes;
    std::string source = bmpSource("self.bmp", patternPicture(8, 6));
    expectSuccess(run(source, source, "4x3"));
    EXPECT_EQ(loadPicture(source)->width, 4);
}

// A transparent PNG with a colour profile, resized to PNG and to BMP: the same pixels, the
// transparency and the profile kept.
TEST_F(ResizeJob, PngOutputHoldsThePixelsOfTheBmpOutputAndTheProfile) {
    PicturePtr picture = patternPicture(40, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) picture->pixelAt(x, y)[3] = uint8_t(x * 6 + y);
    picture->transparencyMode = TRANSPARENCY_ALPHA;
    // Bytes that say what a profile of red, green and blue says where it names its colour space.
    picture->iccProfile = std::string("\0profile\xff", 10) + std::string(300, 'c');
    picture->iccProfile.replace(16, 4, "RGB ");
    std::string source = dir.file("t.png");
    ASSERT_TRUE(picture->saveToPNG(source));
    expectSuccess(run(source, dir.file("t_out.png"), "20x15"));
    expectSuccess(run(source, dir.file("t_out.bmp"), "20x15"));
    PicturePtr png = loadPicture(dir.file("t_out.png")), bmp = loadPicture(dir.file("t_out.bmp"));
    ASSERT_EQ(png->width, 20);
    EXPECT_EQ(png->transparencyMode, TRANSPARENCY_ALPHA);
    EXPECT_EQ(memcmp(png->pixels, bmp->pixels, 20 * 15 * 4), 0);
    EXPECT_EQ(png->iccProfile, picture->iccProfile);
}

TEST_F(ResizeJob, OutputTypeOtherThanBmpJpegOrPngFailsToSave) {
    std::string source = bmpSource("p.bmp", patternPicture(8, 8));
    std::string output = dir.file("p_out.gif");
    auto task = run(source, output, "4x4");
    EXPECT_EQ(task->message, "Error saving " + output);
    EXPECT_FALSE(FileExist(output));
}

// ---- Failures: the message of the step, and nothing lost ----

TEST_F(ResizeJob, UnreadableSourceFailsToOpen) {
    std::string missing = dir.file("missing.jpg");
    EXPECT_EQ(run(missing, dir.file("m_out.jpg"), "4x4")->message, "Error opening " + missing);
    std::string garbage = dir.file("garbage.png");
    ASSERT_TRUE(writeBytes(garbage, "not a picture at all"));
    EXPECT_EQ(run(garbage, dir.file("g_out.jpg"), "4x4")->message, "Error opening " + garbage);
    EXPECT_FALSE(FileExist(dir.file("m_out.jpg")));

    // A header claiming 60000 x 60000 pixels (more than a picture may hold) and no pixel data.
    auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string header = "BM" + le32(54) + le32(0) + le32(54) + le32(40) + le32(60000) + le32(60000) +
                         std::string("\x01\x00\x18\x00", 4) + le32(0) + le32(0) + le32(2835) + le32(2835) +
                         le32(0) + le32(0);
    std::string huge = dir.file("huge.bmp");
    ASSERT_TRUE(writeBytes(huge, header));
    EXPECT_EQ(run(huge, dir.file("h_out.jpg"), "4x4")->message, "Error opening " + huge);
}

TEST_F(ResizeJob, TargetTooLargeForMemoryFailsToResize) {
    engine.cropMode = CropMode::Stretch;
    std::string source = bmpSource("big.bmp", patternPicture(4, 4));
    EXPECT_EQ(run(source, dir.file("big_out.jpg"), "50000x50000")->message, "Error resizing " + source);
    EXPECT_EQ(run(source, dir.file("big_out.jpg"), "5000000000%")->message, "Error resizing " + source);
    // The job after it runs normally.
    expectSuccess(run(source, dir.file("small_out.jpg"), "2x2"));
}

TEST_F(ResizeJob, OutputFolderThatCannotHoldFilesFailsToSave) {
    std::string source = bmpSource("f.bmp", patternPicture(8, 8));
    ASSERT_TRUE(writeBytes(dir.file("plain"), "a file, not a folder"));
    const std::string outputs[] = {dir.file("plain/out.jpg"), dir.file("missing/out.bmp"),
                                   "/proc/self/pixmill-out.bmp"};
    for (const std::string& output : outputs)
        EXPECT_EQ(run(source, output, "4x4")->message, "Error saving " + output);
    EXPECT_EQ(readBytes(dir.file("plain")), "a file, not a folder");
}

TEST_F(ResizeJob, OverwritingAFolderFailsAndKeepsIt) {
    engine.overwrite = OverwriteMode::Yes;
    std::string source = bmpSource("d.bmp", patternPicture(8, 8));
    std::string output = dir.file("folder.jpg");
    ASSERT_TRUE(makeDirectory(output));
    EXPECT_EQ(run(source, output, "4x4")->message, "Error saving " + output);
    EXPECT_TRUE(DirExist(output));
}

TEST_F(ResizeJob, ReadOnlyFolderFailsToSaveAndKeepsThePreviousFile) {
    engine.overwrite = OverwriteMode::Yes;
    std::string source = bmpSource("r.bmp", patternPicture(8, 8));
    std::string folder = dir.file("readonly");
    ASSERT_TRUE(makeDirectory(folder));
    std::string output = folder + "/r_out.jpg";
    ASSERT_TRUE(writeBytes(output, "the previous output"));
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    // Permission bits do not stop a privileged user (tests often run as root).
    if (access(folder.c_str(), W_OK) == 0) GTEST_SKIP() << "this user can write into read-only folders";
    EXPECT_EQ(run(source, output, "4x4")->message, "Error saving " + output);
    EXPECT_EQ(readBytes(output), "the previous output");
}

// A full disk: every file this process writes is cut at a few hundred bytes.
class FullDisk {
  public:
    FullDisk() {
        previousHandler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        struct rlimit small = previous;
        small.rlim_cur = 300;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FullDisk() {
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, previousHandler);
    }

  private:
    struct rlimit previous;
    void (*previousHandler)(int);
};

TEST_F(ResizeJob, FailedSaveLeavesThePreviousFileByteIdentical) {
    engine.overwrite = OverwriteMode::Yes;
    PicturePtr picture = patternPicture(64, 64);
    std::string source = bmpSource("full.bmp", picture);
    for (const char* name : {"full_out.jpg", "full_out.bmp"}) {
        SCOPED_TRACE(name);
        std::string output = dir.file(name);
        ASSERT_TRUE(writeBytes(output, "the previous output"));
        std::unique_ptr<ImageResizeTask> task;
        {
            FullDisk full;
            task = runJob(engine, source, output, "64x64");
        }
        EXPECT_EQ(task->message, "Error saving " + output);
        EXPECT_EQ(readBytes(output), "the previous output");
    }
    // The same when the output is the source itself.
    std::string before = readBytes(source);
    {
        FullDisk full;
        EXPECT_EQ(runJob(engine, source, source, "64x64")->message, "Error saving " + source);
    }
    EXPECT_EQ(readBytes(source), before);
}

}  // namespace
