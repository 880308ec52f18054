// SPDX-License-Identifier: MIT
// The pxm bridge: exact word tables, the null engine, drops, and the settings pushed at start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "picture/Picture.h"
#include "testsupport.h"

namespace {

// Each test gets its own engine on a private settings folder, reached through pxm as the window does.
class BridgeTest : public ::testing::Test {
  protected:
    TempDir settings;
    void SetUp() override { pxm = new Pixmill(settings.path()); }
    void TearDown() override { pxmDestroy(); }
};

struct WordCase {
    void (*setter)(const char*);
    std::atomic<int32_t> Pixmill::*field;
    const char* word;
    int32_t expected;  // -1: the field keeps its value
};

TEST_F(BridgeTest, WordTablesAreExactAndCaseSensitive) {
    const WordCase cases[] = {
        {pxmSetRotation, &Pixmill::rotate, "none", Rotation::None},
        {pxmSetRotation, &Pixmill::rotate, "exif", Rotation::ByExif},
        {pxmSetRotation, &Pixmill::rotate, "landscape", Rotation::Landscape},
        {pxmSetRotation, &Pixmill::rotate, "landscapeccw", Rotation::LandscapeCcw},
        {pxmSetRotation, &Pixmill::rotate, "portrait", Rotation::Portrait},
        {pxmSetRotation, &Pixmill::rotate, "Exif", -1},
        {pxmSetRotation, &Pixmill::rotate, "PORTRAIT", -1},
        {pxmSetRotation, &Pixmill::rotate, "exif ", -1},
        {pxmSetRotation, &Pixmill::rotate, "", -1},
        {pxmSetCrop, &Pixmill::cropMode, "nocrop", CropMode::NoCrop},
        {pxmSetCrop, &Pixmill::cropMode, "crop", CropMode::Crop},
        {pxmSetCrop, &Pixmill::cropMode, "stretch", CropMode::Stretch},
        {pxmSetCrop, &Pixmill::cropMode, "Crop", -1},
        {pxmSetOverwrite, &Pixmill::overwrite, "yes", OverwriteMode::Yes},
        {pxmSetOverwrite, &Pixmill::overwrite, "no", OverwriteMode::No},
        {pxmSetOverwrite, &Pixmill::overwrite, "true", -1},
        {pxmSetOverwrite, &Pixmill::overwrite, "Yes", -1},
        {pxmSetDestination, &Pixmill::destination, "same", Destination::SameFolder},
        {pxmSetDestination, &Pixmill::destination, "subfolder", Destination::SubFolder},
        {pxmSetDestination, &Pixmill::destination, "fixed", Destination::FixedFolder},
        // The settings file's words are not the window's.
        {pxmSetDestination, &Pixmill::destination, "samefolder", -1},
        {pxmSetDestination, &Pixmill::destination, "fixedfolder", -1},
        {pxmSetDestination, &Pixmill::destination, "Same", -1},
    };
    for (const WordCase& c : cases) {
        // Start from a value no word maps to, so "unchanged" cannot pass by coincidence.
        (pxm->*c.field) = 77;
        c.setter(c.word);
        EXPECT_EQ(pxm->*c.field, c.expected < 0 ? 77 : c.expected) << "word \"" << c.word << "\"";
        c.setter(nullptr);
        EXPECT_EQ(pxm->*c.field, c.expected < 0 ? 77 : c.expected) << "null after \"" << c.word << "\"";
    }
}

TEST_F(BridgeTest, TextSettersCopyTheirTextUnchecked) {
    std::string text = "12x34";
    pxmSetResolution(text.c_str());
    pxmSetOutputFormat("png");
    pxmSetSubFolder("small ones");
    pxmSetOutputFileName("%SRC%-&<%N3%");
    pxmSetFixedFolder("/srv/out");
    text = "overwritten";
    EXPECT_EQ(pxm->resolution, "12x34");
    EXPECT_EQ(pxm->outputFileType, "png");
    EXPECT_EQ(pxm->outputSubFolder, "small ones");
    EXPECT_EQ(pxm->outputFileName, "%SRC%-&<%N3%");
    EXPECT_EQ(pxm->outputFixedFolder, "/srv/out");
    pxmSetResolution(nullptr);
    EXPECT_EQ(pxm->resolution, "12x34");
}

TEST_F(BridgeTest, SettersWriteNothingUntilDestroy) {
    const std::string config = settings.file("config.xml");
    pxmSetRotation("portrait");
    pxmSetDestination("fixed");
    pxmSetFixedFolder("/srv/out");
    EXPECT_FALSE(FileExist(config));
    pxmDestroy();
    EXPECT_EQ(pxm, nullptr);
    const std::string text = readBytes(config);
    EXPECT_NE(text.find("<ROTATE>portrait</ROTATE>"), std::string::npos) << text;
    EXPECT_NE(text.find("<DESTINATION>fixedfolder</DESTINATION>"), std::string::npos) << text;
    EXPECT_NE(text.find("<OUTPUTFIXEDFOLDER>/srv/out</OUTPUTFIXEDFOLDER>"), std::string::npos) << text;
}

TEST(BridgeWithoutEngine, EveryFunctionIsHarmless) {
    ASSERT_EQ(pxm, nullptr);
    EXPECT_FALSE(pxmHandleFileDrop("/tmp/a.jpg"));
    pxmSetResolution("1x1");
    pxmSetRotation("none");
    pxmSetDestination("same");
    clearRecordedAppEvents();
    pxmInitGUI();
    EXPECT_TRUE(recordedAppEvents().empty());
    pxmDestroy();
    EXPECT_EQ(pxm, nullptr);
}

TEST_F(BridgeTest, DropOfFourWithOneUnsupportedQueuesThree) {
    TempDir images;
    const std::vector<std::string> names = {"a.bmp", "b.BMP", "notes.txt", "c.bmp"};
    CPicture picture(8, 6);
    for (const std::string& name : names) picture.saveToBMP(images.file(name));
    pxmSetDestination("same");
    std::vector<bool> results;
    for (const std::string& name : names) results.push_back(pxmHandleFileDrop(images.file(name).c_str()));
    EXPECT_EQ(results, (std::vector<bool>{true, true, false, true}));
    EXPECT_FALSE(pxmHandleFileDrop(nullptr));
    EnterCriticalSection(&pxm->taskMutex);
    EXPECT_EQ(pxm->tasks.size(), 3u);
    LeaveCriticalSection(&pxm->taskMutex);
}

struct InitCase {
    std::string config;
    std::vector<std::string> expected;  // "kind=value" per event, in order
};

std::vector<std::string> eventLines() {
    std::vector<std::string> lines;
    for (const AppEvent& e : recordedAppEvents()) {
        const bool textual = e.kind == "resolution" || e.kind == "destination" || e.kind == "subFolder" ||
                             e.kind == "fixedFolder" || e.kind == "outputFileName";
        lines.push_back(e.kind + "=" + (textual ? e.text : std::to_string(static_cast<int>(e.value))));
    }
    return lines;
}

TEST(BridgeInitGUI, PushesLoadedSettingsInOrder) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<CONFIG>\n";
    const InitCase cases[] = {
        // Defaults: no settings file.
        {"",
         {"resolution=1024x768", "crop=0", "overwrite=0", "rotation=1", "outputFormat=0",
          "destination=subfolder", "subFolder=resized",
          "fixedFolder=", "outputFileName=%SRC%_%DSTX%x%DSTY%"}},
        {head +
             "<RESOLUTION>640x480</RESOLUTION>\n<OUTPUTFILETYPE>bmp</OUTPUTFILETYPE>\n"
             "<OUTPUTFILENAME>img%N3%</OUTPUTFILENAME>\n<OUTPUTFIXEDFOLDER>/srv/out</OUTPUTFIXEDFOLDER>\n"
             "<OUTPUTSUBFOLDER>small</OUTPUTSUBFOLDER>\n<CROPMODE>stretch</CROPMODE>\n"
             "<DESTINATION>fixedfolder</DESTINATION>\n<OVERWRITE>yes</OVERWRITE>\n<ROTATE>portrait</ROTATE>\n"
             "</CONFIG>",
         {"resolution=640x480", "crop=2", "overwrite=1", "rotation=4", "outputFormat=1", "destination=fixed",
          "subFolder=small", "fixedFolder=/srv/out", "outputFileName=img%N3%"}},
        // A type the window cannot show leaves its control alone; samefolder shows as "same".
        {head + "<OUTPUTFILETYPE>gif</OUTPUTFILETYPE>\n<DESTINATION>samefolder</DESTINATION>\n</CONFIG>",
         {"resolution=1024x768", "crop=0", "overwrite=0", "rotation=1", "destination=same",
          "subFolder=resized", "fixedFolder=", "outputFileName=%SRC%_%DSTX%x%DSTY%"}},
        // The newer types follow the first three in the pop-up.
        {head + "<OUTPUTFILETYPE>same</OUTPUTFILETYPE>\n</CONFIG>",
         {"resolution=1024x768", "crop=0", "overwrite=0", "rotation=1", "outputFormat=7",
          "destination=subfolder", "subFolder=resized",
          "fixedFolder=", "outputFileName=%SRC%_%DSTX%x%DSTY%"}},
        // "JPG" is not exactly "jpg".
        {head + "<OUTPUTFILETYPE>JPG</OUTPUTFILETYPE>\n</CONFIG>",
         {"resolution=1024x768", "crop=0", "overwrite=0", "rotation=1", "destination=subfolder",
          "subFolder=resized", "fixedFolder=", "outputFileName=%SRC%_%DSTX%x%DSTY%"}},
    };
    for (const InitCase& c : cases) {
        TempDir settings;
        if (!c.config.empty()) {
            ASSERT_TRUE(writeBytes(settings.file("config.xml"), c.config));
        }
        pxm = new Pixmill(settings.path());
        clearRecordedAppEvents();
        pxmInitGUI();
        EXPECT_EQ(eventLines(), c.expected) << c.config;
        pxmDestroy();
    }
}

// pixmill-cli -j relies on the engine reading its limit through workerLimit().
TEST_F(BridgeTest, FrontEndCapBoundsTheLiveWorkers) {
    TempDir images;
    CPicture picture(64, 48);
    pxm->maxWorkers = 1;
    pxmSetDestination("same");
    int32_t most = 0;
    for (int i = 0; i < 6; ++i) {
        const std::string path = images.file("p" + std::to_string(i) + ".bmp");
        ASSERT_TRUE(picture.saveToBMP(path));
        EXPECT_TRUE(pxmHandleFileDrop(path.c_str()));
        most = std::max(most, pxm->runningThreads.load());
    }
    pxm->waitUntilIdle();
    EXPECT_EQ(most, 1);
}

TEST(BridgeWorkerLimit, FrontEndCapOrOnePerCore) {
    TempDir settings;
    Pixmill engine(settings.path());
    EXPECT_EQ(engine.workerLimit(), getNbCores());
    engine.maxWorkers = 3;
    EXPECT_EQ(engine.workerLimit(), 3);
}

}  // namespace
