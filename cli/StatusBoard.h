// The latest status text the engine's workers reported, for the progress display.
#pragma once

#include <string>

std::string latestStatus();
// Returns when a worker reports a new status (it takes a job, or finds none left), when a signal
// arrives, or after at most milliseconds.
void waitForStatusChange(int milliseconds);
