// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM for a batch: the first asks it to start no more jobs, the second ends the program.
#include "cli/Interrupt.h"

#include <pthread.h>

#include <initializer_list>

namespace {

volatile sig_atomic_t interrupts = 0;
volatile sig_atomic_t quitHeld = 0;

void onInterrupt(int signal) {
    interrupts = interrupts + 1;
    if (interrupts >= 2 && !quitHeld) {
        // Second request with nothing to clean up: the default action ends the process now.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM}) {
        // A signal the parent set to be ignored (a background job of a script) stays ignored.
        struct sigaction old = {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

bool interruptRequested() {
    return interrupts > 0;
}

bool quitRequested() {
    return interrupts >= 2;
}

void holdQuitForCleanup(bool hold) {
    quitHeld = hold ? 1 : 0;
}

InterruptsBlocked::InterruptsBlocked() {
    const sigset_t set = interruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous);
}

InterruptsBlocked::~InterruptsBlocked() {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
