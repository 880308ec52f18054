// SPDX-License-Identifier: MIT
// pixmill-cli end to end: output names, sizes and formats per destination and crop mode, the
// per-job lines, refusals and failures with their messages, exit statuses, folders and Ctrl-C.
#include <gtest/gtest.h>

#include <csignal>

#include "cli_support.h"
#include "picture/FileKind.h"
#include "picture/ImageWriter.h"

namespace {

class CliResize : public ::testing::Test {
  protected:
    TempDir config;  // XDG_CONFIG_HOME of every run
    TempDir work;

    CliResult run(const std::vector<std::string>& args) { return runCli(args, config.path(), work.path()); }
    std::string image(const std::string& name, int width, int height) {
        const std::string path = work.file(name);
        EXPECT_TRUE(makeImage(path, width, height)) << path;
        return path;
    }
};

TEST_F(CliResize, DefaultsFitIntoTheSubFolderAsJpeg) {
    image("wide.bmp", 400, 300);
    image("tall.jpg", 300, 400);
    const CliResult r = run({"wide.bmp", "tall.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 resized, 0 failed, 0 refused\n");
    EXPECT_EQ(folderEntries(work.file("resized")),
              (std::vector<std::string>{"tall_1024x768.jpg", "wide_1024x768.jpg"}));
    const ImageFacts wide = readImage(work.file("resized/wide_1024x768.jpg"));
    EXPECT_EQ(wide.format, "jpeg");
    EXPECT_EQ(wide.width, 1024);
    EXPECT_EQ(wide.height, 768);
    const ImageFacts tall = readImage(work.file("resized/tall_1024x768.jpg"));
    EXPECT_EQ(tall.width, 576);
    EXPECT_EQ(tall.height, 768);
    // Not a terminal: one line per finished job, with absolute paths.
    EXPECT_TRUE(
        contains(r.err, "resized " + work.file("wide.bmp") + " -> " + work.file("resized/wide_1024x768.jpg")))
        << r.err;
    EXPECT_TRUE(contains(r.err, "[2/2] ")) << r.err;
}

TEST_F(CliResize, OnATerminalABarShowsTheCountAndTheFile) {
    image("only.bmp", 40, 30);
    const CliResult r = runCliOnTerminal({"-s", "20x15", "only.bmp"}, config.path(), work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 resized, 0 failed, 0 refused\n");
    // Drawn before the job is queued, so even a job that ends before the first redraw shows it.
    EXPECT_TRUE(contains(r.err, "\r\033[K[------------------------] 0/1")) << r.err;
    EXPECT_TRUE(contains(r.err, "] 1/1")) << r.err;
    EXPECT_FALSE(contains(r.err, "[1/1] resized")) << r.err;
    // The bar is wiped before the program ends.
    EXPECT_TRUE(isRight(r.err, "\r\033[K")) << r.err;
}

struct DestinationCase {
    std::vector<std::string> options;
    std::string output;  // relative to the work folder
};

TEST_F(CliResize, EachDestinationPutsTheFileWhereItSays) {
    const DestinationCase cases[] = {
        {{"-d", "samefolder"}, "a_100x100.bmp"},
        {{"--destination=subfolder", "--sub-folder", "small"}, "small/a_100x100.bmp"},
        {{"-d", "fixedfolder", "--fixed-folder", "fixed"}, "fixed/a_100x100.bmp"},
        {{"-o", "out"}, "out/a_100x100.bmp"},
        {{"-o", "named", "-n", "img%N3%-%SRC%"}, "named/img001-a.bmp"},
        {{"-o", "new/deeper/still"}, "new/deeper/still/a_100x100.bmp"},
    };
    image("a.bmp", 400, 200);
    for (const DestinationCase& c : cases) {
        std::vector<std::string> args = {"-s", "100x100", "-t", "bmp"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("a.bmp");
        const CliResult r = run(args);
        EXPECT_EQ(r.status, 0) << c.output << "\n" << r.err;
        const ImageFacts facts = readImage(work.file(c.output));
        EXPECT_EQ(facts.format, "bmp") << c.output;
        EXPECT_EQ(facts.width, 100) << c.output;
        EXPECT_EQ(facts.height, 50) << c.output;
    }
}

struct CropCase {
    std::string mode;
    int width, height;
    bool leftEdgeRed;  // the red left quarter of the source survives
};

TEST_F(CliResize, CropModesShapeTheImage) {
    const CropCase cases[] = {
        {"nocrop", 100, 50, true},
        {"crop", 100, 100, false},  // the centre square: the left quarter is cut away
        {"stretch", 100, 100, true},
    };
    image("a.bmp", 400, 200);
    for (const CropCase& c : cases) {
        const CliResult r =
            run({"-s", "100x100", "-t", "bmp", "-d", "samefolder", "-n", c.mode, "-c", c.mode, "a.bmp"});
        EXPECT_EQ(r.status, 0) << r.err;
        CPicture out;
        out.load(work.file(c.mode + ".bmp"));
        ASSERT_EQ(out.width, c.width) << c.mode;
        ASSERT_EQ(out.height, c.height) << c.mode;
        const uint8_t* left = out.pixelAt(0, out.height / 2);
        EXPECT_EQ(left[2] > 128 && left[1] < 128, c.leftEdgeRed) << c.mode;
    }
}

TEST_F(CliResize, PercentagesAndJpegNames) {
    image("photo.jpeg", 400, 200);
    const CliResult r = run({"-s", "50%", "photo.jpeg"});
    EXPECT_EQ(r.status, 0) << r.err;
    // A ".jpeg" source keeps its four-letter ending; a percentage gives 0x0 in the name.
    const ImageFacts facts = readImage(work.file("resized/photo_0x0.jpeg"));
    EXPECT_EQ(facts.format, "jpeg");
    EXPECT_EQ(facts.width, 200);
    EXPECT_EQ(facts.height, 100);
}

// "-t same" names each output by what the file's bytes are, whatever its name says: a PNG named
// ".jpg" stays PNG, GIF becomes PNG, HEIF becomes JPEG, and ".jpeg" keeps its four letters.
TEST_F(CliResize, SameTypeKeepsEachFilesTypeByItsBytes) {
    image("photo.jpeg", 40, 30);
    image("scan.bmp", 40, 30);
    CPicture picture(40, 30);
    fillQuarters(picture);
    ASSERT_TRUE(picture.saveToPNG(work.file("png.jpg")));
    const std::string gif(
        "GIF89a\1\0\1\0\x80\0\0\0\0\0\xff\xff\xff!\xf9\4\1\0\0\0\0,\0\0\0\0\1\0\1\0\0\2\2D\1\0;", 43);
    ASSERT_TRUE(writeBytes(work.file("anim.gif"), gif));
    const std::pair<OutputType, const char*> written[] = {{OutputType::Webp, "webp.png"},
                                                          {OutputType::Avif, "avif.png"},
                                                          {OutputType::Jxl, "jxl.png"},
                                                          {OutputType::Tiff, "tiff.png"}};
    for (const auto& [type, name] : written) {
        CPicture small(8, 8);
        fillQuarters(small);
        ASSERT_TRUE(
            writeImage(type, small, OutputMetadata(), WriteOptions(), fopen(work.file(name).c_str(), "wb")));
    }
    ASSERT_TRUE(writeBytes(work.file("heic.png"), std::string("\0\0\0\x18"
                                                              "ftypheic\0\0\0\0mif1heic",
                                                              24)));
    const std::vector<std::string> all = {"photo.jpeg", "scan.bmp", "png.jpg",  "anim.gif", "webp.png",
                                          "avif.png",   "jxl.png",  "tiff.png", "heic.png"};
    std::vector<std::string> args = {"-t", "same", "--dry-run", "-n", "%SRC%"};
    args.insert(args.end(), all.begin(), all.end());
    const CliResult plan = run(args);
    const char* const expected[] = {"photo.jpeg", "scan.bmp", "png.png",  "anim.png", "webp.webp",
                                    "avif.avif",  "jxl.jxl",  "tiff.tif", "heic.jpg"};
    for (const char* name : expected)
        EXPECT_TRUE(contains(plan.out, "/resized/" + std::string(name) + "\n")) << name;
    // The types this program reads from the start are written as they said.
    const CliResult r = run({"-t", "same", "-n", "%SRC%", "photo.jpeg", "scan.bmp", "png.jpg", "anim.gif"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::pair<const char*, FileKind> outputs[] = {{"photo.jpeg", FileKind::Jpeg},
                                                        {"scan.bmp", FileKind::Bmp},
                                                        {"png.png", FileKind::Png},
                                                        {"anim.png", FileKind::Png}};
    for (const auto& [name, kind] : outputs)
        EXPECT_EQ(fileKindOfFile(work.file("resized/") + name), kind) << name;
}

TEST_F(CliResize, RefusalsAndFailuresAreReportedWithStatusOne) {
    image("good.bmp", 40, 30);
    ASSERT_TRUE(writeBytes(work.file("broken.jpg"), std::string("not a jpeg at all")));
    ASSERT_TRUE(writeBytes(work.file("notes.txt"), std::string("text")));
    mkdir(work.file("folder").c_str(), 0755);
    const CliResult r = run({"-s", "20x15", "good.bmp", "broken.jpg", "notes.txt", "missing.bmp", "folder"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1 resized, 1 failed, 3 refused\n");
    EXPECT_TRUE(
        contains(r.err, "failed " + work.file("broken.jpg") + ": Error opening " + work.file("broken.jpg")))
        << r.err;
    EXPECT_TRUE(contains(r.err, "refused " + work.file("notes.txt") + ": not the name of an image file"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "refused " + work.file("missing.bmp") + ": no such file")) << r.err;
    EXPECT_TRUE(contains(r.err, "refused " + work.file("folder") + ": is a folder (use -r")) << r.err;
}

TEST_F(CliResize, ExistingOutputFailsUnlessOverwriteYes) {
    image("a.bmp", 40, 30);
    ASSERT_EQ(run({"-s", "20x15", "a.bmp"}).status, 0);
    const std::string output = work.file("resized/a_20x15.jpg");
    const CliResult again = run({"-s", "20x15", "a.bmp"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "0 resized, 1 failed, 0 refused\n");
    EXPECT_TRUE(contains(again.err, "File already exists : " + output)) << again.err;
    const CliResult replaced = run({"-s", "20x15", "--overwrite", "yes", "a.bmp"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(readImage(output).width, 20);
}

TEST_F(CliResize, RecursiveWalkTakesImagesInNameOrderAndSkipsEarlierOutputs) {
    for (const char* folder : {"top", "top/a", "top/a/resized", "top/resized", "top/empty"}) {
        mkdir(work.file(folder).c_str(), 0755);
    }
    image("top/b.bmp", 40, 30);
    image("top/a/x.bmp", 40, 30);
    image("top/a/resized/old.bmp", 40, 30);
    image("top/resized/older.bmp", 40, 30);
    ASSERT_TRUE(writeBytes(work.file("top/z.txt"), std::string("text")));
    // The counter follows intake order: the folder "a" comes before the file "b.bmp".
    const CliResult r = run({"-r", "-s", "20x15", "-t", "bmp", "-n", "%N%_%SRC%", "top", "top/empty"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "2 resized, 0 failed, 1 refused\n");
    EXPECT_TRUE(
        contains(r.err, "refused " + work.file("top/empty") + ": holds no image file"))
        << r.err;
    EXPECT_EQ(folderEntries(work.file("top/a/resized")), (std::vector<std::string>{"1_x.bmp", "old.bmp"}));
    EXPECT_EQ(folderEntries(work.file("top/resized")), (std::vector<std::string>{"2_b.bmp", "older.bmp"}));
}

TEST_F(CliResize, RecursiveWalkSkipsTheFixedOutputFolderInsideIt) {
    mkdir(work.file("tree").c_str(), 0755);
    mkdir(work.file("tree/out").c_str(), 0755);
    image("tree/a.bmp", 40, 30);
    image("tree/out/earlier.bmp", 40, 30);
    const CliResult r = run({"-r", "-s", "20x15", "-t", "bmp", "-o", "tree/out", "tree"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 resized, 0 failed, 0 refused\n");
    EXPECT_EQ(folderEntries(work.file("tree/out")), (std::vector<std::string>{"a_20x15.bmp", "earlier.bmp"}));
}

// Waits until the captured standard error holds text (or gives up after 30 s).
bool waitForText(const std::string& errPath, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
        if (contains(readBytes(errPath), text)) return true;
        usleep(10 * 1000);
    }
    return false;
}

TEST_F(CliResize, CtrlCFinishesRunningJobsAndStartsNoMore) {
    const int count = 24;
    std::vector<std::string> args = {"-j", "1", "-s", "1600x1200"};
    for (int i = 0; i < count; ++i) {
        const std::string name = "p" + std::to_string(100 + i) + ".bmp";
        image(name, 320, 240);
        args.push_back(name);
    }
    bool sawFirst = false;
    const CliResult r = runCli(args, config.path(), work.path(), [&](pid_t pid, const std::string& errPath) {
        sawFirst = waitForText(errPath, "[1/");
        kill(pid, SIGINT);
    });
    ASSERT_TRUE(sawFirst) << r.err;
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "not started (interrupted)")) << r.out;
    // Every file in the output folder is a whole JPEG of a finished job; nothing half written.
    const std::vector<std::string> outputs = folderEntries(work.file("resized"));
    EXPECT_TRUE(contains(r.out, std::to_string(outputs.size()) + " resized, 0 failed, 0 refused")) << r.out;
    EXPECT_LT(outputs.size(), static_cast<size_t>(count));
    for (const std::string& name : outputs) {
        EXPECT_TRUE(isRight(name, "_1600x1200.jpg")) << name;
        EXPECT_EQ(readImage(work.file("resized/" + name)).width, 1600) << name;
    }
}

// Waits until a hidden temporary file shows up in folder (or gives up after 30 s).
bool waitForTempFile(const std::string& folder) {
    for (int i = 0; i < 30000; ++i) {
        for (const std::string& name : folderEntries(folder))
            if (name.rfind(".pixmill-", 0) == 0) return true;
        usleep(1000);
    }
    return false;
}

TEST_F(CliResize, ASecondCtrlCRemovesTheTemporaryFilesOfRunningJobs) {
    // Large outputs keep each job's temporary file in place long enough to be caught.
    std::vector<std::string> args = {"-j", "2", "-s", "3000x3000", "-c", "stretch"};
    for (int i = 0; i < 8; ++i) {
        const std::string name = "p" + std::to_string(i) + ".bmp";
        image(name, 64, 48);
        args.push_back(name);
    }
    mkdir(work.file("resized").c_str(), 0755);
    bool sawTemp = false, sawFirstNote = false;
    const CliResult r = runCli(args, config.path(), work.path(), [&](pid_t pid, const std::string& errPath) {
        sawTemp = waitForTempFile(work.file("resized"));
        kill(pid, SIGINT);
        sawFirstNote = waitForText(errPath, "interrupted: letting");
        kill(pid, SIGINT);
    });
    ASSERT_TRUE(sawTemp && sawFirstNote) << r.err;
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(contains(r.err, "interrupted again: quitting (")) << r.err;
    for (const std::string& name : folderEntries(work.file("resized"))) {
        EXPECT_TRUE(isRight(name, "_3000x3000.jpg")) << name;
        EXPECT_EQ(readImage(work.file("resized/" + name)).width, 3000) << name;
    }
}

}  // namespace
