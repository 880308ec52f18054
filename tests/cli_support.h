// SPDX-License-Identifier: MIT
// Helpers for the end-to-end tests of pixmill-cli: run it as a process, make inputs, read outputs.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "picture/Picture.h"
#include "testsupport.h"
#include "tools/modTools.h"

struct CliResult {
    int status = -1;  // exit status, 128 + signal when killed, -1 when it did not end in time
    std::string out;
    std::string err;
};

inline std::string cliBinary() {
    return PIXMILL_BINARY_DIR "/cli/pixmill-cli";
}

// The environment of this process with the given variables replaced, built before fork so the
// child only calls async-signal-safe functions.
class ChildEnvironment {
  public:
    explicit ChildEnvironment(const std::vector<std::string>& overrides) {
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const std::string& o : overrides)
                replaced |= entry.rfind(o.substr(0, o.find('=') + 1), 0) == 0;
            if (!replaced) entries.push_back(entry);
        }
        entries.insert(entries.end(), overrides.begin(), overrides.end());
        for (std::string& entry : entries) pointers.push_back(&entry[0]);
        pointers.push_back(nullptr);
    }
    char** get() { return pointers.data(); }

  private:
    std::vector<std::string> entries;
    std::vector<char*> pointers;
};

// A program started with its standard output and error captured in files.
struct RunningProgram {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};

// Starts argv[0] (found on PATH) with XDG_CONFIG_HOME set to configHome (never the user's own
// settings) in the given working folder; its output goes into files under capture, its standard
// input comes from the file input when one is given.
inline RunningProgram startProgram(std::vector<std::string> argv, const std::string& configHome,
                                   const std::string& workDir, const TempDir& capture,
                                   const std::string& tag = "run", const std::string& input = "") {
    RunningProgram running;
    running.outPath = capture.file(tag + ".out");
    running.errPath = capture.file(tag + ".err");
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    ChildEnvironment environment({"XDG_CONFIG_HOME=" + configHome});
    running.pid = fork();
    if (running.pid == 0) {
        // As from a terminal: a test run in the background (where the shell ignores Ctrl-C) must
        // not pass that on to the program whose Ctrl-C handling it tests.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        const int out = open(running.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(running.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        if (!input.empty()) dup2(open(input.c_str(), O_RDONLY), 0);
        execvpe(raw[0], raw.data(), environment.get());
        _exit(127);
    }
    return running;
}

// Waits for it (killing it after two minutes: sanitizer builds are slow, a hung run must not
// hold the suite) and collects what it wrote.
inline CliResult finishProgram(const RunningProgram& running) {
    CliResult result;
    if (running.pid < 0) return result;
    int status = 0;
    for (int waited = 0; waitpid(running.pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 12000) {
            kill(running.pid, SIGKILL);
            waitpid(running.pid, &status, 0);
            result.err = readBytes(running.errPath);
            return result;
        }
        usleep(10 * 1000);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readBytes(running.outPath);
    result.err = readBytes(running.errPath);
    return result;
}

inline std::vector<std::string> cliCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {cliBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Runs pixmill-cli with XDG_CONFIG_HOME set to configHome and the given working folder.
// whileRunning, when given, is called with the pid and the path of the captured standard error as
// soon as the process runs.
inline CliResult runCli(const std::vector<std::string>& args, const std::string& configHome,
                        const std::string& workDir = std::string(),
                        const std::function<void(pid_t, const std::string&)>& whileRunning = nullptr) {
    TempDir capture;
    const RunningProgram running = startProgram(cliCommand(args), configHome, workDir, capture);
    if (running.pid > 0 && whileRunning) whileRunning(running.pid, running.errPath);
    return finishProgram(running);
}

// Runs pixmill-cli with its standard error on a pseudo-terminal; err holds what the terminal got.
inline CliResult runCliOnTerminal(const std::vector<std::string>& args, const std::string& configHome,
                                  const std::string& workDir) {
    CliResult result;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
    const std::string slave = ptsname(master);
    TempDir capture;
    const std::string outPath = capture.file("out");
    std::vector<std::string> argv = {cliBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    ChildEnvironment environment({"XDG_CONFIG_HOME=" + configHome, "TERM=xterm"});
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int terminal = open(slave.c_str(), O_RDWR);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (terminal < 0 || out < 0 || chdir(workDir.c_str()) != 0) _exit(126);
        dup2(out, 1);
        dup2(terminal, 2);
        execve(raw[0], raw.data(), environment.get());
        _exit(127);
    }
    // Read while it runs (a full terminal buffer would stall it); EOF or EIO once it has gone.
    // The limit is a time, not a count of looks: once the terminal has hung up, poll returns at
    // once, and the program may still take a moment to end.
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd ready = {master, POLLIN, 0};
        char buffer[4096];
        if (poll(&ready, 1, 20) > 0) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                result.err.append(buffer, static_cast<size_t>(n));
                continue;
            }
            usleep(1000);
        }
        if (ended) break;  // it has gone and nothing is left to read
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    close(master);
    result.out = readBytes(outPath);
    return result;
}

// A w by h opaque picture: left quarter red, the rest green, so crops and stretches tell apart.
inline void fillQuarters(CPicture& picture) {
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            uint8_t* p = picture.pixelAt(x, y);
            const bool red = x < picture.width / 4;
            p[0] = 0;
            p[1] = red ? 0 : 255;
            p[2] = red ? 255 : 0;
            p[3] = 255;
        }
    }
}

// Writes a test image as BMP or JPEG by the path's ending.
inline bool makeImage(const std::string& path, int width, int height) {
    CPicture picture(width, height);
    fillQuarters(picture);
    return isRightCI(path, ".bmp") ? picture.saveToBMP(path) : picture.saveToJPG(path, 95);
}

struct ImageFacts {
    std::string format;  // "bmp", "jpeg" or "" by the first bytes
    int width = 0;
    int height = 0;
};

inline ImageFacts readImage(const std::string& path) {
    ImageFacts facts;
    const std::string bytes = readBytes(path);
    if (bytes.compare(0, 2, "BM") == 0) facts.format = "bmp";
    if (bytes.compare(0, 3, "\xFF\xD8\xFF") == 0) facts.format = "jpeg";
    CPicture picture;
    picture.load(path);
    facts.width = picture.width;
    facts.height = picture.height;
    return facts;
}

inline std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const struct dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
