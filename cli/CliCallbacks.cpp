// The engine's front-end callbacks for the terminal: workers' status is kept for the progress display.
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

}  // namespace

std::string latestStatus() {
    std::lock_guard<std::mutex> hold(board().lock);
    return board().status;
}

// Workers call this with no lock held; the board's lock is only ever held for a string copy.
void appSetStatusField(const std::string& text) {
    std::lock_guard<std::mutex> hold(board().lock);
    board().status = text;
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
