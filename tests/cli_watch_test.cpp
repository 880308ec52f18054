// SPDX-License-Identifier: MIT
// pixmill-cli --watch as a process: files taken once complete and once only, moved-in files, files
// there at the start, never its own outputs, Ctrl-C ending it with the usual report; its usage
// errors and the systemd unit that runs it.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_support.h"

namespace {

// Waits up to about 20 s (sanitizer builds are slow) for ready to hold.
bool waitFor(const std::function<bool()>& ready) {
    for (int i = 0; i < 2000; ++i) {
        if (ready()) return true;
        usleep(10 * 1000);
    }
    return ready();
}

// Whether the kernel refuses a read lease on a file open for writing in folder (it tells the
// watcher that a file there at the start is still being written).
bool leasesTellWriters(const std::string& folder) {
    const std::string path = folder + "/lease-probe";
    const int writer = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    const int reader = open(path.c_str(), O_RDONLY);
    const bool told =
        writer >= 0 && reader >= 0 && fcntl(reader, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
    close(reader);
    close(writer);
    unlink(path.c_str());
    return told;
}

class CliWatch : public ::testing::Test {
  protected:
    TempDir config, in, capture;
    RunningProgram watcher;

    std::string report() const { return capture.file("report.jsonl"); }

    // Starts the watcher on `in` (outputs 8 pixels, BMP) and waits until it watches.
    void start(std::vector<std::string> args) {
        args.insert(args.begin(), {"--watch", in.path(), "-s", "8", "-t", "bmp", "--report", report()});
        watcher = startProgram(cliCommand(args), config.path(), "", capture, "watch");
        ASSERT_TRUE(waitFor([&] { return contains(readBytes(watcher.errPath), "; Ctrl-C ends"); }))
            << readBytes(watcher.errPath);
    }

    CliResult stop() {
        kill(watcher.pid, SIGINT);
        return finishProgram(watcher);
    }

    // The statuses of the report's lines for the file name in `in`, in order.
    std::string statusesOf(const std::string& name) const {
        std::istringstream lines(readBytes(report()));
        std::string statuses;
        for (std::string line; std::getline(lines, line);) {
            if (!contains(line, "\"source\":\"" + in.file(name) + "\"")) continue;
            const size_t at = line.find("\"status\":\"") + 10;
            statuses += (statuses.empty() ? "" : " ") + line.substr(at, line.find('"', at) - at);
        }
        return statuses;
    }
};

TEST_F(CliWatch, TakesFilesOnceCompleteAndThoseThereWithoutOutputs) {
    ASSERT_TRUE(makeImage(in.file("there.bmp"), 16, 16));
    ASSERT_TRUE(makeImage(in.file("done.bmp"), 16, 16));
    ASSERT_EQ(mkdir(in.file("resized").c_str(), 0755), 0);
    ASSERT_TRUE(writeBytes(in.file("resized/done_8x8.bmp"), "kept"));
    ASSERT_TRUE(makeImage(capture.file("slow.bmp"), 16, 16));
    ASSERT_TRUE(makeImage(capture.file("moved.bmp"), 16, 16));

    // Written slowly: half, a pause, the rest. Taken only once closed, so never damaged; where
    // leases tell, the watcher starts while it is half written.
    const std::string bytes = readBytes(capture.file("slow.bmp"));
    const bool startHalfWritten = leasesTellWriters(in.path());
    if (!startHalfWritten) start({});
    const int fd = open(in.file("slow.bmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const size_t half = bytes.size() / 2;
    ASSERT_EQ(write(fd, bytes.data(), half), ssize_t(half));
    if (startHalfWritten) start({});
    usleep(300 * 1000);
    EXPECT_EQ(statusesOf("slow.bmp"), "");
    ASSERT_EQ(write(fd, bytes.data() + half, bytes.size() - half), ssize_t(bytes.size() - half));
    close(fd);
    ASSERT_EQ(rename(capture.file("moved.bmp").c_str(), in.file("moved.bmp").c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return statusesOf("slow.bmp") != "" && statusesOf("moved.bmp") != ""; }));

    const CliResult result = stop();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "3 resized, 0 failed, 0 refused")) << result.out;
    EXPECT_TRUE(contains(result.err, "] resized " + in.file("slow.bmp") + " -> ")) << result.err;
    EXPECT_EQ(statusesOf("there.bmp"), "resized");
    EXPECT_EQ(statusesOf("slow.bmp"), "resized");
    EXPECT_EQ(statusesOf("moved.bmp"), "resized");
    EXPECT_EQ(statusesOf("done.bmp"), "");
    EXPECT_EQ(readBytes(in.file("resized/done_8x8.bmp")), "kept");
    EXPECT_EQ(readImage(in.file("resized/slow_8x8.bmp")).width, 8);
}

// Outputs in the watched folder itself: an earlier run's and its own are never taken; a file
// written again is taken again, and with --overwrite no its output stays (skipped).
TEST_F(CliWatch, NeverTakesOutputsInTheFolder) {
    ASSERT_TRUE(makeImage(in.file("old.bmp"), 16, 16));
    ASSERT_TRUE(makeImage(in.file("old_8x8.bmp"), 8, 8));
    ASSERT_TRUE(makeImage(capture.file("new.bmp"), 16, 16));
    start({"-d", "samefolder"});
    ASSERT_EQ(rename(capture.file("new.bmp").c_str(), in.file("new.bmp").c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return statusesOf("new.bmp") == "resized"; }));
    ASSERT_TRUE(makeImage(in.file("new.bmp"), 20, 20));
    EXPECT_TRUE(waitFor([&] { return statusesOf("new.bmp") == "resized skipped"; }));
    usleep(300 * 1000);  // time for a wrong look at the output's own arrival

    const CliResult result = stop();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "1 resized, 1 skipped, 0 failed")) << result.out << result.err;
    EXPECT_EQ(statusesOf("new_8x8.bmp") + statusesOf("old.bmp") + statusesOf("old_8x8.bmp"), "");
    EXPECT_EQ(folderEntries(in.path()),
              (std::vector<std::string>{"new.bmp", "new_8x8.bmp", "old.bmp", "old_8x8.bmp"}));
}

// A folder that goes away ends the watch as a failure, so a service restarts it.
TEST_F(CliWatch, EndsWhenTheFolderGoes) {
    start({});
    ASSERT_EQ(rmdir(in.path().c_str()), 0);
    const CliResult result = finishProgram(watcher);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "failed " + in.path() + ": no longer watched")) << result.err;
}

TEST_F(CliWatch, UsageErrors) {
    ASSERT_TRUE(writeBytes(in.file("a.jpg"), ""));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--watch", in.file("missing")}, "No such file"},
        {{"--watch", in.file("a.jpg")}, "is not a folder"},
        {{"--watch", in.path(), in.file("a.jpg")}, "give no FILE"},
        {{"--watch", in.path(), "--files-from", in.file("a.jpg")}, "give no FILE"},
        {{"--watch", in.path(), "-r"}, "leave -r out"},
        {{"--watch", in.path(), "-d", "samefolder", "-n", "%SRC%_%N%"}, "counter (%N%)"},
    };
    for (const auto& [args, message] : cases) {
        const CliResult result = runCli(args, config.path());
        EXPECT_EQ(result.status, 2) << args[1];
        EXPECT_TRUE(contains(result.err, message)) << result.err;
    }
}

// The user unit as systemd reads it, with the program it starts at the built one.
TEST(CliWatchUnit, SystemdAcceptsTheUnit) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir folder;
    const std::string unit = folder.file("pixmill-watch@tmp-incoming.service");
    ASSERT_TRUE(
        writeBytes(unit, strreplace(readFileContents(PIXMILL_SOURCE_DIR "/packaging/pixmill-watch@.service"),
                                    "/usr/bin/pixmill-cli", cliBinary())));
    const CliResult result =
        finishProgram(startProgram({"env", "XDG_RUNTIME_DIR=" + folder.path(), "/usr/bin/systemd-analyze",
                                    "--user", "--man=no", "verify", unit},
                                   folder.path(), "", folder));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

}  // namespace
