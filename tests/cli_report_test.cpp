// SPDX-License-Identifier: MIT
// pixmill-cli's parts without a process: what a job's record says (damaged, causes, skips), the
// summary and exit status, the JSON escapes at the edges of UTF-8, sizes, and the shard hash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "cli/CliOptions.h"
#include "cli/InputPaths.h"
#include "cli/JobReport.h"
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "testsupport.h"

namespace {

// A job as a worker leaves it once it has ended.
ImageResizeTask& endedJob(ImageResizeTask& task, bool failed, const std::string& message) {
    task.sourcePath = "x.jpg";
    task.outputPath = "/x/resized/a.jpg";
    task.failed = failed;
    task.message = message;
    task.done = true;
    return task;
}

TEST(CliRecords, DamagedFailedAndSkippedJobsSayWhy) {
    ImageResizeTask damaged(nullptr), failed(nullptr), skipped(nullptr), resized(nullptr);
    endedJob(damaged, false, "").warning = "the file ends early: 412 of 1200 rows decoded";
    endedJob(failed, true, "Error saving /x/resized/a.jpg").cause = "Permission denied";
    endedJob(skipped, false, "File already exists : /x/resized/a.jpg").skipped = true;
    endedJob(resized, false, "").outputWidth = 20;

    EXPECT_EQ(recordText(recordOfJob(damaged)),
              "damaged x.jpg -> /x/resized/a.jpg: the file ends early: 412 of 1200 rows decoded");
    EXPECT_EQ(recordOfJob(damaged).reason, "the file ends early: 412 of 1200 rows decoded");
    EXPECT_EQ(recordText(recordOfJob(failed)),
              "failed x.jpg: Error saving /x/resized/a.jpg: Permission denied");
    EXPECT_EQ(recordOfJob(failed).reason, "Permission denied");
    EXPECT_EQ(recordText(recordOfJob(skipped)), "skipped x.jpg: File already exists : /x/resized/a.jpg");
    EXPECT_EQ(recordText(recordOfJob(resized)), "resized x.jpg -> /x/resized/a.jpg");
    // A failure without a known cause keeps the message alone.
    failed.cause.clear();
    EXPECT_EQ(recordText(recordOfJob(failed)), "failed x.jpg: Error saving /x/resized/a.jpg");

    BatchCounts counts;
    for (ImageResizeTask* job : {&resized, &resized, &resized, &damaged, &failed})
        counts.count(recordOfJob(*job).status);
    EXPECT_EQ(summaryText(counts), "3 resized, 1 damaged, 1 failed, 0 refused");
    // A damaged file is a problem a script must see; a skip is not.
    EXPECT_EQ(exitStatusOf(counts), 1);
    BatchCounts resumed;
    resumed.count(JobStatus::Resized);
    resumed.count(JobStatus::Skipped);
    EXPECT_EQ(summaryText(resumed), "1 resized, 1 skipped, 0 failed, 0 refused");
    EXPECT_EQ(exitStatusOf(resumed), 0);
}

TEST(CliRecords, ReportObjectsCarryEveryField) {
    ImageResizeTask job(nullptr);
    endedJob(job, true, "Error saving /x/resized/a.jpg").cause = "No space left on device";
    job.elapsedMs = 12.25;
    // A failed job wrote nothing: no output, though it had one in mind.
    EXPECT_EQ(reportObject(recordOfJob(job)),
              "{\"source\":\"x.jpg\",\"output\":null,\"status\":\"failed\","
              "\"message\":\"Error saving /x/resized/a.jpg\",\"reason\":\"No space left on device\","
              "\"note\":\"\",\"width\":0,\"height\":0,\"bytes\":0,\"ms\":12.2}");
    const JobRecord refused =
        recordOfRefusal(InputItem{"/x/notes.txt", "not a JPEG, PNG, GIF or BMP file name", ""});
    EXPECT_EQ(reportObject(refused),
              "{\"source\":\"/x/notes.txt\",\"output\":null,\"status\":\"refused\",\"message\":\"\","
              "\"reason\":\"not a JPEG, PNG, GIF or BMP file name\",\"note\":\"\",\"width\":0,\"height\":0,\"bytes\":0,"
              "\"ms\":0.0}");
    // Outputs written, passed over or planned are named; one never started is not.
    const std::pair<JobStatus, bool> named[] = {{JobStatus::Resized, true},
                                                {JobStatus::Damaged, true},
                                                {JobStatus::Skipped, true},
                                                {JobStatus::Planned, true},
                                                {JobStatus::NotStarted, false}};
    for (const auto& c : named) {
        JobRecord record = recordNotStarted("x.jpg", "/x/resized/a.jpg");
        record.status = c.first;
        EXPECT_EQ(reportObject(record).find("\"output\":null") == std::string::npos, c.second)
            << statusWord(c.first);
    }
}

struct EscapeCase {
    std::string bytes;
    std::string json;
};

TEST(CliRecords, JsonKeepsUtf8AndEscapesEveryOtherByteAlone) {
    const EscapeCase cases[] = {
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
        {"\n\t\x01\x1f\x7f", "\"\\n\\t\\u0001\\u001f\x7f\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},  // é € 😀
        {"\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},                                          // U+10FFFF
        {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},                              // above it
        {"\xc0\xaf", "\"\\udcc0\\udcaf\""},                                                    // overlong "/"
        {"\xe0\x80\xaf", "\"\\udce0\\udc80\\udcaf\""},  // overlong, 3 bytes
        {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},  // a surrogate
        {"\xe2\x82", "\"\\udce2\\udc82\""},             // cut short
        {"\xe2\x82x", "\"\\udce2\\udc82x\""},
        {"\xff\xfe", "\"\\udcff\\udcfe\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const EscapeCase& c : cases) EXPECT_EQ(jsonString(c.bytes), c.json) << c.json;
}

TEST(CliOptionParts, MemoryLimitTakesBytesAndBinarySuffixes) {
    const std::pair<const char*, uint64_t> good[] = {
        {"1", 1}, {"512M", 512ull << 20}, {"4g", 4ull << 30}, {"3K", 3072}, {"2T", 2ull << 40}};
    for (const auto& c : good) {
        uint64_t bytes = 0;
        EXPECT_TRUE(parseByteSize(c.first, bytes)) << c.first;
        EXPECT_EQ(bytes, c.second) << c.first;
    }
    for (const char* bad :
         {"", "0", "0G", "G", "1.5G", "-1", "4GB", "4 G", "16777216T", "99999999999999999999"}) {
        uint64_t bytes = 0;
        EXPECT_FALSE(parseByteSize(bad, bytes)) << bad;
    }

    TempDir settings;
    Pixmill engine(settings.path());
    ::CliOptions options;
    std::string error;
    const char* argv[] = {"pixmill-cli", "--memory-limit", "4G", "--skip-existing", "a.jpg"};
    ASSERT_TRUE(parseCliOptions(5, argv, options, error)) << error;
    applyCliOptions(options, engine);
    EXPECT_EQ(engine.memoryLimit, 4ull << 30);
    EXPECT_TRUE(engine.skipExisting);
    engine.saveSettingsOnExit = false;
}

// Pinned values: every node of a cluster, whatever its version, must share a list out alike.
// They were computed by an independent implementation (the Python lines in docs/scale-out.md).
TEST(CliShards, TheHashOfAPathIsPinnedAndPathsAreCleanedAsGiven) {
    EXPECT_EQ(shardOf("photos/2024/june/x.jpg", 1000003), 992129u);
    EXPECT_EQ(shardOf("/srv/archive/IMG_0001.JPG", 1000003), 727102u);
    EXPECT_EQ(shardOf("a.bmp", 1000003), 925116u);
    EXPECT_EQ(shardOf("\xff\xfe.png", 1000003), 906299u);
    EXPECT_EQ(shardOf("photos/2024/june/x.jpg", 4), 2u);

    EXPECT_EQ(shardKey("./photos//2024/./june/x.jpg"), "photos/2024/june/x.jpg");
    EXPECT_EQ(shardKey("/srv//a/"), "/srv/a");
    EXPECT_EQ(shardKey("./"), ".");
    EXPECT_EQ(shardKey("../a.jpg"), "../a.jpg");
}

// The report's escapes as first written, byte by byte: the plain form the quick one must match.
size_t literalUtf8Length(const std::string& s, size_t i) {
    auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
    const unsigned b = at(0);
    if (b < 0x80) return 1;
    if (in(b, 0xC2, 0xDF)) return in(at(1), 0x80, 0xBF) ? 2 : 0;
    if (in(b, 0xE0, 0xEF))
        return in(at(1), b == 0xE0 ? 0xA0 : 0x80, b == 0xED ? 0x9F : 0xBF) && in(at(2), 0x80, 0xBF) ? 3 : 0;
    if (in(b, 0xF0, 0xF4))
        return in(at(1), b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) && in(at(2), 0x80, 0xBF) &&
                       in(at(3), 0x80, 0xBF)
                   ? 4
                   : 0;
    return 0;
}

std::string literalJsonString(const std::string& s) {
    std::string out = "\"";
    char buffer[8];
    for (size_t i = 0; i < s.size();) {
        const size_t n = literalUtf8Length(s, i);
        const unsigned char c = s[i];
        const char* named = c == '"'    ? "\\\""
                            : c == '\\' ? "\\\\"
                            : c == '\n' ? "\\n"
                            : c == '\r' ? "\\r"
                            : c == '\t' ? "\\t"
                            : c == '\b' ? "\\b"
                            : c == '\f' ? "\\f"
                                        : nullptr;
        if (n == 0 || (n == 1 && !named && c < 0x20)) {
            snprintf(buffer, sizeof buffer, "\\u%04x", n == 0 ? 0xDC00 + c : c);
            out += buffer;
        } else {
            out += n == 1 && named ? std::string(named) : s.substr(i, n);
        }
        i += n == 0 ? 1 : n;
    }
    return out + "\"";
}

TEST(CliRecords, JsonStringMatchesItsByteByByteForm) {
    const char alphabet[] = "a/ \"\\\n\x01\x1f\x7f\x80\xbf\xc3\xa9\xe2\x82\xed\xa0\xf0\x9f\xf4\x90\xff";
    uint32_t seed = 1;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        for (int n = round % 13; n > 0; --n) {
            seed = seed * 1664525u + 1013904223u;
            bytes += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        ASSERT_EQ(jsonString(bytes), literalJsonString(bytes)) << round;
    }
}

// Every path of up to eight of '/', '.' and 'a' is cleaned as by splitting at each '/'.
TEST(CliShards, KeysAreCleanedAsBySplittingTheSegments) {
    for (int length = 0; length <= 8; ++length) {
        int count = 1;
        for (int k = 0; k < length; ++k) count *= 3;
        for (int code = 0; code < count; ++code) {
            std::string path;
            for (int k = 0, c = code; k < length; ++k, c /= 3) path += "/.a"[c % 3];
            std::string clean;
            for (const std::string& segment : strsplit(path, "/"))
                if (!segment.empty() && segment != ".") clean += (clean.empty() ? "" : "/") + segment;
            const std::string key = path[0] == '/' ? "/" + clean : clean.empty() ? "." : clean;
            ASSERT_EQ(shardKey(path), key) << path;
        }
    }
}

// A list goes folder by folder: each path is looked up in its own folder, the names of a folder met
// often found among its entries, missing names, folders and links included.
TEST(CliInputPaths, ListedPathsAreFoundFolderByFolder) {
    TempDir dir;
    for (const char* folder : {"a", "b", "b/d"}) mkdir(dir.file(folder).c_str(), 0755);
    std::vector<std::string> paths = {dir.file("a/1.bmp"), dir.file("a/3.bmp"), dir.file("c/1.bmp"),
                                      dir.file("a"), dir.file("b/../a/1.bmp")};
    std::vector<std::string> refusals = {"", "no such file or folder", "no such file or folder",
                                         "is a folder (use -r to resize the images inside it)", ""};
    writeBytes(dir.file("a/1.bmp"), std::string("BM"));
    for (int i = 0; i < 40; ++i) {
        paths.push_back(dir.file("b/" + std::to_string(i) + ".bmp"));
        refusals.push_back("");
        writeBytes(paths.back(), std::string("BM"));
    }
    ASSERT_EQ(symlink("0.bmp", dir.file("b/l.bmp").c_str()), 0);
    mkfifo(dir.file("b/p.bmp").c_str(), 0644);
    for (const char* name : {"b/l.bmp", "b/none.bmp", "b/d", "b/p.bmp", "b/.."})
        paths.push_back(dir.file(name));
    refusals.insert(refusals.end(),
                    {"", "no such file or folder", "is a folder (use -r to resize the images inside it)",
                     "is not a regular file", "is a folder (use -r to resize the images inside it)"});
    const std::vector<InputItem> items = collectInputs(paths, WalkRules());
    ASSERT_EQ(items.size(), paths.size());
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].refusal, refusals[i]) << paths[i];
}

}  // namespace
