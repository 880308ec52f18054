// One pixmill-cli batch: every input offered to the engine's intake, then the jobs watched to their end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/InputPaths.h"

class Pixmill;
class ProgressView;

struct FailedJob {
    std::string source;
    std::string message;
};

struct BatchOutcome {
    size_t resized = 0;
    std::vector<FailedJob> failed;
    std::vector<InputItem> refused;
    size_t notStarted = 0;  // jobs and inputs left when the batch was interrupted
    bool interrupted = false;
};

BatchOutcome runBatch(Pixmill& engine, const std::vector<InputItem>& inputs, ProgressView& view);

// Why intake refused a path it was offered (it only answers yes or no).
std::string intakeRefusalReason(const Pixmill& engine, const std::string& path);
