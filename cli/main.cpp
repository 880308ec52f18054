// SPDX-License-Identifier: MIT
// pixmill-cli: the Pixmill engine without a window, for scripts, servers and terminals.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/BatchRun.h"
#include "cli/CliOptions.h"
#include "cli/InputPaths.h"
#include "cli/Interrupt.h"
#include "cli/JobReport.h"
#include "cli/ProgressView.h"
#include "cli/Watch.h"
#include "engine/Pixmill.h"
#include "engine/PixmillMacHelper.h"
#include "engine/Presets.h"
#include "picture/kppng.h"
#include "tools/modTools.h"

namespace {

const int kExitAllResized = 0;
const int kExitSomeNotResized = 1;
const int kExitUsage = 2;

int usageError(const std::string& message) {
    fprintf(stderr, "pixmill-cli: %s\nTry 'pixmill-cli --help' for more information.\n", message.c_str());
    return kExitUsage;
}

// A failure before any file is touched that is not the command line's fault.
int startError(const std::string& message) {
    fprintf(stderr, "pixmill-cli: %s\n", message.c_str());
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

// The problems in the order the paths were given, then the summary on summaryOut.
void printOutcome(const BatchOutcome& outcome, FILE* summaryOut) {
    if (!outcome.counts.dryRun) {
        for (const auto* list : {&outcome.refused, &outcome.damaged, &outcome.failed}) {
            for (const JobRecord& record : *list)
                fprintf(stderr, "pixmill-cli: %s\n", recordText(record).c_str());
        }
    }
    fflush(stderr);
    fprintf(summaryOut, "%s\n", summaryText(outcome.counts).c_str());
    fflush(summaryOut);
}

WalkRules walkRules(const CliOptions& options, const Pixmill& engine) {
    WalkRules rules;
    rules.recursive = options.recursive;
    rules.skipFolderName = engine.outputSubFolder;
    if (engine.destination == Destination::FixedFolder) rules.skipFolderPath = engine.outputFixedFolder;
    rules.keepStructure = options.keepStructure;
    rules.shardIndex = options.shardIndex;
    rules.shardCount = options.shardCount;
    return rules;
}

// The command line's paths, then those of every list. False with error set when a list cannot be read.
bool allPaths(const CliOptions& options, std::vector<std::string>& paths, std::string& error) {
    paths = options.paths;
    for (const std::string& list : options.filesFrom) {
        if (!readPathList(list, options.nullSeparated, paths, error)) return false;
    }
    return true;
}

// The folders of path that do not exist yet, deepest first.
std::vector<std::string> missingFolders(std::string path) {
    std::vector<std::string> missing;
    while (path.size() > 1 && !DirExist(path)) {
        missing.push_back(path);
        path = getFilePath(path);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
    }
    return missing;
}

// A fixed folder named on the command line is made with every level it lacks (as --keep-structure
// makes the folders below it), once some path is to be resized there.
void makeFixedFolder(const Pixmill& engine, const std::vector<InputItem>& inputs) {
    if (engine.destination != Destination::FixedFolder || engine.outputFixedFolder.empty()) return;
    for (const InputItem& input : inputs)
        if (input.refusal.empty()) {
            makeDirectories(engine.outputFixedFolder);
            return;
        }
}

// Runs the batch (or plans it) over the paths and reports; returns the exit status.
int resizeAll(const CliOptions& options, const std::vector<std::string>& paths) {
    ReportFile report;
    std::string error;
    if (options.report && !report.open(*options.report, error)) {
        closeEngine(false);
        return startError(error);
    }
    // With the report on standard output, everything meant for people goes to standard error.
    FILE* textOut = options.report && *options.report == "-" ? stderr : stdout;
    const std::vector<InputItem> inputs = collectInputs(paths, walkRules(options, *pxm));
    BatchOutcome outcome;
    if (options.dryRun) {
        outcome = planBatch(*pxm, inputs, textOut, report);
    } else {
        makeFixedFolder(*pxm, inputs);
        // A watch runs without end: a line per file, never a bar.
        ProgressView view(stderrIsTerminal() && !options.watchFolder, options.quiet);
        outcome = options.watchFolder ? watchFolder(*pxm, *options.watchFolder, view, report)
                                      : runBatch(*pxm, inputs, view, report);
    }
    const bool settingsKept = closeEngine(options.saveSettings);
    report.add(summaryObject(outcome.counts));
    report.flush();
    printOutcome(outcome, textOut);
    int status = exitStatusOf(outcome.counts);
    if (!report.allWritten()) {
        fprintf(stderr, "pixmill-cli: could not write the whole report %s\n", options.report->c_str());
        if (status == kExitAllResized) status = kExitSomeNotResized;
    }
    return (status == kExitAllResized && !settingsKept) ? kExitSomeNotResized : status;
}

// --delete-preset and --list-presets, which take no files; returns the exit status.
int presetCommand(const CliOptions& options) {
    const std::string folder = Pixmill::defaultSettingsFolder();
    std::string why;
    if (options.deletePreset && !deletePreset(folder, *options.deletePreset, why)) return startError(why);
    if (!why.empty()) fprintf(stderr, "pixmill-cli: %s\n", why.c_str());
    if (!options.listPresets) return kExitAllResized;
    std::vector<Preset> presets;
    if (!readPresets(folder, presets, why)) {
        fprintf(stderr, "pixmill-cli: %s\n", why.c_str());
        return kExitSomeNotResized;
    }
    for (const std::string& name : presetNames(folder)) printf("%s\n", name.c_str());
    return kExitAllResized;
}

// --preset and --save-preset around the options; "" or a message for people.
std::string applyPresetAndOptions(const CliOptions& options, Pixmill& engine) {
    std::string why;
    if (options.preset && !applyPreset(engine, *options.preset, why)) return why;
    applyCliOptions(options, engine);
    return checkEffectiveSettings(engine, options);
}

}  // namespace

int main(int argc, char** argv) {
    // The PNG decoder's own lines would land between the report's lines on standard output; what
    // they say reaches the user as the failed file's cause.
    kpPngMessage = [](const char*) {};
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
    if (options.listPresets || options.deletePreset) return presetCommand(options);
    const bool givesFiles = !options.paths.empty() || !options.filesFrom.empty() || options.watchFolder;
    if (!givesFiles && !options.saveSettings && !options.showSettings && !options.savePreset)
        return usageError("no FILE given");
    error = watchUsageError(options);
    if (!error.empty()) return usageError(error);
    std::vector<std::string> paths;
    if (!allPaths(options, paths, error)) return startError(error);

    installInterruptHandlers();
    // The engine makes its settings folder when it starts; a dry run leaves none behind.
    const std::vector<std::string> madeForSettings =
        options.dryRun ? missingFolders(Pixmill::defaultSettingsFolder()) : std::vector<std::string>();
    pxm = new Pixmill();
    error = applyPresetAndOptions(options, *pxm);
    if (error.empty() && options.watchFolder) error = watchSettingsError(*pxm, *options.watchFolder);
    if (!error.empty()) {
        closeEngine(false);
        return usageError(error);
    }
    if (options.savePreset) {
        if (!savePreset(*pxm, *options.savePreset, error)) {
            closeEngine(false);
            return startError(error);
        }
        if (!error.empty()) fprintf(stderr, "pixmill-cli: %s\n", error.c_str());
    }
    if (options.showSettings) fputs(describeSettings(*pxm).c_str(), stdout);
    if (options.showSettings || !givesFiles) {
        return closeEngine(options.saveSettings) ? kExitAllResized : kExitSomeNotResized;
    }
    const int status = resizeAll(options, paths);
    for (const std::string& folder : madeForSettings) rmdir(folder.c_str());
    return status;
}
