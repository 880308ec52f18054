// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM for a batch: the first asks it to start no more jobs, the second ends the program.
#pragma once

#include <csignal>

void installInterruptHandlers();
bool interruptRequested();
// A second interrupt arrived while quitting was held: the main thread is to clean up and end.
bool quitRequested();

// While jobs may hold temporary files, a second interrupt only sets quitRequested(), so that the
// main thread removes those files before it ends the program (a signal handler cannot). Otherwise a
// second interrupt ends the program at once. The main thread turns it on and off.
void holdQuitForCleanup(bool hold);

// Blocks the interrupt signals for its lifetime. Worker threads started meanwhile inherit the
// blocked mask, so only the main thread ever runs the handler and no worker system call is cut short.
class InterruptsBlocked {
  public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;
    // The mask before the block, for a wait that lets the signals in (ppoll, pselect).
    const sigset_t& previousMask() const { return previous; }

  private:
    sigset_t previous;
};
