// SPDX-License-Identifier: MIT
// What a release promises: every source file carries the licence, the licence files agree on MIT,
// every place names the one version, and whole jobs give the bytes the release gave.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "cli_support.h"
#include "picture/Deflate.h"

namespace {

std::string sourceFile(const std::string& name) {
    return readFileContents(PIXMILL_SOURCE_DIR "/" + name);
}

// The first match's groups of pattern in every place it matches text, in order.
std::vector<std::vector<std::string>> matchesOf(const std::string& text, const std::string& pattern) {
    std::vector<std::vector<std::string>> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        std::vector<std::string> groups;
        for (size_t g = 1; g < it->size(); ++g) groups.push_back((*it)[g]);
        found.push_back(groups);
    }
    return found;
}

// The files git knows or would add (ignored ones left out), or none outside a clone.
std::vector<std::string> projectFiles() {
    std::vector<std::string> files;
    const std::string command =
        "git -C '" PIXMILL_SOURCE_DIR "' ls-files -z --cached --others --exclude-standard 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return files;
    std::string name;
    for (int c; (c = fgetc(pipe)) != EOF;) {
        if (c != 0) {
            name += char(c);
        } else {
            files.push_back(name);
            name.clear();
        }
    }
    pclose(pipe);
    return files;
}

bool isSourceFile(const std::string& path) {
    static const std::regex source(R"((^|/)(CMakeLists\.txt|Makefile)$|\.(cpp|h|inc|hpp|c|sh|py|bash)$)");
    if (std::regex_search(path, source)) return true;
    // A script without an ending, such as .ci/run, or a zsh completion.
    const std::string start = readFileContents(PIXMILL_SOURCE_DIR "/" + path).substr(0, 8);
    return start.rfind("#!", 0) == 0 || start == "#compdef";
}

TEST(Release, EverySourceFileStartsWithTheLicenceLine) {
    const std::vector<std::string> files = projectFiles();
    if (files.empty()) GTEST_SKIP() << "not a git clone";
    size_t checked = 0;
    for (const std::string& path : files) {
        if (!isSourceFile(path)) continue;
        ++checked;
        // The first line, or the second after a #! or #compdef line.
        std::istringstream lines(sourceFile(path));
        std::string first, second;
        std::getline(lines, first);
        std::getline(lines, second);
        const bool after = first.rfind("#!", 0) == 0 || first.rfind("#compdef", 0) == 0;
        const std::string line = after ? second : first;
        EXPECT_TRUE(line == "// SPDX-License-Identifier: MIT" || line == "# SPDX-License-Identifier: MIT")
            << path << " does not start with the SPDX line: scripts/add-spdx.sh " << path;
    }
    EXPECT_GT(checked, 100u);
}

TEST(Release, LicenceFileCopyrightFileAndMetadataSayMit) {
    EXPECT_EQ(sourceFile("LICENSE").rfind("MIT License\n", 0), 0u);
    const std::string copyright = sourceFile("packaging/copyright");
    EXPECT_EQ(
        copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
        0u);
    EXPECT_TRUE(contains(copyright, "\nFiles: *\nCopyright: 2026 The Pixmill developers\nLicense: MIT\n"));
    EXPECT_TRUE(contains(copyright, "\nLicense: MIT\n Permission is hereby granted"));
    EXPECT_TRUE(contains(sourceFile("packaging/io.github.pixmill.Pixmill.metainfo.xml"),
                         "<project_license>MIT</project_license>"));
}

std::string monthNumber(const std::string& name) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const size_t number = months.find(name) / 3 + 1;
    return (number < 10 ? "0" : "") + std::to_string(number);
}

// The release list and the package changelog name the releases of CHANGELOG.md, newest first and
// with its dates; the newest is the project's version, which both programs and the man pages show.
TEST(Release, EveryPlaceNamesTheProjectVersion) {
    const auto project = matchesOf(sourceFile("CMakeLists.txt"), R"(project\(Pixmill VERSION ([0-9.]+))");
    const auto date =
        matchesOf(sourceFile("CMakeLists.txt"), R"re(set\(PIXMILL_RELEASE_DATE "([0-9-]+)"\))re");
    ASSERT_EQ(project.size(), 1u);
    ASSERT_EQ(date.size(), 1u);
    const std::string version = project[0][0];

    const auto changelog = matchesOf(sourceFile("CHANGELOG.md"), R"(\n## \[([0-9.]+)\] - ([0-9-]+)\n)");
    ASSERT_FALSE(changelog.empty());
    EXPECT_EQ(changelog[0], (std::vector<std::string>{version, date[0][0]}));
    EXPECT_EQ(matchesOf(sourceFile("packaging/io.github.pixmill.Pixmill.metainfo.xml"),
                        R"re(<release version="([0-9.]+)" date="([0-9-]+)")re"),
              changelog);
    std::vector<std::vector<std::string>> debian;
    for (const auto& entry :
         matchesOf(sourceFile("packaging/changelog"),
                   R"(pixmill \(([0-9.]+)\)[\s\S]*?\n -- [^\n]*  \w+, (\d\d) (\w+) (\d{4}) )"))
        debian.push_back({entry[0], entry[3] + "-" + monthNumber(entry[2]) + "-" + entry[1]});
    EXPECT_EQ(debian, changelog);

    TempDir config, capture;
    EXPECT_EQ(runCli({"--version"}, config.path()).out, "pixmill-cli " + version + "\n");
    const std::string window = PIXMILL_BINARY_DIR "/app/pixmill";
    if (access(window.c_str(), X_OK) == 0) {
        EXPECT_EQ(finishProgram(startProgram({window, "--version"}, config.path(), "", capture)).out,
                  "pixmill " + version + "\n");
    }
    for (const char* page : {"pixmill-cli.1", "pixmill.1"}) {
        const std::string made = readFileContents(PIXMILL_BINARY_DIR "/packaging/" + std::string(page));
        if (made.empty()) continue;  // builds without the installed files
        EXPECT_TRUE(
            contains(made.substr(0, made.find('\n')), "\"" + date[0][0] + "\" \"Pixmill " + version + "\""))
            << page;
    }
}

struct PinnedJob {
    const char* source;  // in the conformance folder
    std::vector<std::string> options;
    const char* output;
    size_t bytes;
    uint32_t crc32;
};

// Whole jobs, decode to file, against the bytes pixmill-cli 1.0.0 wrote: resampler, turns,
// crops and encoders together. A deliberate change to any of them changes a value here.
TEST(Release, WholeJobsGiveThePinnedBytes) {
    if (testdataDir().empty()) GTEST_SKIP() << "no conformance folder";
    const PinnedJob jobs[] = {
        {"exif-orientation/Landscape_1.jpg",
         {"-s", "320x320", "-t", "jpg", "--resize-quality", "high", "-q", "85", "--copy-exif", "false"},
         "Landscape_1.jpg",
         23918,
         0xba55470d},
        {"pngsuite/basn6a08.png",
         {"-s", "300%", "-t", "png", "--resize-quality", "best"},
         "basn6a08.png",
         704,
         0x943cc1c3},
        {"exif-orientation/Landscape_6.jpg",
         {"-s", "200x200", "-c", "crop", "-t", "bmp", "--rotate", "exif", "--resize-quality", "basic"},
         "Landscape_6.bmp",
         120054,
         0xcd9d0da2},
    };
    TempDir config, work;
    for (const PinnedJob& job : jobs) {
        std::vector<std::string> args = job.options;
        for (const char* fixed : {"-o", "out", "-n", "%SRC%", "--quiet"}) args.push_back(fixed);
        args.push_back(testdataDir() + "/" + job.source);
        const CliResult result = runCli(args, config.path(), work.path());
        ASSERT_EQ(result.status, 0) << job.source << "\n" << result.err;
        const std::string bytes = readBytes(work.file(std::string("out/") + job.output));
        EXPECT_EQ(bytes.size(), job.bytes) << job.source;
        EXPECT_EQ(updateCrc32(0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), job.crc32)
            << job.source;
    }
}

}  // namespace
