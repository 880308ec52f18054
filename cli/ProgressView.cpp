// SPDX-License-Identifier: MIT
// What pixmill-cli shows on standard error while it works: a bar on a terminal, else a line per job.
#include "cli/ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kBarWidth = 24;

// The longest prefix of text that fits in the given number of columns, cut between UTF-8
// characters (continuation bytes 10xxxxxx never start a character).
std::string fitColumns(const std::string& text, size_t width) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters == width) return text.substr(0, i);
        ++characters;
    }
    return text;
}

std::string countText(size_t done, size_t total) {
    return std::to_string(done) + "/" + std::to_string(total);
}

}  // namespace

bool stderrIsTerminal() {
    const char* term = getenv("TERM");
    return isatty(STDERR_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
}

ProgressView::ProgressView(bool onTerminal, bool onlyNotes) : terminal(onTerminal), quiet(onlyNotes) {}

size_t ProgressView::columns() const {
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void ProgressView::update(size_t done, size_t total, const std::string& status) {
    if (!terminal || quiet || total == 0) return;
    const size_t filled = done * kBarWidth / total;
    std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
                       countText(done, total) + "  " + status;
    // One column is left free so the cursor never wraps to a new line.
    line = fitColumns(line, columns() - 1);
    if (line == shown) return;
    shown = line;
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
}

void ProgressView::finished(size_t done, size_t total, const std::string& text) {
    if (terminal || quiet) return;
    fprintf(stderr, "[%s] %s\n", countText(done, total).c_str(), text.c_str());
    fflush(stderr);
}

void ProgressView::note(const std::string& text) {
    if (terminal && !shown.empty()) fprintf(stderr, "\r\033[K");
    fprintf(stderr, "%s\n", text.c_str());
    if (terminal && !shown.empty()) fprintf(stderr, "%s", shown.c_str());
    fflush(stderr);
}

void ProgressView::clear() {
    if (terminal && !shown.empty()) fprintf(stderr, "\r\033[K");
    fflush(stderr);
    shown.clear();
}
