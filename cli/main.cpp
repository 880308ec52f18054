// pixmill-cli: the Pixmill engine without a window, for scripts, servers and terminals.

#include <cstdio>
#include <string>

#include "cli/BatchRun.h"
#include "cli/CliOptions.h"
#include "cli/InputPaths.h"
#include "cli/Interrupt.h"
#include "cli/ProgressView.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "tools/modTools.h"

namespace {

const int kExitAllResized = 0;
const int kExitSomeNotResized = 1;
const int kExitUsage = 2;
const int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

int usageError(const std::string& message) {
    fprintf(stderr, "pixmill-cli: %s\nTry 'pixmill-cli --help' for more information.\n", message.c_str());
    return kExitUsage;
}

// Ends the engine (its workers have finished); config.xml is written only with --save-settings.
// The file is then read back, because the engine gives up silently when it cannot write it:
// returns false then.
bool closeEngine(bool keepSettings) {
    const std::string settingsFile = pxm->settingsFolder + "/config.xml";
    const std::string settingsText = pxm->settingsText();
    pxm->saveSettingsOnExit = keepSettings;
    pxmDestroy();
    if (!keepSettings || readFileContents(settingsFile) == settingsText) return true;
    fprintf(stderr, "pixmill-cli: could not save the settings in %s\n", settingsFile.c_str());
    return false;
}

void report(const BatchOutcome& outcome) {
    for (const InputItem& refused : outcome.refused) {
        fprintf(stderr, "pixmill-cli: refused %s: %s\n", refused.path.c_str(), refused.refusal.c_str());
    }
    for (const FailedJob& failed : outcome.failed) {
        fprintf(stderr, "pixmill-cli: failed %s: %s\n", failed.source.c_str(), failed.message.c_str());
    }
    std::string summary = std::to_string(outcome.resized) + " resized, " +
                          std::to_string(outcome.failed.size()) + " failed, " +
                          std::to_string(outcome.refused.size()) + " refused";
    if (outcome.notStarted > 0) {
        summary += ", " + std::to_string(outcome.notStarted) +
                   (outcome.interrupted ? " not started (interrupted)" : " not started");
    }
    fflush(stderr);
    printf("%s\n", summary.c_str());
    fflush(stdout);
}

int exitStatus(const BatchOutcome& outcome) {
    if (outcome.interrupted && outcome.notStarted > 0) return kExitInterrupted;
    if (!outcome.failed.empty() || !outcome.refused.empty() || outcome.notStarted > 0)
        return kExitSomeNotResized;
    return kExitAllResized;
}

WalkRules walkRules(const CliOptions& options, const Pixmill& engine) {
    WalkRules rules;
    rules.recursive = options.recursive;
    rules.skipFolderName = engine.outputSubFolder;
    if (engine.destination == Destination::FixedFolder) rules.skipFolderPath = engine.outputFixedFolder;
    return rules;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    std::string error;
    if (!parseCliOptions(argc, argv, options, error)) return usageError(error);
    if (options.help) {
        fputs(cliHelpText().c_str(), stdout);
        return kExitAllResized;
    }
    if (options.version) {
        printf("pixmill-cli %s\n", PIXMILL_VERSION);
        return kExitAllResized;
    }
    if (options.paths.empty() && !options.saveSettings && !options.showSettings)
        return usageError("no FILE given");

    installInterruptHandlers();
    pxm = new Pixmill();
    applyCliOptions(options, *pxm);
    error = checkEffectiveSettings(*pxm);
    if (!error.empty()) {
        closeEngine(false);
        return usageError(error);
    }
    if (options.showSettings) fputs(describeSettings(*pxm).c_str(), stdout);
    if (options.showSettings || options.paths.empty()) {
        return closeEngine(options.saveSettings) ? kExitAllResized : kExitSomeNotResized;
    }

    const std::vector<InputItem> inputs = collectInputs(options.paths, walkRules(options, *pxm));
    ProgressView view(stderrIsTerminal());
    const BatchOutcome outcome = runBatch(*pxm, inputs, view);
    const bool settingsKept = closeEngine(options.saveSettings);
    report(outcome);
    const int status = exitStatus(outcome);
    return (status == kExitAllResized && !settingsKept) ? kExitSomeNotResized : status;
}
