// The latest status text the engine's workers reported, for the progress display.
#pragma once

#include <string>

std::string latestStatus();
