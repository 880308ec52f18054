// SPDX-License-Identifier: MIT
// The engine's front-end callbacks for the terminal: workers' status is kept for the progress display.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>

#include "cli/StatusBoard.h"
#include "engine/AppCallbacks.h"

namespace {

struct Board {
    std::mutex lock;
    std::string status;
};

// Never destroyed: a worker may report "Finished" after the engine's worker count reached zero,
// while the program is already ending.
Board& board() {
    static Board* shared = new Board;
    return *shared;
}

// A pipe that gets a byte whenever a worker finds no job left ("Finished"), so the watching thread
// sees the end of a batch at once instead of at its next look. Both ends never block: a full pipe
// already wakes the reader.
struct WakePipe {
    int fds[2] = {-1, -1};
    WakePipe() {
        if (pipe(fds) != 0) {
            fds[0] = fds[1] = -1;
            return;
        }
        for (int fd : fds) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
};

WakePipe& wakePipe() {
    static WakePipe* shared = new WakePipe;
    return *shared;
}

}  // namespace

bool waitForIdleWorker(int milliseconds) {
    const int fd = wakePipe().fds[0];
    if (fd < 0) {
        usleep(useconds_t(milliseconds) * 1000);
        return false;
    }
    struct pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, milliseconds) <= 0) return false;
    char drained[256];
    while (read(fd, drained, sizeof drained) > 0) {
    }
    return true;
}

std::string latestStatus() {
    std::lock_guard<std::mutex> hold(board().lock);
    return board().status;
}

// Workers call this with no lock held; the board's lock is only ever held for a string copy.
void appSetStatusField(const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(board().lock);
        board().status = text;
    }
    const int fd = wakePipe().fds[1];
    if (fd >= 0 && text == "Finished") {
        const char byte = 0;
        (void)!write(fd, &byte, 1);
    }
}

// The display counts finished jobs itself; the queue position is not needed.
void appSetProgressBar(double) {}

// A terminal has no controls to fill at start.
void appSetResolution(const std::string&) {}
void appSetOutputFormat(int) {}
void appSetRotation(int) {}
void appSetOverwrite(int) {}
void appSetCrop(int) {}
void appSetOutputFileName(const std::string&) {}
void appSetSubFolder(const std::string&) {}
void appSetFixedFolder(const std::string&) {}
void appSetDestination(const std::string&) {}
void appSetFastDraft(bool) {}
void appSetSetting(const std::string&, const std::string&) {}
