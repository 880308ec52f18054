// SPDX-License-Identifier: MIT
// The memory budget shared by the running jobs.
#include "engine/MemoryBudget.h"

#include <unistd.h>

#include <chrono>

MemoryBudget::Grant MemoryBudget::reserve(uint64_t bytes, uint64_t limit, const std::atomic<bool>& stop) {
    if (bytes > limit) return Grant::TooLarge;
    std::unique_lock<std::mutex> hold(lock);
    const auto ticket = waiting.insert(waiting.end(), nextTicket++);
    Grant grant = Grant::Granted;
    for (;;) {
        if (stop) {
            grant = Grant::Stopped;
            break;
        }
        if (waiting.begin() == ticket && (used == 0 || used + bytes <= limit)) break;
        // The stop flag is set without this lock, so a waiter looks at it now and then too.
        changed.wait_for(hold, std::chrono::milliseconds(20));
    }
    waiting.erase(ticket);
    if (grant == Grant::Granted) used += bytes;
    // The next in line may fit too, or a waiter that leaves lets the next one go first.
    changed.notify_all();
    return grant;
}

void MemoryBudget::release(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> hold(lock);
        used -= bytes;
    }
    changed.notify_all();
}

void MemoryBudget::wake() {
    { std::lock_guard<std::mutex> hold(lock); }
    changed.notify_all();
}

uint64_t MemoryBudget::held() {
    std::lock_guard<std::mutex> hold(lock);
    return used;
}

size_t MemoryBudget::waiters() {
    std::lock_guard<std::mutex> hold(lock);
    return waiting.size();
}

uint64_t MemoryBudget::defaultLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return uint64_t(1) << 32;
    return uint64_t(pages) * uint64_t(pageSize) / 2;
}
