// SPDX-License-Identifier: MIT
// Several outputs from one decode: every (size, type) file is the one a run for that pair alone
// writes, byte for byte, and resuming writes only the outputs that are missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "engine_testutil.h"
#include "tools/modTools.h"

namespace {

struct OutputsCase {
    const char* name;
    std::function<std::string(const TempDir&)> source;  // writes the source, returns its path
    std::vector<std::string> sizes, types;
    std::function<void(Pixmill&)> settings;
};

std::string turnedJpeg(const TempDir& dir) {
    const std::string path = dir.file("turned.jpg");
    EXPECT_TRUE(saveJpeg(*patternPicture(96, 64), path, exifWithOrientation(6)));
    return path;
}

std::string alphaPng(const TempDir& dir) {
    PicturePtr picture = patternPicture(70, 50);
    picture->transparencyMode = TRANSPARENCY_ALPHA;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 70; ++x) picture->pixelAt(x, y)[3] = uint8_t(x * 3 + y);
    const std::string path = dir.file("alpha.png");
    EXPECT_TRUE(picture->saveToPNG(path));
    return path;
}

std::string plainBmp(const TempDir& dir) {
    const std::string path = dir.file("plain.bmp");
    EXPECT_TRUE(patternPicture(50, 40)->saveToBMP(path));
    return path;
}

// Runs the engine's intake and workers on source into folder; returns the job.
ImageResizeTask* resizeInto(Pixmill& engine, const std::string& source, const std::string& folder) {
    engine.destination = Destination::FixedFolder;
    engine.outputFixedFolder = folder;
    engine.outputFileName = "%SRC%_%DSTX%x%DSTY%";
    EXPECT_TRUE(engine.addFile(source)) << engine.refusalReason(source);
    engine.waitUntilIdle();
    return engine.tasks.back();
}

const OutputsCase kCases[] = {
    // Streamed and turned by EXIF; 64x96 is the turned picture's own size (a copy, turned whole).
    {"turned JPEG", turnedJpeg, {"40", "64x96", "50%", "200x"}, {"jpg", "png"}, [](Pixmill&) {}},
    {"alpha PNG, nearest",
     alphaPng,
     {"30x", "x20", "140x"},
     {"png", "webp"},
     [](Pixmill& e) { e.resizeQuality = ResizeQuality::Nearest; }},
    {"BMP cropped in linear light, sharpened",
     plainBmp,
     {"32x32", "16x24"},
     {"png", "tif"},
     [](Pixmill& e) {
         e.cropMode = CropMode::Crop;
         e.output.linear = true;
         e.output.sharpen = SharpenLevel::Strong;
     }},
    // Each output searched for its own quality.
    {"size limit", turnedJpeg, {"90", "30"}, {"jpg", "webp"}, [](Pixmill& e) { e.output.maxBytes = 1500; }},
};

TEST(SeveralOutputs, EachFileIsTheOneItsOwnRunWrites) {
    for (const OutputsCase& c : kCases) {
        SCOPED_TRACE(c.name);
        TempDir settings, dir, together, apart;
        const std::string source = c.source(dir);
        Pixmill engine(settings.path());
        c.settings(engine);
        engine.resolution = c.sizes[0];
        engine.moreSizes.assign(c.sizes.begin() + 1, c.sizes.end());
        engine.outputFileType = c.types[0];
        engine.moreTypes.assign(c.types.begin() + 1, c.types.end());
        const ImageResizeTask* job = resizeInto(engine, source, together.path());
        ASSERT_EQ(job->outputs.size(), c.sizes.size() * c.types.size());
        EXPECT_FALSE(job->failed) << job->message << ": " << job->cause;
        for (const JobOutput& output : job->outputs) {
            SCOPED_TRACE(output.path);
            Pixmill alone(settings.path());
            c.settings(alone);
            alone.resolution = output.resolution;
            alone.outputFileType = output.path.substr(output.path.rfind('.') + 1);
            const ImageResizeTask* single = resizeInto(alone, source, apart.path());
            ASSERT_TRUE(single->outputs.empty());
            EXPECT_EQ(getFileName(single->outputPath), getFileName(output.path));
            EXPECT_FALSE(single->failed || output.failed) << single->message << output.message;
            EXPECT_EQ(readBytes(output.path), readBytes(single->outputPath));
            EXPECT_EQ(output.width, single->outputWidth);
            EXPECT_EQ(output.quality, single->outputQuality);
            EXPECT_EQ(output.quality > 0, engine.output.maxBytes > 0);
            EXPECT_EQ(output.note, single->note);
        }
    }
}

// With --skip-existing a source whose outputs all exist is passed over; otherwise only the
// missing ones are written.
TEST(SeveralOutputs, ResumingWritesOnlyTheMissingOutputs) {
    TempDir settings, dir, out;
    const std::string source = plainBmp(dir);
    Pixmill engine(settings.path());
    engine.skipExisting = true;
    engine.resolution = "20";
    engine.moreSizes = {"10"};
    engine.outputFileType = "png";
    const ImageResizeTask* first = resizeInto(engine, source, out.path());
    ASSERT_EQ(first->outputs.size(), 2u);
    ASSERT_EQ(unlink(first->outputs[1].path.c_str()), 0);
    const ImageResizeTask* again = resizeInto(engine, source, out.path());
    EXPECT_FALSE(again->skipped || again->failed);
    EXPECT_TRUE(again->outputs[0].skipped);
    EXPECT_FALSE(again->outputs[1].skipped);
    EXPECT_TRUE(FileExist(again->outputs[1].path));
    const ImageResizeTask* last = resizeInto(engine, source, out.path());
    EXPECT_TRUE(last->skipped && !last->failed);
    EXPECT_EQ(last->message, "File already exists : " + last->outputs[0].path);
}

}  // namespace
