// SPDX-License-Identifier: MIT
// pixmill-cli options: usage errors before any file is touched, help and version, and the
// settings file (XDG_CONFIG_HOME honoured, untouched unless --save-settings).
#include <gtest/gtest.h>

#include "cli_support.h"

namespace {

class CliOptions : public ::testing::Test {
  protected:
    TempDir config;  // XDG_CONFIG_HOME of every run
    TempDir work;

    std::string configFile() const { return config.path() + "/pixmill/config.xml"; }
    void writeConfig(const std::string& body) {
        mkdir((config.path() + "/pixmill").c_str(), 0755);
        ASSERT_TRUE(writeBytes(configFile(), body));
    }
    CliResult run(const std::vector<std::string>& args) { return runCli(args, config.path(), work.path()); }
};

struct UsageCase {
    std::vector<std::string> args;
    std::vector<std::string> messageParts;
};

TEST_F(CliOptions, BadValuesAreUsageErrorsThatTouchNothing) {
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 40, 30));
    const UsageCase cases[] = {
        {{"--rotate", "sideways", "a.bmp"},
         {"--rotate", "\"sideways\"", "none, exif, landscape, landscapeccw, portrait"}},
        {{"a.bmp", "-c", "zoom"}, {"--crop", "nocrop, crop, stretch"}},
        {{"--destination", "same", "a.bmp"}, {"--destination", "samefolder, subfolder, fixedfolder"}},
        {{"--overwrite=maybe", "a.bmp"}, {"--overwrite", "no, yes"}},
        {{"--resize-quality", "ultra", "a.bmp"}, {"--resize-quality", "basic, high, best"}},
        {{"--copy-exif", "perhaps", "a.bmp"}, {"--copy-exif", "false, true"}},
        {{"-t", "gif", "a.bmp"}, {"--type", "jpg, bmp, png"}},
        {{"-q", "high", "a.bmp"}, {"--jpeg-quality", "\"high\"", "1 to 100"}},
        {{"-q", "101", "a.bmp"}, {"--jpeg-quality", "1 to 100"}},
        {{"-j", "0", "a.bmp"}, {"--jobs", "1 to"}},
        {{"-s", "1024X768", "a.bmp"}, {"--resolution", "WIDTHxHEIGHT"}},
        {{"-s", "0x600", "a.bmp"}, {"--resolution"}},
        {{"-s"}, {"--resolution needs a value"}},
        {{"--sub-folder", "a/b", "a.bmp"}, {"--sub-folder"}},
        {{"-n", "../%SRC%", "a.bmp"}, {"--name", "not a path"}},
        {{"--frobnicate", "a.bmp"}, {"unknown option --frobnicate"}},
        {{"-d", "fixedfolder", "a.bmp"}, {"fixedfolder needs a folder"}},
        {{}, {"no FILE given"}},
        {{"--shard", "5/4", "a.bmp"}, {"--shard", "\"5/4\"", "K from 1 to N"}},
        {{"--shard", "2", "a.bmp"}, {"--shard", "K/N"}},
        {{"--memory-limit", "0", "a.bmp"}, {"--memory-limit", "\"0\"", "512M, 4G"}},
        {{"--memory-limit", "lots", "a.bmp"}, {"--memory-limit", "\"lots\""}},
        {{"--keep-structure", "a.bmp"}, {"--keep-structure", "-o FOLDER"}},
        {{"--skip-existing", "--overwrite", "yes", "a.bmp"}, {"--skip-existing", "--overwrite yes"}},
        {{"--dry-run", "--report", "r.jsonl", "a.bmp"}, {"--dry-run writes no file"}},
        {{"-0", "a.bmp"}, {"--null needs --files-from"}},
        {{"--files-from", "nowhere.txt"}, {"cannot read the file list nowhere.txt: No such file"}},
        // Two outputs of one source would take one name.
        {{"-s", "800", "-s", "200", "-n", "%SRC%", "a.bmp"}, {"-n", "\"%SRC%\"", "800 and 200", "%DSTX%"}},
        {{"-s", "80x60", "-s", "80x40", "-n", "%SRC%_%DSTX%", "a.bmp"}, {"80x60 and 80x40"}},
        {{"-s", "50%", "-s", "25%", "a.bmp"}, {"50% and 25%"}},
        {{"-t", "jpg", "-t", "png", "--max-bytes", "1M", "a.bmp"}, {"--max-bytes", "--type png"}},
        {{"--linear=maybe", "a.bmp"}, {"--linear", "false, true"}},
    };
    for (const UsageCase& c : cases) {
        const CliResult r = run(c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        for (const std::string& part : c.messageParts) EXPECT_TRUE(contains(r.err, part)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_EQ(folderEntries(work.path()), std::vector<std::string>{"a.bmp"});
    EXPECT_FALSE(FileExist(configFile()));
}

TEST_F(CliOptions, HelpAndVersion) {
    const CliResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage: pixmill-cli")) << help.out;
    EXPECT_TRUE(contains(help.out, "landscapeccw")) << help.out;
    for (const char* option :
         {"--files-from FILE", "-0, --null", "--shard K/N", "--keep-structure", "--report FILE", "--dry-run",
          "--quiet", "--skip-existing", "--memory-limit SIZE", "surrogateescape"})
        EXPECT_TRUE(contains(help.out, option)) << option;
    const CliResult version = run({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("pixmill-cli ", 0), 0u) << version.out;
}

const char* const kConfig =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<CONFIG>\n<resolution>64x48</resolution>\n"
    "<OUTPUTFILETYPE>bmp</OUTPUTFILETYPE>\n<OUTPUTSUBFOLDER>small</OUTPUTSUBFOLDER>\n"
    "<DESTINATION>samefolder</DESTINATION>\n<CROPMODE>stretch</CROPMODE>\n</CONFIG>";

TEST_F(CliOptions, SettingsComeFromXdgConfigHome) {
    writeConfig(kConfig);
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 400, 300));
    const CliResult r = run({"a.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    const ImageFacts facts = readImage(work.file("a_64x48.bmp"));
    EXPECT_EQ(facts.format, "bmp");
    EXPECT_EQ(facts.width, 64);
    EXPECT_EQ(facts.height, 48);
}

TEST_F(CliOptions, OptionsApplyToThisRunOnly) {
    writeConfig(kConfig);
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 400, 300));
    const CliResult r = run({"-s", "32x24", "-t", "jpg", "-d", "subfolder", "a.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readImage(work.file("small/a_32x24.jpg")).width, 32);
    EXPECT_EQ(readBytes(configFile()), kConfig);
}

// Sizes and types given several times are stored as further outputs, replaced by the next -s or
// -t given, and the stored switches turn off with =false.
TEST_F(CliOptions, SeveralSizesAndSwitchesAreSavedAndUndone) {
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 40, 30));
    CliResult r = run({"--save-settings", "-s", "20", "-s", "10x", "-t", "bmp", "-t", "png", "--linear",
                       "--no-enlarge", "--keep-dates", "--progressive", "--fast", "-d", "samefolder",
                       "--report", "-", "a.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    size_t lines = 0;
    const std::string resized = "\"status\":\"resized\"";
    for (size_t at = r.out.find(resized); at != std::string::npos; at = r.out.find(resized, at + 1)) ++lines;
    EXPECT_EQ(lines, 4u) << r.out;
    for (const char* name : {"a_20x20.bmp", "a_20x20.png", "a_10x0.bmp", "a_10x0.png"})
        EXPECT_EQ(readImage(work.file(name)).width, std::string(name).find("_20") != std::string::npos ? 20 : 10)
            << name;
    std::string text = readBytes(configFile());
    for (const char* line : {"<MORESIZES>10x</MORESIZES>", "<MORETYPES>png</MORETYPES>", ">true</LINEAR>",
                             ">true</NOENLARGE>", ">true</KEEPDATES>", ">true</PROGRESSIVE>", ">true</FASTDRAFT>"})
        EXPECT_TRUE(contains(text, line)) << line << "\n" << text;
    r = run({"--save-settings", "-s", "30", "-t", "jpg", "--linear=false", "--no-enlarge=false",
             "--keep-dates=false", "--progressive=false", "--fast=false"});
    EXPECT_EQ(r.status, 0) << r.err;
    text = readBytes(configFile());
    for (const char* gone : {"MORESIZES", "MORETYPES", "LINEAR", "NOENLARGE", "KEEPDATES", "PROGRESSIVE", "FASTDRAFT"})
        EXPECT_FALSE(contains(text, gone)) << text;
}

TEST_F(CliOptions, ResolutionSidesMayHaveBlanksAsInTheSettingsFile) {
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 40, 30));
    const CliResult r = run({"-s", "20 x 15", "-d", "samefolder", "-t", "bmp", "a.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readImage(work.file("a_20x15.bmp")).width, 20);
}

TEST_F(CliOptions, NoSettingsFileIsCreatedWithoutSaveSettings) {
    ASSERT_TRUE(makeImage(work.file("a.bmp"), 40, 30));
    EXPECT_EQ(run({"-s", "20x15", "a.bmp"}).status, 0);
    EXPECT_FALSE(FileExist(configFile()));
    EXPECT_EQ(run({"--show-settings", "-c", "crop"}).status, 0);
    EXPECT_FALSE(FileExist(configFile()));
}

TEST_F(CliOptions, SaveSettingsStoresTheOptionsAndKeepsTheRest) {
    writeConfig(kConfig);
    const CliResult r = run({"--save-settings", "-s", "320x240", "--crop", "nocrop", "-q", "75",
                             "--copy-exif", "false", "-o", "out/"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string text = readBytes(configFile());
    for (const std::string& line : std::vector<std::string>{
             "<RESOLUTION>320x240</RESOLUTION>", "<CROPMODE>nocrop</CROPMODE>",
             "<JPEGQUALITY>75</JPEGQUALITY>", "<COPYEXIF>false</COPYEXIF>",
             "<DESTINATION>fixedfolder</DESTINATION>",
             // Made absolute, and without the trailing "/" it was given with.
             "<OUTPUTFIXEDFOLDER>" + work.file("out") + "</OUTPUTFIXEDFOLDER>",
             // From the file, not overridden.
             "<OUTPUTFILETYPE>bmp</OUTPUTFILETYPE>", "<OUTPUTSUBFOLDER>small</OUTPUTSUBFOLDER>"}) {
        EXPECT_TRUE(contains(text, line)) << line << "\n" << text;
    }
    // The next run sees them.
    const CliResult shown = run({"--show-settings"});
    EXPECT_TRUE(contains(shown.out, "resolution: 320x240\n")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "crop: nocrop\n")) << shown.out;
}

TEST_F(CliOptions, SettingsThatCannotBeSavedAreAFailure) {
    // A file where the settings folder should be: nothing can be written under it.
    ASSERT_TRUE(writeBytes(config.file("blocked"), std::string("x")));
    const CliResult r = runCli({"--save-settings", "-s", "320x240"}, config.file("blocked"), work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "could not save the settings in " + config.file("blocked") + "/pixmill/config.xml"))
        << r.err;
}

}  // namespace
