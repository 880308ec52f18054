// SPDX-License-Identifier: MIT
// pixmill-cli in pipelines: NUL-separated file lists shared out by shards (at once, and through GNU
// parallel), mirrored folders, JSON Lines reports whatever the names hold, dry runs, resumed runs.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "cli_support.h"

namespace {

// One object of a report as Python's json module reads it, names turned back into bytes.
struct ReportEntry {
    std::string status;
    std::string source;  // for the summary: its counts as JSON
    std::string output;
};

// Python parses every line strictly (valid UTF-8, no raw control characters) and gives the names
// back with surrogateescape; a line it cannot parse fails the run.
const char* const kReadReports = R"(
import json, sys
out = sys.stdout.buffer
def raw(v): return b'' if v is None else v.encode('utf-8', 'surrogateescape')
for name in sys.argv[1:]:
    for line in open(name, 'rb'):
        assert line.endswith(b'\n')
        o = json.loads(line.decode('utf-8'))
        if o['status'] == 'summary':
            del o['status']
            out.write(b'summary\0' + json.dumps(o, sort_keys=True).encode() + b'\0\0')
            continue
        assert set(o) >= {'source', 'output', 'message', 'reason', 'width', 'height', 'bytes', 'ms'}
        out.write(raw(o['status']) + b'\0' + raw(o['source']) + b'\0' + raw(o['output']) + b'\0')
)";

std::vector<ReportEntry> readReports(const std::vector<std::string>& files) {
    TempDir capture;
    // The system's Python (a test dependency) starts at once; a version manager's shim may not.
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    std::vector<std::string> argv = {python, "-c", kReadReports};
    argv.insert(argv.end(), files.begin(), files.end());
    const CliResult r = finishProgram(startProgram(argv, capture.path(), "", capture));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end; (end = r.out.find('\0', start)) != std::string::npos; start = end + 1)
        fields.push_back(r.out.substr(start, end - start));
    std::vector<ReportEntry> entries;
    for (size_t i = 0; i + 2 < fields.size(); i += 3)
        entries.push_back({fields[i], fields[i + 1], fields[i + 2]});
    return entries;
}

class CliBatch : public ::testing::Test {
  protected:
    TempDir config;  // XDG_CONFIG_HOME of every run
    TempDir work;
    TempDir capture;

    CliResult run(const std::vector<std::string>& args) { return runCli(args, config.path(), work.path()); }
    void image(const std::string& name) { EXPECT_TRUE(makeImage(work.file(name), 4, 4)) << name; }

    // photos/dD/eE/ with four tiny images, a text file and a broken PNG in each: 40 folders, 240
    // paths. Returns the paths relative to the work folder, in list order.
    std::vector<std::string> makeTree() {
        std::vector<std::string> paths;
        mkdir(work.file("photos").c_str(), 0755);
        for (int d = 0; d < 10; ++d) {
            const std::string top = "photos/d" + std::to_string(d);
            mkdir(work.file(top).c_str(), 0755);
            for (int e = 0; e < 4; ++e) {
                const std::string folder = top + "/e" + std::to_string(e);
                mkdir(work.file(folder).c_str(), 0755);
                for (int i = 0; i < 4; ++i) {
                    paths.push_back(folder + "/img" + std::to_string(i) + ".bmp");
                    EXPECT_TRUE(makeImage(work.file(paths.back()), 4, 4));
                }
                paths.push_back(folder + "/notes.txt");
                EXPECT_TRUE(writeBytes(work.file(paths.back()), std::string("text")));
                paths.push_back(folder + "/broken.png");
                EXPECT_TRUE(writeBytes(work.file(paths.back()), std::string("not a png")));
            }
        }
        return paths;
    }

    std::string nulList(const std::vector<std::string>& paths) {
        std::string list;
        for (const std::string& path : paths) list += path + '\0';
        EXPECT_TRUE(writeBytes(work.file("list"), list));
        return work.file("list");
    }

    // Every path reported exactly once with the status its kind calls for, every image written
    // once into the mirrored tree; returns how many paths each report held.
    std::vector<size_t> checkShardedRun(const std::vector<std::string>& paths, int shards) {
        std::vector<std::string> reports;
        for (int k = 1; k <= shards; ++k)
            reports.push_back(work.file("report" + std::to_string(k) + ".jsonl"));
        std::map<std::string, std::string> statusOf;
        std::vector<size_t> sizes;
        for (const std::string& report : reports) {
            size_t lines = 0;
            for (const ReportEntry& entry : readReports({report})) {
                if (entry.status == "summary") continue;
                ++lines;
                EXPECT_TRUE(statusOf.emplace(entry.source, entry.status).second) << "twice: " << entry.source;
            }
            sizes.push_back(lines);
        }
        EXPECT_EQ(statusOf.size(), paths.size());
        for (const std::string& path : paths) {
            const std::string expected = isRight(path, ".bmp")   ? "resized"
                                         : isRight(path, ".txt") ? "refused"
                                                                 : "failed";
            EXPECT_EQ(statusOf[work.file(path)], expected) << path;
            if (expected != "resized") continue;
            const std::string output = work.file("thumbs/" + path.substr(0, path.size() - 4) + "_2x2.bmp");
            EXPECT_EQ(readImage(output).width, 2) << output;
        }
        EXPECT_EQ(folderEntries(work.file("thumbs/photos/d3/e1")),
                  (std::vector<std::string>{"img0_2x2.bmp", "img1_2x2.bmp", "img2_2x2.bmp", "img3_2x2.bmp"}));
        return sizes;
    }
};

std::vector<std::string> shardArgs(const std::string& list, const std::string& shard,
                                   const std::string& report) {
    return {"--files-from",     list,       "-0",  "--shard", shard, "-o", "thumbs",
            "--keep-structure", "-s",       "2x2", "-t",      "bmp", "-j", "1",
            "--quiet",          "--report", report};
}

TEST_F(CliBatch, FourShardsAtOnceShareOutOneListWithoutGapsOrOverlaps) {
    const std::vector<std::string> paths = makeTree();
    const std::string list = nulList(paths);
    std::vector<RunningProgram> running;
    for (int k = 1; k <= 4; ++k) {
        const std::string tag = std::to_string(k);
        running.push_back(startProgram(cliCommand(shardArgs(list, tag + "/4", "report" + tag + ".jsonl")),
                                       config.path(), work.path(), capture, tag));
    }
    for (const RunningProgram& program : running) {
        const CliResult r = finishProgram(program);
        EXPECT_EQ(r.status, 1) << r.err;  // each shard holds some text files and broken files
    }
    for (size_t size : checkShardedRun(paths, 4)) {
        EXPECT_GT(size, paths.size() / 4 * 3 / 4);
        EXPECT_LT(size, paths.size() / 4 * 5 / 4);
    }
}

TEST_F(CliBatch, GnuParallelRunsTheShards) {
    if (system("parallel --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
    const std::vector<std::string> paths = makeTree();
    const std::string list = nulList(paths);
    std::vector<std::string> argv = {"parallel", "--will-cite", "-j", "3"};
    const std::vector<std::string> command = cliCommand(shardArgs(list, "{}/3", "report{}.jsonl"));
    argv.insert(argv.end(), command.begin(), command.end());
    for (const char* k : {":::", "1", "2", "3"}) argv.push_back(k);
    const CliResult r = finishProgram(startProgram(argv, config.path(), work.path(), capture));
    EXPECT_EQ(r.status, 3) << r.err;  // parallel counts the runs that exited non-zero
    checkShardedRun(paths, 3);
}

TEST_F(CliBatch, ReportLinesAreJsonWhateverTheNamesHold) {
    const std::vector<std::string> names = {"quote\"and\\back.bmp",
                                            "new\nline\ttab.bmp",
                                            "\x01"
                                            "control.bmp",
                                            "caf\xc3\xa9 \xf0\x9f\x98\x80.bmp",
                                            "latin1 \xe9t\xe9.bmp",
                                            "\xff\xfe.bmp",
                                            "\xed\xa0\x80surrogate.bmp",
                                            "\xc0\xafoverlong.bmp",
                                            "broken \xe9.jpg",
                                            "\xe9notes.txt"};
    std::vector<std::string> args = {"-s", "2x2", "-t", "bmp", "--report", "report.jsonl"};
    for (const std::string& name : names) {
        const bool made = isRight(name, ".bmp") ? makeImage(work.file(name), 4, 4)
                                                : writeBytes(work.file(name), std::string("junk"));
        EXPECT_TRUE(made) << name;
        args.push_back(name);
    }
    const CliResult r = run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    const std::vector<ReportEntry> entries = readReports({work.file("report.jsonl")});
    ASSERT_EQ(entries.size(), names.size() + 1);
    std::set<std::string> sources;
    for (size_t i = 0; i < names.size(); ++i) {
        const ReportEntry& entry = entries[i];
        sources.insert(entry.source);
        if (entry.status == "resized") {
            EXPECT_EQ(readImage(entry.output).width, 2) << entry.output;
            EXPECT_EQ(getFilePath(entry.output), work.file("resized/"));
        }
    }
    for (const std::string& name : names) EXPECT_EQ(sources.count(work.file(name)), 1u) << name;
    EXPECT_EQ(entries.back().status, "summary");
    EXPECT_TRUE(contains(entries.back().source, "\"failed\": 1")) << entries.back().source;
    EXPECT_TRUE(contains(entries.back().source, "\"refused\": 1")) << entries.back().source;
    EXPECT_TRUE(contains(entries.back().source, "\"resized\": 8")) << entries.back().source;
}

// Every file under the folder with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : folderEntries(folder)) {
        const std::string path = folder + "/" + name;
        if (DirExist(path)) {
            for (const auto& inner : snapshot(path)) files[name + "/" + inner.first] = inner.second;
        } else {
            files[name] = readBytes(path);
        }
    }
    return files;
}

TEST_F(CliBatch, DryRunNamesWhatARunWritesAndWritesNothing) {
    for (const char* folder : {"photos", "photos/2024", "photos/2024/june", "thumbs", "thumbs/photos"})
        mkdir(work.file(folder).c_str(), 0755);
    image("photos/a.bmp");
    image("photos/2024/june/x.bmp");
    image("photos/2024/june/y.jpg");
    image("thumbs/photos/1_a.jpg");  // taken: the counter moves past it
    TempDir elsewhere;
    EXPECT_TRUE(makeImage(elsewhere.file("far.bmp"), 4, 4));
    const std::vector<std::string> args = {
        "-s", "2x2",       "-o",           "thumbs",      "--keep-structure",
        "-n", "%N%_%SRC%", "photos/a.bmp", "photos/2024", elsewhere.file("far.bmp"),
        "-r"};
    const auto before = snapshot(work.path());
    std::vector<std::string> planArgs = args;
    planArgs.insert(planArgs.end(), {"--dry-run", "--report", "-"});
    const CliResult plan = run(planArgs);
    EXPECT_EQ(plan.status, 1) << plan.err;  // the file outside the current folder is refused
    EXPECT_EQ(snapshot(work.path()), before);
    EXPECT_TRUE(contains(plan.err, "3 to resize, 1 refused")) << plan.err;
    EXPECT_TRUE(
        contains(plan.err, "refused " + elsewhere.file("far.bmp") + ": lies outside the current folder"))
        << plan.err;
    ASSERT_TRUE(writeBytes(capture.file("plan.jsonl"), plan.out));
    // Nor is a settings folder made where there was none.
    const std::string freshConfig = config.file("fresh");
    EXPECT_EQ(runCli(planArgs, freshConfig, work.path()).status, 1);
    EXPECT_FALSE(DirExist(freshConfig));

    std::vector<std::string> runArgs = args;
    runArgs.insert(runArgs.end(), {"--report", "run.jsonl"});
    EXPECT_EQ(run(runArgs).status, 1);
    const std::vector<ReportEntry> planned = readReports({capture.file("plan.jsonl")});
    ASSERT_EQ(planned.size(), 5u);
    // A file named directly keeps its folder below the current one; a walked one, below the walk's.
    EXPECT_EQ(planned[0].output, work.file("thumbs/photos/2_a.jpg"));
    EXPECT_EQ(planned[1].output, work.file("thumbs/june/3_x.jpg"));
    EXPECT_EQ(planned[2].output, work.file("thumbs/june/4_y.jpg"));
    EXPECT_EQ(planned[3].status, "refused");
    // The run writes exactly there (its report holds the lines in the order the jobs ended).
    std::map<std::string, std::string> written;
    for (const ReportEntry& entry : readReports({work.file("run.jsonl")}))
        written[entry.source] = entry.output;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(planned[i].status, "planned");
        EXPECT_EQ(written[planned[i].source], planned[i].output);
        EXPECT_EQ(readImage(planned[i].output).width, 2) << planned[i].output;
    }
}

TEST_F(CliBatch, MirroredFoldersNeverClimbOutOfTheOutputFolder) {
    for (const char* folder : {"inner", "inner/sub", "inner/thumbs"}) mkdir(work.file(folder).c_str(), 0755);
    image("x.bmp");
    image("inner/y.bmp");
    const CliResult r =
        runCli({"-s", "2x2", "-o", "thumbs", "--keep-structure", "sub/../../x.bmp", "sub/../y.bmp"},
               config.path(), work.file("inner"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "x.bmp: lies outside the current folder")) << r.err;
    EXPECT_EQ(folderEntries(work.file("inner/thumbs")), std::vector<std::string>{"y_2x2.jpg"});
    EXPECT_EQ(folderEntries(work.path()), (std::vector<std::string>{"inner", "x.bmp"}));
}

TEST_F(CliBatch, SkipExistingReportsSkipsAndExitsZero) {
    image("a.bmp");
    image("b.bmp");
    ASSERT_EQ(run({"-s", "2x2", "a.bmp"}).status, 0);
    const CliResult r = run({"-s", "2x2", "--skip-existing", "--report", "report.jsonl", "a.bmp", "b.bmp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 resized, 1 skipped, 0 failed, 0 refused\n");
    EXPECT_TRUE(contains(
        r.err, "skipped " + work.file("a.bmp") + ": File already exists : " + work.file("resized/a_2x2.jpg")))
        << r.err;
    const std::vector<ReportEntry> entries = readReports({work.file("report.jsonl")});
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].status, "skipped");
    EXPECT_EQ(entries[1].status, "resized");
    // A finished output is passed over before its source is read: a source broken since is skipped too.
    ASSERT_TRUE(writeBytes(work.file("a.bmp"), std::string("no longer a picture")));
    EXPECT_EQ(run({"-s", "2x2", "--skip-existing", "a.bmp"}).out,
              "0 resized, 1 skipped, 0 failed, 0 refused\n");
}

TEST_F(CliBatch, QuietRunsShowOnlyProblemsAndTheSummary) {
    image("a.bmp");
    ASSERT_TRUE(writeBytes(work.file("b.jpg"), std::string("junk")));
    const CliResult r = run({"-s", "2x2", "--quiet", "a.bmp", "b.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1 resized, 1 failed, 0 refused\n");
    EXPECT_FALSE(contains(r.err, "resized")) << r.err;
    EXPECT_TRUE(contains(r.err, "pixmill-cli: failed " + work.file("b.jpg"))) << r.err;
}

TEST_F(CliBatch, ListsFromStandardInputCombineWithTheArguments) {
    mkdir(work.file("sub").c_str(), 0755);
    image("a.bmp");
    image("sub/b.bmp");
    image("sub/c d.bmp");
    ASSERT_TRUE(writeBytes(capture.file("list"), std::string("sub/b.bmp\n\nsub/c d.bmp\nmissing.bmp\n")));
    const CliResult r =
        finishProgram(startProgram(cliCommand({"-s", "2x2", "a.bmp", "--files-from", "-"}), config.path(),
                                   work.path(), capture, "run", capture.file("list")));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "3 resized, 0 failed, 1 refused\n");
    EXPECT_EQ(folderEntries(work.file("sub/resized")),
              (std::vector<std::string>{"b_2x2.jpg", "c d_2x2.jpg"}));
    EXPECT_TRUE(contains(r.err, "refused " + work.file("missing.bmp") + ": no such file")) << r.err;
}

// ---- The commands of docs/scale-out.md, run as written ----

// The indented blocks of the guide, indentation taken off, from its first line that starts with
// `start` to the next heading; a blank line ends a block.
std::vector<std::string> guideBlocks(const std::string& guide, const std::string& start) {
    std::istringstream lines(guide);
    std::vector<std::string> blocks;
    bool inside = false, inBlock = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inside) {
            inside = line.compare(0, start.size(), start) == 0;
            continue;
        }
        if (line.compare(0, 3, "## ") == 0) break;
        const bool code = line.compare(0, 4, "    ") == 0;
        if (code && !inBlock) blocks.emplace_back();
        if (code) blocks.back() += line.substr(4) + "\n";
        inBlock = code;
    }
    EXPECT_FALSE(blocks.empty()) << start;
    return blocks;
}

// The text of the YAML block scalar after "- >-" in a manifest, folded into one line as YAML does.
std::string foldedArgs(const std::string& manifest) {
    std::istringstream lines(manifest.substr(manifest.find("- >-\n") + 5));
    std::string folded, line;
    size_t indent = std::string::npos;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(' ');
        if (indent == std::string::npos) indent = first;
        if (first != indent) break;
        folded += (folded.empty() ? "" : " ") + line.substr(first);
    }
    return folded;
}

class ScaleOutGuide : public CliBatch {
  protected:
    std::string guide = readFileContents(PIXMILL_SOURCE_DIR "/docs/scale-out.md");
    std::vector<std::string> paths;

    void SetUp() override {
        paths = makeTree();
        mkdir(work.file("bin").c_str(), 0755);
        ASSERT_EQ(symlink(cliBinary().c_str(), work.file("bin/pixmill-cli").c_str()), 0);
        // The guide's paths and machines are this test's folder and this machine.
        ASSERT_EQ(shell(onThisMachine(guideBlocks(guide, "Make the list once").at(0))).status, 0);
    }

    std::string onThisMachine(std::string text) {
        strReplace_inplace(text, "/shared/catalogue", work.path());
        strReplace_inplace(text, "/shared/thumbs", work.file("thumbs"));
        return text;
    }
    CliResult shell(const std::string& script, const std::string& tag = "run") {
        const std::string withPath = "export PATH=\"" + work.file("bin") + ":$PATH\"\n" + script;
        return finishProgram(
            startProgram({"bash", "-c", withPath}, config.path(), work.path(), capture, tag));
    }

    // Every listed path reported once in reports/, every image written into the mirrored tree.
    void checkRun() {
        std::vector<std::string> reports;
        for (const std::string& name : folderEntries(work.file("reports")))
            reports.push_back(work.file("reports/" + name));
        std::map<std::string, std::string> statusOf;
        for (const ReportEntry& entry : readReports(reports)) {
            if (entry.status == "summary") continue;
            EXPECT_TRUE(statusOf.emplace(entry.source, entry.status).second) << "twice: " << entry.source;
        }
        EXPECT_EQ(statusOf.size(), paths.size());
        for (const std::string& path : paths) {
            if (!isRight(path, ".bmp")) continue;
            EXPECT_EQ(statusOf[work.file(path)], "resized") << path;
            const std::string output = "thumbs/" + path.substr(0, path.size() - 4) + "_320x320.jpg";
            EXPECT_EQ(readImage(work.file(output)).width, 320) << output;
        }
    }
};

TEST_F(ScaleOutGuide, GnuParallelCommandRuns) {
    if (system("parallel --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
    std::string command = onThisMachine(guideBlocks(guide, "## GNU parallel").at(0));
    ASSERT_TRUE(contains(command, "-S 2/node1,2/node2,2/node3"));
    strReplace_inplace(command, "-S 2/node1,2/node2,2/node3", "-S 6/:");  // six slots here
    const CliResult r = shell(command);
    EXPECT_EQ(r.status, 6) << r.err;  // every shard met text and broken files
    checkRun();
}

// sbatch is stood in for by a script that runs every task of the array here, as Slurm numbers them.
TEST_F(ScaleOutGuide, SlurmArrayScriptRuns) {
    ASSERT_TRUE(writeBytes(work.file("bin/sbatch"), std::string(R"(#!/bin/bash
last=$(sed -n 's/^#SBATCH --array=0-\([0-9]*\)$/\1/p' "$1")
[ -n "$last" ] || exit 9
for i in $(seq 0 "$last"); do
  SLURM_ARRAY_JOB_ID=7 SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_COUNT=$((last + 1)) SLURM_CPUS_PER_TASK=1 bash "$1" || exit 1
done
)")));
    ASSERT_EQ(chmod(work.file("bin/sbatch").c_str(), 0755), 0);
    const std::vector<std::string> blocks = guideBlocks(guide, "## Slurm job array");
    ASSERT_EQ(blocks.size(), 2u);
    ASSERT_TRUE(writeBytes(work.file("thumbs.sbatch"), onThisMachine(blocks[0])));
    const CliResult r = shell(blocks[1]);
    EXPECT_EQ(r.status, 0) << r.err;
    checkRun();
}

// Each pod runs the container's shell command in its working folder, with its own index.
TEST_F(ScaleOutGuide, KubernetesIndexedJobCommandRuns) {
    const std::string manifest = guideBlocks(guide, "## Kubernetes Indexed Job").at(0);
    ASSERT_TRUE(contains(manifest, "completions: 8"));
    std::string args = foldedArgs(manifest);
    strReplace_inplace(args, "/data", work.path());
    for (int index = 0; index < 8; ++index) {
        const std::string pod = "cd '" + work.path() + "' && JOB_COMPLETION_INDEX=" + std::to_string(index) +
                                " sh -c '" + strreplace(args, "'", "'\\''") + "'";
        const CliResult r = shell(pod, "pod" + std::to_string(index));
        EXPECT_EQ(r.status, 0) << index << ": " << r.err;
    }
    checkRun();
}

}  // namespace
