// Ctrl-C and SIGTERM for a batch: the first asks it to start no more jobs, the second ends the program.
#pragma once

#include <csignal>

void installInterruptHandlers();
bool interruptRequested();

// Blocks the interrupt signals for its lifetime. Worker threads started meanwhile inherit the
// blocked mask, so only the main thread ever runs the handler and no worker system call is cut short.
class InterruptsBlocked {
  public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

  private:
    sigset_t previous;
};
