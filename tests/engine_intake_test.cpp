// SPDX-License-Identifier: MIT
// Job intake: which dropped paths become jobs, and the output path each job gets.
#include <gtest/gtest.h>

#include "engine_testutil.h"
#include "tools/modTools.h"

namespace {

// The sources named here do not exist, so the queued jobs end at once with "Error opening" and
// never write anything, wherever their output path points.
class Intake : public ::testing::Test {
  protected:
    TempDir settings;
    TempDir dir;
    Pixmill engine{settings.path()};

    void SetUp() override { engine.destination = Destination::SameFolder; }
    void TearDown() override { engine.waitUntilIdle(); }

    // The output path of the job queued for path, or "refused".
    std::string outputFor(const std::string& path) {
        size_t before = engine.tasks.size();
        if (!engine.addFile(path)) {
            EXPECT_EQ(engine.tasks.size(), before);
            return "refused";
        }
        EXPECT_EQ(engine.tasks.size(), before + 1);
        return engine.tasks.back()->outputPath;
    }
    std::string nameFor(const std::string& fileName) { return getFileName(outputFor(dir.file(fileName))); }
};

TEST_F(Intake, WorkedExampleWithTheDefaults) {
    engine.destination = Destination::SubFolder;
    std::string pictures = dir.file("Pictures");
    ASSERT_TRUE(makeDirectory(pictures));
    EXPECT_EQ(outputFor(pictures + "/Beach.JPEG"), pictures + "/resized/Beach_1024x768.jpeg");
    EXPECT_TRUE(DirExist(pictures + "/resized"));

    ImageResizeTask& job = *engine.tasks.back();
    EXPECT_EQ(job.engine, &engine);
    EXPECT_EQ(job.sourcePath, pictures + "/Beach.JPEG");
    EXPECT_EQ(job.resolution, "1024x768");
    EXPECT_EQ(job.targetWidth, 1024);
    EXPECT_EQ(job.targetHeight, 768);
}

TEST_F(Intake, WorkedExampleWithACounter) {
    engine.outputFileName = "img%N3%";
    engine.outputFileType = "bmp";
    EXPECT_EQ(nameFor("a.png"), "img001.bmp");
    EXPECT_EQ(engine.fileCounter, 2u);
    ASSERT_TRUE(writeBytes(dir.file("img003.bmp"), "taken"));
    EXPECT_EQ(nameFor("b.png"), "img002.bmp");
    EXPECT_EQ(nameFor("c.png"), "img004.bmp");
    EXPECT_EQ(engine.fileCounter, 5u);
}

TEST_F(Intake, RefusesFilesThatAreNotImagesAndSizesWithAZeroSide) {
    EXPECT_EQ(outputFor(dir.file("notes.psd")), "refused");
    EXPECT_EQ(outputFor(dir.path()), "refused");
    engine.destination = Destination::SubFolder;
    for (const char* resolution : {"0x600", "600x0", "x0", "abcx600", "600x-"}) {
        engine.resolution = resolution;
        EXPECT_EQ(outputFor(dir.file("a.jpg")), "refused") << resolution;
    }
    // A refused drop leaves nothing behind.
    EXPECT_FALSE(DirExist(dir.file("resized")));
    EXPECT_EQ(engine.fileCounter, 1u);
}

TEST_F(Intake, NamesFromTheSourceTheTypeAndTheResolution) {
    struct Case {
        const char* file;
        const char* type;
        const char* resolution;
        const char* name;
    } const cases[] = {
        {"photo.PNG", "jpg", "1024x768", "photo_1024x768.jpg"},
        {"photo.jpeg", "bmp", "1024x768", "photo_1024x768.bmp"},  // ".jpeg" is kept only for "jpg"
        {"photo.JPEG", "jpg", "1024x768", "photo_1024x768.jpeg"},
        {"photo.Jpg", "jpg", "1024x768", "photo_1024x768.jpg"},
        {"myjpeg", "jpg", "1024x768", "myjpeg_1024x768.jpg"},  // no dot: the whole name
        {"a.b.c.jpg", "jpg", "1024x768", "a.b.c_1024x768.jpg"},
        {"p.gif", "jpg", "1024X768", "p_0x0.jpg"},  // upper-case X does not split
        {"p.gif", "jpg", "50%", "p_0x0.jpg"},
        {"p.gif", "jpg", " 640 x 480x", "p_640x480.jpg"},  // blanks, empty last piece
        {"p.gif", "png", "-5x7", "p_-5x7.png"},
        {"%DSTX%.bmp", "jpg", "800x600", "800_800x600.jpg"},  // tokens apply to the source's name
    };
    for (const Case& c : cases) {
        engine.outputFileType = c.type;
        engine.resolution = c.resolution;
        EXPECT_EQ(nameFor(c.file), c.name) << c.file << " " << c.type << " " << c.resolution;
    }
}

TEST_F(Intake, TemplateTokensAndPlainText) {
    engine.outputFileName = "%SRC%-%SRC% [%DSTY%] %N%,%N2%,%N6% 100%";
    EXPECT_EQ(nameFor("a.png"), "a-a [768] 1,01,000001 100%.jpg");
    engine.outputFileName = "same";
    EXPECT_EQ(nameFor("a.png"), "same.jpg");
    EXPECT_EQ(nameFor("b.png"), "same.jpg");  // the later job meets an existing file
}

TEST_F(Intake, OutputFolderByDestination) {
    std::string source = dir.file("in/a.png");
    ASSERT_TRUE(makeDirectory(dir.file("in")));
    engine.destination = Destination::SameFolder;
    EXPECT_EQ(outputFor(source), dir.file("in/a_1024x768.jpg"));

    engine.destination = Destination::SubFolder;
    engine.outputSubFolder = "small";
    EXPECT_EQ(outputFor(source), dir.file("in/small/a_1024x768.jpg"));
    EXPECT_TRUE(DirExist(dir.file("in/small")));

    engine.destination = Destination::FixedFolder;
    engine.outputFixedFolder = dir.file("fixed");
    EXPECT_EQ(outputFor(source), dir.file("fixed/a_1024x768.jpg"));
    EXPECT_TRUE(DirExist(dir.file("fixed")));

    // Only one level is created; the save fails later instead.
    engine.outputFixedFolder = dir.file("deep/er");
    EXPECT_EQ(outputFor(source), dir.file("deep/er/a_1024x768.jpg"));
    EXPECT_FALSE(DirExist(dir.file("deep")));

    engine.outputFixedFolder = "";
    EXPECT_EQ(outputFor(source), "/a_1024x768.jpg");
}

TEST_F(Intake, CounterSkipsExistingFilesAndNeverGoesBack) {
    engine.outputFileName = "%N%";
    for (int i = 1; i <= 9; ++i) ASSERT_TRUE(writeBytes(dir.file(std::to_string(i) + ".jpg"), "x"));
    EXPECT_EQ(nameFor("a.png"), "10.jpg");
    EXPECT_EQ(nameFor("b.png"), "11.jpg");
    EXPECT_EQ(engine.fileCounter, 12u);
    // The counter is shared by every template and never reset.
    engine.outputFileName = "%SRC%%N2%";
    EXPECT_EQ(nameFor("c.png"), "c12.jpg");
    // An existing folder counts as an existing file.
    ASSERT_TRUE(makeDirectory(dir.file("c13.jpg")));
    EXPECT_EQ(nameFor("c.png"), "c14.jpg");
}

TEST_F(Intake, ZeroFillNeverTruncatesTheCounter) {
    engine.outputFileName = "%N6%_%N2%_%N%";
    engine.fileCounter = 1234567;
    EXPECT_EQ(nameFor("a.png"), "1234567_1234567_1234567.jpg");
    engine.fileCounter = 18446744073709551615u;
    EXPECT_EQ(nameFor("a.png"), "18446744073709551615_18446744073709551615_18446744073709551615.jpg");
}

}  // namespace
