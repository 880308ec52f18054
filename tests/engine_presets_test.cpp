// SPDX-License-Identifier: MIT
// Presets: a round trip between two engines through presets.xml, the shipped defaults, changes
// that keep each other, hostile files, and the file managers' menus that follow the presets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "engine/Pixmill.h"
#include "engine/PresetMenus.h"
#include "engine/Presets.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

const std::vector<std::string> kDefaultNames = {"Web 1600", "Email 1024", "Thumbnails 320",
                                                "Same size, no location"};

// Every test gets its own settings folder, and its own data folder for the menus (never the user's).
class Presets : public ::testing::Test {
  protected:
    void SetUp() override { setenv("XDG_DATA_HOME", data.path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }
    std::string folder() const { return settings.file("pixmill"); }
    std::string presetsFile() const { return folder() + "/presets.xml"; }
    std::string serviceMenu() const { return data.file("kio/servicemenus/pixmill-presets.desktop"); }
    std::string nemoAction(int n) const {
        return data.file("nemo/actions/pixmill-preset-" + std::to_string(n) + ".nemo_action");
    }
    TempDir settings, data;
};

// Sets every output setting away from its default.
void setUnusualOutputs(Pixmill& engine) {
    engine.resolution = "800x";
    engine.moreSizes = {"320", "50%"};
    engine.outputFileType = "png";
    engine.moreTypes = {"webp"};
    engine.applySettingsText(
        "<CROPMODE>crop</CROPMODE><ROTATE>landscape</ROTATE><RESIZEQUALITY>best</RESIZEQUALITY>"
        "<JPEGQUALITY>77</JPEGQUALITY><WEBPQUALITY>70</WEBPQUALITY><AVIFQUALITY>50</AVIFQUALITY>"
        "<JXLQUALITY>100</JXLQUALITY><METADATA>no-location</METADATA><COLOUR>srgb</COLOUR>"
        "<SHARPEN>medium</SHARPEN><LINEAR>true</LINEAR><NOENLARGE>true</NOENLARGE><KEEPDATES>true</KEEPDATES>"
        "<PROGRESSIVE>true</PROGRESSIVE><MAXBYTES>500K</MAXBYTES><FASTDRAFT>true</FASTDRAFT>");
}

}  // namespace

// What one engine (the window) stores, another (the command line) applies whole, over settings of
// its own; the destination and the name template stay its own.
TEST_F(Presets, AnEngineAppliesWhatAnotherStored) {
    Preset stored;
    {
        Pixmill window(folder());
        window.saveSettingsOnExit = false;
        setUnusualOutputs(window);
        std::string why;
        ASSERT_TRUE(savePreset(window, "  Mine", why)) << why;
        stored = presetFromEngine(window, "Mine");
    }
    Pixmill other(folder());
    other.saveSettingsOnExit = false;
    other.applySettingsText(
        "<RESOLUTION>50%</RESOLUTION><SHARPEN>strong</SHARPEN><COPYEXIF>false</COPYEXIF>");
    other.outputFileName = "kept%N%";
    std::string why;
    ASSERT_TRUE(applyPreset(other, "Mine", why)) << why;
    EXPECT_EQ(presetFromEngine(other, "Mine").elements, stored.elements);
    EXPECT_EQ(other.outputFileName, "kept%N%");
    EXPECT_EQ(other.metadataMode(), MetadataMode::NoLocation);
    // Applying a default after it leaves none of Mine behind.
    ASSERT_TRUE(applyPreset(other, "Same size, no location", why)) << why;
    EXPECT_EQ(other.resolution, "100%");
    EXPECT_TRUE(other.moreSizes.empty());
    EXPECT_EQ(other.output.sharpen, SharpenLevel::None);
    EXPECT_FALSE(other.fastDraft);
}

TEST_F(Presets, DefaultsShipUntilTheFirstChange) {
    EXPECT_EQ(presetNames(folder()), kDefaultNames);
    Pixmill engine(folder());
    engine.saveSettingsOnExit = false;
    std::string why;
    ASSERT_TRUE(applyPreset(engine, "web 1600", why)) << why;  // letter case and blanks aside
    EXPECT_EQ(engine.resolution, "1600");
    EXPECT_EQ(engine.outputFileType, "webp");
    EXPECT_EQ(engine.metadataMode(), MetadataMode::NoLocation);
    EXPECT_EQ(engine.output.colour, ColourMode::Srgb);
    ASSERT_TRUE(applyPreset(engine, "Thumbnails 320", why));
    EXPECT_FALSE(engine.copyExif);
    EXPECT_EQ(engine.jpegQuality, 80);
    // An unknown name changes nothing and names the presets there are.
    EXPECT_FALSE(applyPreset(engine, "Print 4000", why));
    EXPECT_NE(why.find("\"Print 4000\""), std::string::npos);
    EXPECT_NE(why.find("\"Email 1024\""), std::string::npos);
    EXPECT_EQ(engine.resolution, "320");
    EXPECT_FALSE(FileExist(presetsFile()));
    // The first change keeps the other defaults; deleting every preset leaves none, not the defaults.
    ASSERT_TRUE(deletePreset(folder(), "Email 1024", why)) << why;
    EXPECT_EQ(presetNames(folder()),
              std::vector<std::string>({"Web 1600", "Thumbnails 320", "Same size, no location"}));
    for (const char* name : {"Web 1600", "Thumbnails 320", "Same size, no location"})
        ASSERT_TRUE(deletePreset(folder(), name, why));
    EXPECT_TRUE(presetNames(folder()).empty());
    EXPECT_FALSE(deletePreset(folder(), "Web 1600", why));
}

// Each change reads the file at the moment it is made, so two programs never undo each other; the
// file is replaced in one step (no temporary file left) and names survive any XML character.
TEST_F(Presets, ChangesKeepEachOthersWorkAndNamesStayWhole) {
    Pixmill window(folder()), cli(folder());
    window.saveSettingsOnExit = cli.saveSettingsOnExit = false;
    const std::string odd = "R&D <\"print\"> 4000 'é' \\ $HOME %F";
    std::string why;
    ASSERT_TRUE(savePreset(window, "A", why));
    ASSERT_TRUE(savePreset(cli, odd, why));
    ASSERT_TRUE(renamePreset(folder(), "A", "Web 1600 copy", why));
    EXPECT_FALSE(renamePreset(folder(), "Web 1600 copy", "Email 1024", why));
    EXPECT_NE(why.find("already"), std::string::npos);
    std::vector<std::string> names = kDefaultNames;
    names.push_back("Web 1600 copy");
    names.push_back(odd);
    EXPECT_EQ(presetNames(folder()), names);
    EXPECT_EQ(strsplit(readBytes(presetsFile()), "<PRESET ").size(), 7u);
    // Saving under a name there is replaces it in its place.
    window.resolution = "4000";
    ASSERT_TRUE(savePreset(window, "Email 1024", why));
    EXPECT_EQ(presetNames(folder()), names);
    ASSERT_TRUE(applyPreset(cli, "Email 1024", why));
    EXPECT_EQ(cli.resolution, "4000");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder()), {}), 1);  // no temporary file left
    for (const std::string& bad : {std::string("   "), std::string("tab\there"), std::string("line\nfeed"),
                                   std::string("\xC3\x28 not UTF-8"), std::string(201, 'x')}) {
        EXPECT_FALSE(savePreset(window, bad, why)) << bad;
        EXPECT_FALSE(renamePreset(folder(), "A", bad, why)) << bad;
    }
    EXPECT_EQ(presetNames(folder()), names);
}

// A file that is not a presets file gives no presets and a reason, and no change overwrites it.
TEST_F(Presets, HostileFilesAreReportedAndKept) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    std::string many = "<PRESETS>";
    for (int i = 0; i < 1001; ++i) many += "<PRESET name=\"p" + std::to_string(i) + "\"/>";
    const std::string cases[] = {
        "",
        "not XML at all",
        "<PRESETS><PRESET name=\"cut\"><RESOLUTION>1600",
        "<CONFIG><RESOLUTION>10</RESOLUTION></CONFIG>",
        "<PRESETS>" + deep,
        "<PRESETS><PRESET name=\"big\"><R>" + std::string(1100000, 'x') + "</R></PRESET></PRESETS>",
        many + "</PRESETS>",
    };
    Pixmill engine(folder());
    engine.saveSettingsOnExit = false;
    for (const std::string& text : cases) {
        ASSERT_TRUE(writeBytes(presetsFile(), text));
        std::vector<Preset> presets;
        std::string why;
        EXPECT_FALSE(readPresets(folder(), presets, why)) << text.substr(0, 40);
        EXPECT_NE(why.find("presets.xml"), std::string::npos) << why;
        EXPECT_TRUE(presetNames(folder()).empty());
        EXPECT_FALSE(applyPreset(engine, "Web 1600", why));
        EXPECT_FALSE(savePreset(engine, "New", why));
        EXPECT_NE(why.find("left as it is"), std::string::npos) << why;
        EXPECT_FALSE(deletePreset(folder(), "cut", why));
        EXPECT_EQ(readBytes(presetsFile()), text);
    }
    // A pipe in its place is reported, never read (that would block) nor replaced.
    ASSERT_EQ(unlink(presetsFile().c_str()), 0);
    ASSERT_EQ(mkfifo(presetsFile().c_str(), 0600), 0);
    std::string pipeWhy;
    EXPECT_FALSE(savePreset(engine, "New", pipeWhy));
    EXPECT_NE(pipeWhy.find("not a regular file"), std::string::npos) << pipeWhy;
    ASSERT_EQ(unlink(presetsFile().c_str()), 0);
    // Odd but readable: an empty list, a nameless preset left out, a value that would break the
    // settings text ignored, unknown elements harmless.
    ASSERT_TRUE(
        writeBytes(presetsFile(),
                   "<presets><!-- mine --><PRESET><RESOLUTION>1</RESOLUTION></PRESET>"
                   "<preset name=\"x\"><Resolution>&lt;b&gt;</Resolution><JPEGQUALITY>55</JPEGQUALITY>"
                   "<NOSUCH>1</NOSUCH></preset></presets>"));
    EXPECT_EQ(presetNames(folder()), std::vector<std::string>({"x"}));
    std::string why;
    engine.resolution = "640x480";
    ASSERT_TRUE(applyPreset(engine, "x", why)) << why;
    EXPECT_EQ(engine.resolution, "1024x768");
    EXPECT_EQ(engine.jpegQuality, 55);
}

// Dolphin gets one service menu with an entry per preset, Nemo one action per preset; both follow
// every change and hold the name quoted so that the launched command gets it back exactly.
TEST_F(Presets, FileManagerMenusFollowThePresets) {
    EXPECT_EQ(execArgument("Web 1600"), "\"Web 1600\"");
    EXPECT_EQ(execArgument("a\"b`c$d\\e%f"), "\"a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f\"");
    Pixmill engine(folder());
    engine.saveSettingsOnExit = false;
    std::string why;
    const std::string odd = "Odd \"$x\" \\ 50%";
    ASSERT_TRUE(savePreset(engine, odd, why)) << why;
    const std::string menu = readBytes(serviceMenu());
    EXPECT_NE(menu.find("Actions=preset1;preset2;preset3;preset4;preset5;\n"), std::string::npos);
    EXPECT_NE(menu.find("X-KDE-Submenu=Resize with Pixmill\n"), std::string::npos);
    EXPECT_NE(menu.find("Exec=pixmill --preset \"Web 1600\" %F\n"), std::string::npos);
    EXPECT_NE(menu.find("Exec=pixmill --preset " + execArgument(odd) + " %F\n"), std::string::npos);
    struct stat facts;
    ASSERT_EQ(stat(serviceMenu().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0111, 0111u);  // Dolphin runs only executable menus of the user's
    EXPECT_NE(readBytes(nemoAction(5)).find("Name=Resize with Pixmill \xE2\x96\xB8 Odd"), std::string::npos);
    // The validator knows no Type=Service; what it says beyond that must be nothing.
    if (FileExist("/usr/bin/desktop-file-validate")) {
        const std::string report = data.file("validate.txt");
        const std::string command = "desktop-file-validate '" + serviceMenu() + "' > '" + report + "' 2>&1";
        EXPECT_GE(system(command.c_str()), 0);
        for (const std::string& line : strsplit(readBytes(report), "\n"))
            EXPECT_NE(line.find("but the type is \"Service\""), std::string::npos) << line;
    }
    ASSERT_TRUE(deletePreset(folder(), "Web 1600", why));
    ASSERT_TRUE(deletePreset(folder(), odd, why));
    EXPECT_TRUE(FileExist(nemoAction(3)));
    EXPECT_FALSE(FileExist(nemoAction(4)));
    EXPECT_EQ(readBytes(serviceMenu()).find("Web 1600"), std::string::npos);
    for (const std::string& name : presetNames(folder())) ASSERT_TRUE(deletePreset(folder(), name, why));
    EXPECT_FALSE(FileExist(serviceMenu()));
    EXPECT_FALSE(FileExist(nemoAction(1)));
}
