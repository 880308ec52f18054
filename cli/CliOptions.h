// SPDX-License-Identifier: MIT
// Command-line options of pixmill-cli: parsing, checking, and laying them over the loaded settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Pixmill;

struct CliOptions {
    // Setting overrides for this run; an unset one keeps the value from config.xml.
    std::optional<std::string> resolution;
    std::optional<std::string> outputFileType;
    // Several outputs from one decode: the sizes and types given after the first -s and -t; they
    // replace the stored further sizes (types) when -s (-t) is given.
    std::vector<std::string> moreSizes, moreTypes;
    std::optional<std::string> outputFileName;
    std::optional<std::string> outputSubFolder;
    std::optional<std::string> outputFixedFolder;
    std::optional<int32_t> jpegQuality;
    std::optional<int32_t> webpQuality;
    std::optional<int32_t> avifQuality;
    std::optional<int32_t> jxlQuality;
    std::optional<int32_t> cropMode;
    std::optional<int32_t> resizeQuality;
    std::optional<int32_t> overwrite;
    std::optional<int32_t> rotate;
    std::optional<int32_t> destination;
    std::optional<bool> copyExif;
    // The output settings given (engine/OutputSettings.h): name and word, in the order given.
    std::vector<std::pair<std::string, std::string>> outputSettings;
    std::optional<bool> fastDraft;  // --fast

    int32_t jobs = 0;                     // 0: one worker per core
    std::optional<uint64_t> memoryLimit;  // bytes
    bool recursive = false;
    std::vector<std::string> filesFrom;  // lists of paths; "-" is standard input
    bool nullSeparated = false;
    uint32_t shardIndex = 1;  // --shard K/N
    uint32_t shardCount = 1;
    bool keepStructure = false;
    std::optional<std::string> report;  // "-" is standard output
    bool dryRun = false;
    bool quiet = false;
    bool skipExisting = false;
    bool saveSettings = false;
    bool showSettings = false;
    bool help = false;
    // Presets (engine/Presets.h). The preset is laid over config.xml first and every other option
    // over it, wherever it stands on the command line.
    std::optional<std::string> preset;
    std::optional<std::string> savePreset;    // stored before the files are resized
    std::optional<std::string> deletePreset;  // with --list-presets, runs on its own and stops
    bool listPresets = false;
    bool version = false;
    // --watch FOLDER: resize what lands in the folder until interrupted (cli/Watch.h).
    std::optional<std::string> watchFolder;
    std::vector<std::string> paths;
};

// Fills options from argv. On a usage error returns false and sets error to a message that names
// the option and the values it accepts; nothing has been touched then.
bool parseCliOptions(int argc, const char* const* argv, CliOptions& options, std::string& error);

// Writes the overrides into the engine's settings.
void applyCliOptions(const CliOptions& options, Pixmill& engine);

// A usage error left by the combination of the loaded settings and the options, or "".
std::string checkEffectiveSettings(const Pixmill& engine, const CliOptions& options);

// A size in bytes: digits, optionally followed by K, M, G or T (any case; powers of 1024).
// False for zero, overflow and anything else.
bool parseByteSize(const std::string& text, uint64_t& bytes);

// The settings as the settings file names them, one "name: value" line each.
std::string describeSettings(const Pixmill& engine);

std::string cliHelpText();
