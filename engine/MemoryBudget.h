// SPDX-License-Identifier: MIT
// MemoryBudget: the bytes of pictures that the running jobs may hold at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

class MemoryBudget {
  public:
    enum class Grant { Granted, TooLarge, Stopped };

    // Reserves bytes against limit. Callers are served in the order they call: while the bytes
    // do not fit beside what others hold, or an earlier caller still waits, this one waits. A
    // caller never waits when nothing is held, so the budget cannot deadlock. More than the
    // whole limit is refused at once; a wait ends with Stopped once stop is set (see wake).
    Grant reserve(uint64_t bytes, uint64_t limit, const std::atomic<bool>& stop);
    void release(uint64_t bytes);
    // Makes every waiter look at its stop flag now (it does so by itself a little later).
    void wake();
    uint64_t held();
    size_t waiters();
    // Half the physical memory.
    static uint64_t defaultLimit();

  private:
    std::mutex lock;
    std::condition_variable changed;
    uint64_t used = 0;
    uint64_t nextTicket = 0;
    std::list<uint64_t> waiting;
};

// Releases its reservation when it goes out of scope.
class MemoryReservation {
  public:
    explicit MemoryReservation(MemoryBudget& budget) : budget(budget) {}
    ~MemoryReservation() {
        if (bytes) budget.release(bytes);
    }
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;
    MemoryBudget::Grant reserve(uint64_t amount, uint64_t limit, const std::atomic<bool>& stop) {
        const MemoryBudget::Grant grant = budget.reserve(amount, limit, stop);
        if (grant == MemoryBudget::Grant::Granted) bytes = amount;
        return grant;
    }
    bool held() const { return bytes != 0; }

  private:
    MemoryBudget& budget;
    uint64_t bytes = 0;
};
