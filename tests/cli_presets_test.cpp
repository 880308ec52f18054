// SPDX-License-Identifier: MIT
// pixmill-cli and presets: a preset stored by the command line, changed by an engine as the window
// would, and used again by the command line writes what the same settings given by hand write.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cli_support.h"
#include "engine/Pixmill.h"
#include "engine/Presets.h"

namespace {

class CliPresets : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", data.path().c_str(), 1);  // the menus, inherited by every run
        ASSERT_TRUE(makeImage(work.file("a.jpg"), 600, 400));
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }
    CliResult run(const std::vector<std::string>& args) { return runCli(args, config.path(), work.path()); }
    std::string folder() const { return config.file("pixmill"); }
    TempDir config, work, data;
};

}  // namespace

TEST_F(CliPresets, APresetWritesWhatItsSettingsByHandWrite) {
    const std::vector<std::string> byHand = {"-s", "300x200", "-c",        "crop",
                                             "-q", "70",      "--sharpen", "medium"};
    std::vector<std::string> save = {"--save-preset", "Mine"};
    save.insert(save.end(), byHand.begin(), byHand.end());
    CliResult result = run(save);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(FileExist(folder() + "/config.xml"));
    {
        // The window's side: it finds the preset, applies it, and stores a copy of its own.
        Pixmill window(folder());
        window.saveSettingsOnExit = false;
        std::string why;
        ASSERT_TRUE(applyPreset(window, "Mine", why)) << why;
        EXPECT_EQ(window.resolution, "300x200");
        EXPECT_EQ(window.output.sharpen, SharpenLevel::Medium);
        ASSERT_TRUE(savePreset(window, "From the window", why)) << why;
    }
    // Each preset against its settings given by hand, output folder against output folder.
    const std::pair<std::string, std::vector<std::string>> runs[] = {
        {"From the window", byHand},
        {"Web 1600",
         {"-s", "1600", "-t", "webp", "--metadata", "no-location", "--colour", "srgb", "--no-enlarge"}}};
    for (const auto& [preset, settings] : runs) {
        std::vector<std::string> handRun = settings;
        handRun.insert(handRun.end(), {"-o", "hand", "a.jpg"});
        ASSERT_EQ(run(handRun).status, 0);
        result = run({"--preset", preset, "-o", "preset", "a.jpg"});
        ASSERT_EQ(result.status, 0) << result.err;
        const std::vector<std::string> written = folderEntries(work.file("hand"));
        ASSERT_EQ(written.size(), 1u) << preset;
        EXPECT_EQ(folderEntries(work.file("preset")), written);
        EXPECT_EQ(readBytes(work.file("preset/" + written[0])), readBytes(work.file("hand/" + written[0])));
        removeTree(work.file("hand"));
        removeTree(work.file("preset"));
    }
    // Options before and after --preset change it for the run, and the run stores nothing.
    for (const auto& args : {std::vector<std::string>{"-q", "50", "--preset", "Mine", "--show-settings"},
                             std::vector<std::string>{"--preset", "Mine", "-q", "50", "--show-settings"}}) {
        result = run(args);
        EXPECT_TRUE(contains(result.out, "jpeg-quality: 50\n")) << result.out;
        EXPECT_TRUE(contains(result.out, "resolution: 300x200\n")) << result.out;
    }
    EXPECT_FALSE(FileExist(folder() + "/config.xml"));
}

TEST_F(CliPresets, ListDeleteAndMistakes) {
    CliResult result = run({"--list-presets"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Web 1600\nEmail 1024\nThumbnails 320\nSame size, no location\n");
    result = run({"--preset", "Nope", "a.jpg"});
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(contains(result.err, "there is no preset \"Nope\"")) << result.err;
    EXPECT_FALSE(DirExist(work.file("resized")));
    EXPECT_EQ(run({"--delete-preset", "Email 1024"}).status, 0);
    EXPECT_EQ(run({"--list-presets"}).out, "Web 1600\nThumbnails 320\nSame size, no location\n");
    EXPECT_EQ(run({"--delete-preset", "Email 1024"}).status, 2);
    for (const auto& args :
         {std::vector<std::string>{"--list-presets", "a.jpg"}, std::vector<std::string>{"--preset", ""},
          std::vector<std::string>{"--preset", "a", "--preset", "b", "a.jpg"},
          std::vector<std::string>{"--dry-run", "--save-preset", "x", "a.jpg"}})
        EXPECT_EQ(run(args).status, 2) << args[0];
    // A presets file that cannot be read is said so, and left as it is.
    ASSERT_TRUE(writeBytes(folder() + "/presets.xml", "<PRESETS><PRESET"));
    result = run({"--list-presets"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "presets.xml is not a presets file")) << result.err;
    EXPECT_EQ(run({"--save-preset", "New"}).status, 2);
    EXPECT_EQ(readBytes(folder() + "/presets.xml"), "<PRESETS><PRESET");
}
