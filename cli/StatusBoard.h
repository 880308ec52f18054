// SPDX-License-Identifier: MIT
// The latest status text the engine's workers reported, for the progress display.
#pragma once

#include <string>

std::string latestStatus();
// Returns true when a worker has found no job left to take (since the last call), false when a
// signal arrived or milliseconds passed first.
bool waitForIdleWorker(int milliseconds);
