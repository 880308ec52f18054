// SPDX-License-Identifier: MIT
// Damaged and hostile files, the memory budget shared by the jobs, and the causes of failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/MemoryBudget.h"
#include "engine_testutil.h"
#include "gif_recipe.h"

namespace {

using Grant = MemoryBudget::Grant;

void waitForWaiters(MemoryBudget& budget, size_t count) {
    while (budget.waiters() < count) std::this_thread::yield();
}

TEST(MemoryBudget, WaitersAreServedInOrderWithoutOvertaking) {
    MemoryBudget budget;
    std::atomic<bool> stop{false};
    ASSERT_EQ(budget.reserve(50, 100, stop), Grant::Granted);
    std::mutex lock;
    std::vector<int> order;
    auto job = [&](int id, uint64_t bytes) {
        EXPECT_EQ(budget.reserve(bytes, 100, stop), Grant::Granted);
        {
            std::lock_guard<std::mutex> hold(lock);
            order.push_back(id);
        }
        budget.release(bytes);
    };
    std::thread big(job, 1, 60);
    waitForWaiters(budget, 1);
    // Would fit beside the first holder, but waits behind the earlier caller.
    std::thread small(job, 2, 50);
    waitForWaiters(budget, 2);
    // The first waiter goes; the second fits only once the first has let go.
    budget.release(50);
    big.join();
    small.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(budget.held(), 0u);
}

TEST(MemoryBudget, RefusesMoreThanTheLimitAndEndsWaitsOnStop) {
    MemoryBudget budget;
    std::atomic<bool> stop{false};
    EXPECT_EQ(budget.reserve(101, 100, stop), Grant::TooLarge);
    // Nothing held: the whole limit is granted at once.
    ASSERT_EQ(budget.reserve(100, 100, stop), Grant::Granted);
    std::thread waiter([&] { EXPECT_EQ(budget.reserve(1, 100, stop), Grant::Stopped); });
    waitForWaiters(budget, 1);
    stop = true;
    budget.wake();
    waiter.join();
    EXPECT_EQ(budget.held(), 100u);
}

class HostileFiles : public ::testing::Test {
  protected:
    TempDir settings;
    TempDir dir;
    Pixmill engine{settings.path()};

    std::unique_ptr<ImageResizeTask> run(const std::string& source, const std::string& resolution = "64x64") {
        return runJob(engine, source, dir.file("out_" + getFileName(source) + ".jpg"), resolution);
    }
    std::string jpeg(const std::string& name, int w, int h) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(saveJpeg(*patternPicture(w, h), path));
        return path;
    }
};

TEST_F(HostileFiles, BatchWithinABudgetSmallerThanTwoPicturesFinishesInOrder) {
    // Each job holds its 400x300 picture and its result: more than half of the budget.
    engine.memoryLimit = 700 * 1000;
    engine.maxWorkers = 2;
    std::vector<std::string> sources;
    for (int i = 0; i < 4; ++i) {
        sources.push_back(dir.file("p" + std::to_string(i) + ".bmp"));
        ASSERT_TRUE(patternPicture(400, 300)->saveToBMP(sources.back()));
    }
    for (const std::string& source : sources) {
        ImageResizeTask* task = new ImageResizeTask(&engine);
        task->sourcePath = source;
        task->outputPath = source + ".jpg";
        task->resolution = "200x150";
        engine.addTask(task);
    }
    engine.waitUntilIdle();
    for (ImageResizeTask* task : engine.tasks)
        EXPECT_FALSE(task->failed) << task->message << ": " << task->cause;
    EXPECT_EQ(engine.memoryBudget.held(), 0u);
}

TEST_F(HostileFiles, HugeScreenWithASmallImageIsStreamedAndFailsOnlyBelowItsRows) {
    gifrecipe::Image image;
    image.width = image.height = 2;
    image.pixels = {0, 1, 1, 0};
    image.lzw.minCodeSize = 2;
    const std::string path = dir.file("screen.gif");
    ASSERT_TRUE(writeBytes(path, gifrecipe::GifBuilder()
                                     .header(60000, 30000, {0, 0, 0, 255, 255, 255, 9, 9, 9, 7, 7, 7})
                                     .image(image)
                                     .trailer()
                                     .str()));
    // The screen is streamed: a few rows of it and the image's indices fit a small budget...
    engine.memoryLimit = uint64_t(64) << 20;
    auto streamed = run(path);
    EXPECT_FALSE(streamed->failed) << streamed->message << ": " << streamed->cause;
    EXPECT_TRUE(FileExist(dir.file("out_screen.gif.jpg")));
    // ...but not one smaller than those rows, which fails at once.
    engine.memoryLimit = uint64_t(8) << 20;
    auto task = run(path);
    EXPECT_TRUE(task->failed);
    EXPECT_EQ(task->message, "Error opening " + path);
    EXPECT_NE(task->cause.find("MiB of memory, 8 MiB allowed"), std::string::npos) << task->cause;
}

TEST_F(HostileFiles, CutJpegIsWrittenAndReportedDamaged) {
    const std::string whole = readBytes(jpeg("whole.jpg", 320, 240));
    for (int percent : {30, 60, 95}) {
        const std::string path = dir.file("cut" + std::to_string(percent) + ".jpg");
        ASSERT_TRUE(writeBytes(path, whole.substr(0, whole.size() * percent / 100)));
        auto task = run(path);
        EXPECT_FALSE(task->failed) << task->message;
        EXPECT_EQ(task->warning, "Premature end of JPEG file") << percent;
        EXPECT_TRUE(FileExist(task->outputPath));
    }
    // Cut inside the header: nothing to decode.
    const std::string path = dir.file("header.jpg");
    ASSERT_TRUE(writeBytes(path, whole.substr(0, 40)));
    auto task = run(path);
    EXPECT_TRUE(task->failed);
    EXPECT_FALSE(task->cause.empty());
}

// Our PNG writer puts the data of a small picture in one IDAT chunk, so every cut lands inside
// it: the cut chunk is dropped, yet the file held its bytes and is damaged, not refused.
TEST_F(HostileFiles, CutPngAndBmpAreWrittenAndReportedDamaged) {
    const PicturePtr picture = patternPicture(320, 240);
    for (const std::string format : {"png", "bmp"}) {
        const std::string source = dir.file("whole." + format);
        ASSERT_TRUE(format == "png" ? picture->saveToPNG(source) : picture->saveToBMP(source));
        const std::string whole = readBytes(source);
        for (int percent : {10, 30, 60, 95}) {
            const std::string path = dir.file("cut" + std::to_string(percent) + "." + format);
            ASSERT_TRUE(writeBytes(path, whole.substr(0, whole.size() * percent / 100)));
            auto task = run(path);
            SCOPED_TRACE(path);
            EXPECT_FALSE(task->failed) << task->message << ": " << task->cause;
            EXPECT_NE(task->warning.find("the file ends early:"), std::string::npos) << task->warning;
            EXPECT_TRUE(FileExist(task->outputPath));
        }
    }
}

TEST_F(HostileFiles, FilesThatCannotHoldTheirPictureOrAreNoImageSayWhy) {
    const std::string text = dir.file("notes.jpg");
    ASSERT_TRUE(writeBytes(text, std::string("just some words, no picture")));
    auto task = run(text);
    EXPECT_EQ(task->message, "Error opening " + text);
    EXPECT_EQ(task->cause, "not an image file (starts with 0x6a 0x75 0x73 0x74)");

    // A sound file claims 40000x40000 in its frame header: its blocks need far more bytes than it has.
    std::string bytes = readBytes(jpeg("small.jpg", 64, 64));
    const size_t frame = bytes.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    bytes[frame + 5] = bytes[frame + 7] = char(0x9C);
    bytes[frame + 6] = bytes[frame + 8] = char(0x40);
    const std::string huge = dir.file("huge.jpg");
    ASSERT_TRUE(writeBytes(huge, bytes));
    task = run(huge);
    EXPECT_EQ(task->message, "Error opening " + huge);
    EXPECT_NE(task->cause.find("needs at least"), std::string::npos) << task->cause;
    // The bound keeps the sound file.
    EXPECT_FALSE(run(dir.file("small.jpg"))->failed);
}

TEST_F(HostileFiles, GifTooShortForItsImageFailsAndACutOneIsDamaged) {
    gifrecipe::Image image;
    image.width = 65535;
    image.height = 32767;
    image.useRaw = true;
    image.raw = {0x04, 0x01};
    image.lzw.minCodeSize = 2;
    const std::vector<uint8_t> table = {0, 0, 0, 255, 255, 255, 9, 9, 9, 7, 7, 7};
    // A budget that takes the declared screen, so that the file's own bound is what refuses it.
    engine.memoryLimit = uint64_t(64) << 30;
    const std::string hostile = dir.file("hostile.gif");
    ASSERT_TRUE(writeBytes(hostile,
                           gifrecipe::GifBuilder().header(65535, 32767, table).image(image).trailer().str()));
    auto task = run(hostile);
    EXPECT_EQ(task->message, "Error opening " + hostile);
    EXPECT_NE(task->cause.find("cannot be held in a file of"), std::string::npos) << task->cause;

    image.width = image.height = 64;
    image.useRaw = false;
    for (int i = 0; i < 64 * 64; ++i) image.pixels.push_back(uint8_t((i * 7 + i / 64) % 4));
    std::string whole = gifrecipe::GifBuilder().header(64, 64, table).image(image).trailer().str();
    const std::string cut = dir.file("cut.gif");
    ASSERT_TRUE(writeBytes(cut, whole.substr(0, whole.size() / 2)));
    task = run(cut);
    EXPECT_FALSE(task->failed) << task->message;
    EXPECT_NE(task->warning.find("the file ends early:"), std::string::npos) << task->warning;
    const std::string sound = dir.file("sound.gif");
    ASSERT_TRUE(writeBytes(sound, whole));
    task = run(sound);
    EXPECT_FALSE(task->failed);
    EXPECT_EQ(task->warning, "");
}

TEST_F(HostileFiles, SourceThatCannotBeOpenedTakesTheSystemsWords) {
    for (const char* name : {"gone.jpg", "gone.png", "gone.gif", "gone.bmp"}) {
        auto task = run(dir.file(name));
        EXPECT_EQ(task->message, "Error opening " + dir.file(name));
        EXPECT_EQ(task->cause, "No such file or directory") << name;
    }
}

TEST_F(HostileFiles, SaveFailureTakesTheSystemsWords) {
    const std::string source = jpeg("source.jpg", 32, 32);
    auto task = runJob(engine, source, dir.file(std::string(260, 'n') + ".jpg"), "16x16");
    EXPECT_TRUE(task->failed);
    EXPECT_EQ(task->cause, "File name too long");
    task = runJob(engine, source, dir.file("missing/out.jpg"), "16x16");
    EXPECT_EQ(task->cause, "No such file or directory");
    // A folder that intake could not make (a read-only source folder) gives the reason why.
    ImageResizeTask held(&engine);
    held.sourcePath = source;
    held.outputPath = dir.file("missing/out.jpg");
    held.resolution = "16x16";
    held.folderError = EACCES;
    held.execute();
    EXPECT_EQ(held.cause, "Permission denied");
}

}  // namespace
