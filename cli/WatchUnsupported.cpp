// SPDX-License-Identifier: MIT
// pixmill-cli --watch where there is no inotify: a usage error, so the option stays documented alike.
#include "cli/CliOptions.h"
#include "cli/Watch.h"

std::string watchUsageError(const CliOptions& options) {
    return options.watchFolder ? "--watch needs Linux (inotify)" : std::string();
}

std::string watchSettingsError(Pixmill&, const std::string&) {
    return std::string();
}

BatchOutcome watchFolder(Pixmill&, const std::string&, ProgressView&, ReportFile&) {
    return BatchOutcome();
}
