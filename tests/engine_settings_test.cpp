// SPDX-License-Identifier: MIT
// The engine's settings: defaults, the settings folder, and config.xml read and written back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "engine/Pixmill.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

// The 15 lines every version writes first, then the settings added since, one a line.
const char kDefaultFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
    "<CONFIG>\n"
    "<RESOLUTION>1024x768</RESOLUTION>\n"
    "<OUTPUTFILETYPE>jpg</OUTPUTFILETYPE>\n"
    "<OUTPUTFILENAME>%SRC%_%DSTX%x%DSTY%</OUTPUTFILENAME>\n"
    "<OUTPUTFIXEDFOLDER></OUTPUTFIXEDFOLDER>\n"
    "<OUTPUTSUBFOLDER>resized</OUTPUTSUBFOLDER>\n"
    "<JPEGQUALITY>90</JPEGQUALITY>\n"
    "<COPYEXIF>true</COPYEXIF>\n"
    "<CROPMODE>nocrop</CROPMODE>\n"
    "<RESIZEQUALITY>high</RESIZEQUALITY>\n"
    "<DESTINATION>subfolder</DESTINATION>\n"
    "<OVERWRITE>no</OVERWRITE>\n"
    "<ROTATE>exif</ROTATE>\n"
    "</CONFIG>";

std::string configPath(const TempDir& dir) { return dir.file("pixmill/config.xml"); }

// Runs an engine over a settings folder holding `text` and returns what it wrote back.
std::string loadAndSave(const TempDir& dir, const std::string& text) {
    makeDirectory(dir.file("pixmill"));
    writeBytes(configPath(dir), text);
    { Pixmill engine(dir.file("pixmill")); }
    return readBytes(configPath(dir));
}

}  // namespace

TEST(Settings, DefaultEngineWritesTheDefaultFileExactly) {
    TempDir dir;
    { Pixmill engine(dir.file("pixmill")); }
    EXPECT_EQ(readBytes(configPath(dir)), kDefaultFile);
}

TEST(Settings, SettingsFolderIsCreatedWithItsParents) {
    TempDir dir;
    std::string folder = dir.file("a/b/pixmill");
    { Pixmill engine(folder); }
    EXPECT_EQ(readBytes(folder + "/config.xml"), kDefaultFile);
}

TEST(Settings, DefaultFolderFollowsXdgConfigHome) {
    TempDir dir;
    const char* old = getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", dir.file("cfg").c_str(), 1);
    EXPECT_EQ(Pixmill::defaultSettingsFolder(), dir.file("cfg") + "/pixmill");
    { Pixmill engine; }
    EXPECT_EQ(readBytes(dir.file("cfg/pixmill/config.xml")), kDefaultFile);
    setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
    EXPECT_EQ(Pixmill::defaultSettingsFolder(), getUserFolder() + "/.config/pixmill");
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST(Settings, HandWrittenFileInMixedCaseLoadsAndSavesBack) {
    TempDir dir;
    makeDirectory(dir.file("pixmill"));
    writeBytes(configPath(dir),
               "<config>\n<Resolution>800X600 &amp; <b></Resolution>\n"
               "<ROTATE>PORTRAIT</ROTATE><cropMode>zoom</cropMode>\n"
               "<JPEGQUALITY>75</JPEGQUALITY><copyexif>ja</copyexif>\n"
               "<OutputSubFolder></OutputSubFolder><overwrite>Yes</overwrite>\n"
               "<DESTINATION>FixedFolder</DESTINATION><resizequality>BEST</resizequality>\n"
               "<OUTPUTFIXEDFOLDER>/Fotos/Größe</OUTPUTFIXEDFOLDER><unknown>1</unknown></config>");
    Pixmill* engine = new Pixmill(dir.file("pixmill"));
    EXPECT_EQ(engine->resolution, "800X600 &amp; <b>");
    EXPECT_EQ(engine->rotate, Rotation::Portrait);
    EXPECT_EQ(engine->cropMode, CropMode::NoCrop);  // unknown word: unchanged
    EXPECT_EQ(engine->jpegQuality, 75);
    EXPECT_TRUE(engine->copyExif);
    EXPECT_EQ(engine->outputSubFolder, "resized");  // empty element: unchanged
    EXPECT_EQ(engine->overwrite, OverwriteMode::Yes);
    EXPECT_EQ(engine->destination, Destination::FixedFolder);
    EXPECT_EQ(engine->resizeQuality, ResizeQuality::Best);
    EXPECT_EQ(engine->outputFixedFolder, "/Fotos/Größe");
    delete engine;
    std::string written = readBytes(configPath(dir));
    EXPECT_NE(written.find("\n<RESOLUTION>800X600 &amp; <b></RESOLUTION>\n"), std::string::npos);
    EXPECT_NE(written.find("\n<ROTATE>portrait</ROTATE>\n"), std::string::npos);
    EXPECT_NE(written.find("\n<OVERWRITE>yes</OVERWRITE>\n"), std::string::npos);
    EXPECT_NE(written.find("\n<DESTINATION>fixedfolder</DESTINATION>\n"), std::string::npos);
    EXPECT_EQ(written.find("unknown"), std::string::npos);
    EXPECT_EQ(written.substr(written.size() - 9), "</CONFIG>");
}

TEST(Settings, SingleElementAndBooleanWords) {
    TempDir dir;
    std::string onlyRotate = loadAndSave(dir, "<ROTATE>PORTRAIT</ROTATE>");
    std::string expected = kDefaultFile;
    strReplace_inplace(expected, "<ROTATE>exif</ROTATE>", "<ROTATE>portrait</ROTATE>");
    EXPECT_EQ(onlyRotate, expected);

    EXPECT_NE(loadAndSave(dir, "<COPYEXIF>no</COPYEXIF>").find("<COPYEXIF>false<"), std::string::npos);
    EXPECT_NE(loadAndSave(dir, "<COPYEXIF></COPYEXIF>").find("<COPYEXIF>true<"), std::string::npos);
    EXPECT_NE(loadAndSave(dir, "<COPYEXIF>JA</COPYEXIF>").find("<COPYEXIF>true<"), std::string::npos);
    EXPECT_NE(loadAndSave(dir, "<JPEGQUALITY>high</JPEGQUALITY>").find("<JPEGQUALITY>0<"), std::string::npos);
    EXPECT_NE(loadAndSave(dir, "<JPEGQUALITY>-5</JPEGQUALITY>").find("<JPEGQUALITY>-5<"), std::string::npos);
}

// The qualities of WebP, AVIF and JPEG XL follow the 15 lines; a file from before them reads as it
// did, and a value outside 1 to 100 keeps the default.
TEST(Settings, OutputQualitiesFollowTheFifteenLines) {
    TempDir dir;
    const std::string before = std::string(kDefaultFile);
    EXPECT_EQ(loadAndSave(dir, strreplace(before, "<JPEGQUALITY>90", "<JPEGQUALITY>80")),
              strreplace(kDefaultFile, "<JPEGQUALITY>90", "<JPEGQUALITY>80"));
    const std::string stored = before +
                               "\n<WebpQuality>100</WebpQuality>\n<AVIFQUALITY>0</AVIFQUALITY>\n"
                               "<JXLQUALITY>55</JXLQUALITY>";
    ASSERT_TRUE(writeBytes(configPath(dir), stored));
    Pixmill* engine = new Pixmill(dir.file("pixmill"));
    EXPECT_EQ(engine->webpQuality, 100);
    EXPECT_EQ(engine->avifQuality, kDefaultAvifQuality);
    EXPECT_EQ(engine->jxlQuality, 55);
    engine->avifQuality = 1;
    delete engine;
    EXPECT_EQ(readBytes(configPath(dir)),
              before +
                  "\n<WEBPQUALITY>100</WEBPQUALITY>\n<AVIFQUALITY>1</AVIFQUALITY>\n"
                  "<JXLQUALITY>55</JXLQUALITY>");
}

TEST(Settings, OutOfTableCodesWriteNoLine) {
    TempDir dir;
    Pixmill engine(dir.path());
    engine.cropMode = 7;
    engine.rotate = -1;
    std::string text = engine.settingsText();
    EXPECT_EQ(text.find("CROPMODE"), std::string::npos);
    EXPECT_EQ(text.find("ROTATE"), std::string::npos);
    engine.cropMode = CropMode::NoCrop;
    engine.rotate = Rotation::ByExif;
}

TEST(Settings, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string folder = dir.file("pixmill");
    makeDirectory(folder);
    writeBytes(folder + "/config.xml", std::string(5000, 'x'));
    chmod((folder + "/config.xml").c_str(), 0640);
    { Pixmill engine(folder); }
    EXPECT_EQ(readBytes(folder + "/config.xml"), kDefaultFile);
    struct stat info;
    ASSERT_EQ(stat((folder + "/config.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::system(("test $(ls -A '" + folder + "' | wc -l) -eq 1").c_str()), 0);
}

TEST(Settings, UnwritableFolderIsSilentlySkipped) {
    TempDir dir;
    writeBytes(dir.file("file"), std::string("not a folder"));
    { Pixmill engine(dir.file("file/pixmill")); }
    EXPECT_EQ(readBytes(dir.file("file")), "not a folder");
}

TEST(Settings, NotWrittenWhenTheFrontEndSaysSo) {
    TempDir dir;
    Pixmill* engine = new Pixmill(dir.path());
    engine->resolution = "10x10";
    engine->saveSettingsOnExit = false;
    delete engine;
    EXPECT_FALSE(FileExist(dir.file("config.xml")));
}

TEST(Settings, ALinkedFileStaysALinkAndANewFileFollowsTheCreationMask) {
    TempDir dir;
    makeDirectory(dir.file("dotfiles"));
    makeDirectory(dir.file("pixmill"));
    writeBytes(dir.file("dotfiles/config.xml"), std::string("<ROTATE>none</ROTATE>"));
    ASSERT_EQ(symlink("../dotfiles/config.xml", configPath(dir).c_str()), 0);
    { Pixmill engine(dir.file("pixmill")); }
    struct stat info;
    ASSERT_EQ(lstat(configPath(dir).c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    const std::string written = readBytes(dir.file("dotfiles/config.xml"));
    EXPECT_NE(written.find("<ROTATE>none</ROTATE>\n</CONFIG>"), std::string::npos) << written;
    EXPECT_EQ(std::system(("test $(ls -A '" + dir.file("dotfiles") + "' | wc -l) -eq 1").c_str()), 0);

    const mode_t previous = umask(077);
    { Pixmill engine(dir.file("private")); }
    umask(previous);
    ASSERT_EQ(stat(dir.file("private/config.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}
