// SPDX-License-Identifier: MIT
// Command-line options of pixmill-cli: the option table, value checks and the help text.
#include "cli/CliOptions.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/Pixmill.h"
#include "engine/OutputSettings.h"
#include "engine/Presets.h"
#include "engine/Settings.h"
#include "tools/modTools.h"

namespace {

enum class Opt {
    Resolution,
    Type,
    Rotate,
    Crop,
    Overwrite,
    Destination,
    SubFolder,
    FixedFolder,
    Output,
    Name,
    Quality,
    WebpQuality,
    AvifQuality,
    JxlQuality,
    ResizeQuality,
    CopyExif,
    Fast,
    Jobs,
    MemoryLimit,
    Recursive,
    FilesFrom,
    Null,
    Shard,
    KeepStructure,
    Report,
    DryRun,
    Quiet,
    SkipExisting,
    SaveSettings,
    ShowSettings,
    Help,
    Version,
    // Output settings (engine/OutputSettings.h), set by their settings-file names.
    Metadata,
    Colour,
    Sharpen,
    Linear,
    NoEnlarge,
    KeepDates,
    Progressive,
    MaxBytes,
    // Presets.
    Preset,
    SavePreset,
    ListPresets,
    DeletePreset,
    // The watched folder (cli/Watch.h).
    Watch
};

struct OptionInfo {
    Opt id;
    const char* longName;
    char shortName;  // 0: none
    bool takesValue;
};

const OptionInfo kOptions[] = {
    {Opt::Resolution, "resolution", 's', true},
    {Opt::Type, "type", 't', true},
    {Opt::Rotate, "rotate", 0, true},
    {Opt::Crop, "crop", 'c', true},
    {Opt::Overwrite, "overwrite", 0, true},
    {Opt::Destination, "destination", 'd', true},
    {Opt::SubFolder, "sub-folder", 0, true},
    {Opt::FixedFolder, "fixed-folder", 0, true},
    {Opt::Output, "output", 'o', true},
    {Opt::Name, "name", 'n', true},
    {Opt::Quality, "jpeg-quality", 'q', true},
    {Opt::WebpQuality, "webp-quality", 0, true},
    {Opt::AvifQuality, "avif-quality", 0, true},
    {Opt::JxlQuality, "jxl-quality", 0, true},
    {Opt::ResizeQuality, "resize-quality", 0, true},
    {Opt::CopyExif, "copy-exif", 0, true},
    {Opt::Fast, "fast", 0, false},
    {Opt::Jobs, "jobs", 'j', true},
    {Opt::MemoryLimit, "memory-limit", 0, true},
    {Opt::Recursive, "recursive", 'r', false},
    {Opt::FilesFrom, "files-from", 0, true},
    {Opt::Null, "null", '0', false},
    {Opt::Shard, "shard", 0, true},
    {Opt::KeepStructure, "keep-structure", 0, false},
    {Opt::Report, "report", 0, true},
    {Opt::DryRun, "dry-run", 0, false},
    {Opt::Quiet, "quiet", 0, false},
    {Opt::SkipExisting, "skip-existing", 0, false},
    {Opt::SaveSettings, "save-settings", 0, false},
    {Opt::ShowSettings, "show-settings", 0, false},
    {Opt::Help, "help", 'h', false},
    {Opt::Version, "version", 'V', false},
    {Opt::Metadata, "metadata", 0, true},
    {Opt::Colour, "colour", 0, true},
    {Opt::Sharpen, "sharpen", 0, true},
    {Opt::Linear, "linear", 0, false},
    {Opt::NoEnlarge, "no-enlarge", 0, false},
    {Opt::KeepDates, "keep-dates", 0, false},
    {Opt::Progressive, "progressive", 0, false},
    {Opt::MaxBytes, "max-bytes", 0, true},
    {Opt::Preset, "preset", 0, true},
    {Opt::SavePreset, "save-preset", 0, true},
    {Opt::ListPresets, "list-presets", 0, false},
    {Opt::DeletePreset, "delete-preset", 0, true},
    // The watched folder (cli/Watch.h).
    {Opt::Watch, "watch", 0, true},
};

// The settings file's words, in code order.
const std::vector<std::string> kRotationWords = {"none", "exif", "landscape", "landscapeccw", "portrait"};
const std::vector<std::string> kCropWords = {"nocrop", "crop", "stretch"};
const std::vector<std::string> kOverwriteWords = {"no", "yes"};
const std::vector<std::string> kDestinationWords = {"samefolder", "subfolder", "fixedfolder"};
const std::vector<std::string> kResizeQualityWords = {"basic", "high", "best", "nearest"};
const std::vector<std::string> kMetadataOptionWords(kMetadataWords, kMetadataWords + 3);
const std::vector<std::string> kColourOptionWords(kColourWords, kColourWords + 2);
const std::vector<std::string> kSharpenOptionWords(kSharpenWords, kSharpenWords + 4);
const std::vector<std::string> kTypeWords = {"jpg", "bmp", "png", "webp", "avif", "jxl", "tif", "same"};
const std::vector<std::string> kBoolWords = {"false", "true"};

std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : ", ") + word;
    return out;
}

std::string optionName(const OptionInfo& option) {
    return std::string("--") + option.longName;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The code of value in words (any letter case, like the settings file), or -1.
int32_t codeOfWord(const std::vector<std::string>& words, const std::string& value) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (strIsEqualCI(value, words[i])) return static_cast<int32_t>(i);
    }
    return -1;
}

bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A whole decimal number in [low, high], or -1. Nine digits at most keeps it inside 32 bits.
int32_t boundedNumber(const std::string& text, int32_t low, int32_t high) {
    if (!allDigits(text) || text.size() > 9) return -1;
    const int32_t value = static_cast<int32_t>(std::stol(text));
    return (value >= low && value <= high) ? value : -1;
}

// "WIDTHxHEIGHT" with both sides positive (blanks around them allowed, as the engine trims them),
// "N" (the long edge), "Wx" or "xH" (one side), or a positive percentage such as "50%" or "12.5%".
bool isResolutionText(const std::string& text) {
    if (isRight(text, "%")) {
        const std::string number = text.substr(0, text.size() - 1);
        const size_t dot = number.find('.');
        const std::string whole = number.substr(0, dot);
        const std::string fraction = dot == std::string::npos ? "0" : number.substr(dot + 1);
        return allDigits(whole) && allDigits(fraction) && whole.size() <= 9 && strToDbl(number) > 0;
    }
    const size_t x = text.find('x');
    if (x == std::string::npos) return boundedNumber(strtrim(text), 1, 999999999) > 0;
    const std::string width = strtrim(text.substr(0, x)), height = strtrim(text.substr(x + 1));
    if (width.empty() || height.empty()) return boundedNumber(width + height, 1, 999999999) > 0;
    return boundedNumber(width, 1, 999999999) > 0 && boundedNumber(height, 1, 999999999) > 0;
}

std::string currentFolder() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// Folders are stored absolute so that the output place does not depend on where a later run starts,
// and without a trailing "/": intake joins the folder and the name with one.
std::string absoluteFolder(const std::string& given) {
    std::string folder = given;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder[0] == '/') return folder;
    std::string base = currentFolder();
    std::string rest = folder;
    while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
    if (rest == ".") rest.clear();
    return rest.empty() ? base : base + "/" + rest;
}

// The flags that are stored settings, which "--FLAG=false" turns off again ("--FLAG=true" is
// "--FLAG").
bool isSwitch(Opt id) {
    return id == Opt::Linear || id == Opt::NoEnlarge || id == Opt::KeepDates || id == Opt::Progressive ||
           id == Opt::Fast;
}

class Parser {
  public:
    Parser(CliOptions& out, std::string& err) : options(out), error(err) {}

    bool run(int argc, const char* const* argv);

  private:
    CliOptions& options;
    std::string& error;

    bool fail(const std::string& text) {
        error = text;
        return false;
    }
    bool longOption(const std::string& arg, int argc, const char* const* argv, int& i);
    bool shortOptions(const std::string& arg, int argc, const char* const* argv, int& i);
    bool takeWord(const OptionInfo& option, const std::vector<std::string>& words, const std::string& value,
                  std::optional<int32_t>& field);
    bool takeNumber(const OptionInfo& option, const std::string& value, int32_t low, int32_t high,
                    int32_t& field);
    bool takeQuality(const OptionInfo& option, const std::string& value);
    bool apply(const OptionInfo& option, const std::string& value);
    bool applyText(const OptionInfo& option, const std::string& value);
    bool applyRun(const OptionInfo& option, const std::string& value);
    bool takeShard(const OptionInfo& option, const std::string& value);
    bool takePresetName(const OptionInfo& option, const std::string& value);
    bool applyFlag(const OptionInfo& option);
    bool applyOutputSetting(const OptionInfo& option, const std::string& value);
    bool applySwitch(const OptionInfo& option, const std::string& value);
    bool checkCombination();
    bool checkWatchCombination();
};

bool Parser::run(int argc, const char* const* argv) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            options.paths.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.rfind("--", 0) == 0) {
            if (!longOption(arg, argc, argv, i)) return false;
        } else if (!shortOptions(arg, argc, argv, i)) {
            return false;
        }
    }
    return checkCombination();
}

// Combinations that the options alone rule out.
bool Parser::checkCombination() {
    if (options.dryRun && options.report && *options.report != "-")
        return fail("--dry-run writes no file: give --report - (standard output) or no --report");
    if (options.dryRun && options.saveSettings)
        return fail("--dry-run writes no file: leave --save-settings out");
    if (options.nullSeparated && options.filesFrom.empty()) return fail("--null needs --files-from FILE");
    if (options.dryRun && options.savePreset) return fail("--dry-run writes no file: leave --save-preset out");
    // Listing and deleting presets are commands of their own.
    const bool presetCommand = options.listPresets || options.deletePreset;
    if (presetCommand && (!options.paths.empty() || !options.filesFrom.empty() || options.preset ||
                          options.savePreset || options.saveSettings || options.dryRun || options.watchFolder))
        return fail("--list-presets and --delete-preset take no FILE and no other preset or settings option");
    return checkWatchCombination();
}

// --watch takes the files that land in its folder, and only those.
bool Parser::checkWatchCombination() {
    if (!options.watchFolder) return true;
    if (!options.paths.empty() || !options.filesFrom.empty())
        return fail("--watch takes the files that land in its folder: give no FILE and no --files-from");
    if (options.recursive) return fail("--watch watches one folder, not the folders inside it: leave -r out");
    if (options.dryRun) return fail("--watch resizes the files as they land: it cannot go with --dry-run");
    if (options.shardCount > 1) return fail("--watch takes every file of its folder: it cannot go with --shard");
    return true;
}

bool Parser::longOption(const std::string& arg, int argc, const char* const* argv, int& i) {
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    for (const OptionInfo& option : kOptions) {
        if (name != option.longName) continue;
        if (!option.takesValue) {
            if (equals != std::string::npos && isSwitch(option.id))
                return applySwitch(option, arg.substr(equals + 1));
            if (equals != std::string::npos) return fail(optionName(option) + " takes no value");
            return apply(option, std::string());
        }
        if (equals != std::string::npos) return apply(option, arg.substr(equals + 1));
        if (i + 1 >= argc) return fail(optionName(option) + " needs a value");
        return apply(option, argv[++i]);
    }
    return fail("unknown option --" + name);
}

// A cluster such as "-rj2" or "-r -j 2": flags first, a value option takes the rest or the next word.
bool Parser::shortOptions(const std::string& arg, int argc, const char* const* argv, int& i) {
    for (size_t k = 1; k < arg.size(); ++k) {
        const OptionInfo* found = nullptr;
        for (const OptionInfo& option : kOptions) {
            if (option.shortName == arg[k]) found = &option;
        }
        if (!found) return fail(std::string("unknown option -") + arg[k]);
        if (!found->takesValue) {
            if (!apply(*found, std::string())) return false;
            continue;
        }
        if (k + 1 < arg.size()) return apply(*found, arg.substr(k + 1));
        if (i + 1 >= argc) return fail(optionName(*found) + " needs a value");
        return apply(*found, argv[++i]);
    }
    return true;
}

bool Parser::takeWord(const OptionInfo& option, const std::vector<std::string>& words,
                      const std::string& value, std::optional<int32_t>& field) {
    const int32_t code = codeOfWord(words, value);
    if (code < 0)
        return fail(optionName(option) + ": " + quoted(value) + " is not one of: " + joinWords(words));
    field = code;
    return true;
}

bool Parser::takeNumber(const OptionInfo& option, const std::string& value, int32_t low, int32_t high,
                        int32_t& field) {
    const int32_t number = boundedNumber(value, low, high);
    if (number < 0) {
        return fail(optionName(option) + ": " + quoted(value) + " is not a whole number from " +
                    intToStr(low) + " to " + intToStr(high));
    }
    field = number;
    return true;
}

bool Parser::apply(const OptionInfo& option, const std::string& value) {
    std::optional<int32_t> code;
    switch (option.id) {
        case Opt::Resolution:
            if (!isResolutionText(value)) {
                return fail(optionName(option) + ": " + quoted(value) +
                            " is not WIDTHxHEIGHT (1024x768), a long edge (2048), a width (800x), a height (x600)"
                            " or a percentage (50%)");
            }
            // Given again: one more size of every output.
            if (options.resolution)
                options.moreSizes.push_back(value);
            else
                options.resolution = value;
            return true;
        case Opt::Type:
            if (!takeWord(option, kTypeWords, value, code)) return false;
            if (options.outputFileType)
                options.moreTypes.push_back(kTypeWords[*code]);
            else
                options.outputFileType = kTypeWords[*code];
            return true;
        case Opt::Rotate:
            return takeWord(option, kRotationWords, value, options.rotate);
        case Opt::Crop:
            return takeWord(option, kCropWords, value, options.cropMode);
        case Opt::Overwrite:
            return takeWord(option, kOverwriteWords, value, options.overwrite);
        case Opt::Destination:
            return takeWord(option, kDestinationWords, value, options.destination);
        case Opt::ResizeQuality:
            return takeWord(option, kResizeQualityWords, value, options.resizeQuality);
        case Opt::CopyExif:
            if (!takeWord(option, kBoolWords, value, code)) return false;
            options.copyExif = *code == 1;
            options.outputSettings.emplace_back("metadata", kMetadataWords[*code == 1 ? 0 : 2]);
            return true;
        case Opt::Quality: {
            int32_t quality = 0;
            if (!takeNumber(option, value, 1, 100, quality)) return false;
            options.jpegQuality = quality;
            return true;
        }
        case Opt::WebpQuality:
        case Opt::AvifQuality:
        case Opt::JxlQuality:
            return takeQuality(option, value);
        case Opt::Jobs:
            return takeNumber(option, value, 1, 1024, options.jobs);
        case Opt::Metadata:
        case Opt::Colour:
        case Opt::Sharpen:
        case Opt::MaxBytes:
            return applyOutputSetting(option, value);
        default:
            return applyText(option, value);
    }
}

// The quality of one of the other lossy output types.
bool Parser::takeQuality(const OptionInfo& option, const std::string& value) {
    int32_t quality = 0;
    if (!takeNumber(option, value, 1, 100, quality)) return false;
    if (option.id == Opt::WebpQuality) options.webpQuality = quality;
    if (option.id == Opt::AvifQuality) options.avifQuality = quality;
    if (option.id == Opt::JxlQuality) options.jxlQuality = quality;
    return true;
}

bool Parser::takeShard(const OptionInfo& option, const std::string& value) {
    const size_t slash = value.find('/');
    const int32_t count =
        slash == std::string::npos ? -1 : boundedNumber(value.substr(slash + 1), 1, 999999999);
    const int32_t index = count < 0 ? -1 : boundedNumber(value.substr(0, slash), 1, count);
    if (index < 0) return fail(optionName(option) + ": " + quoted(value) + " is not K/N with K from 1 to N");
    options.shardIndex = static_cast<uint32_t>(index);
    options.shardCount = static_cast<uint32_t>(count);
    return true;
}

bool Parser::takePresetName(const OptionInfo& option, const std::string& value) {
    const std::string problem = presetNameProblem(value);
    if (!problem.empty()) return fail(optionName(option) + ": " + problem);
    std::optional<std::string>& field = option.id == Opt::Preset       ? options.preset
                                        : option.id == Opt::SavePreset ? options.savePreset
                                                                       : options.deletePreset;
    if (field) return fail(optionName(option) + " can be given once");
    field = value;
    return true;
}

bool Parser::applyRun(const OptionInfo& option, const std::string& value) {
    switch (option.id) {
        case Opt::MemoryLimit: {
            uint64_t bytes = 0;
            if (!parseByteSize(value, bytes)) {
                return fail(optionName(option) + ": " + quoted(value) +
                            " is not a size above 0: bytes, or a number with K, M, G or T (512M, 4G)");
            }
            options.memoryLimit = bytes;
            return true;
        }
        case Opt::FilesFrom:
            if (value.empty()) return fail(optionName(option) + " needs a file (\"-\": standard input)");
            options.filesFrom.push_back(value);
            return true;
        case Opt::Shard:
            return takeShard(option, value);
        case Opt::Preset:
        case Opt::SavePreset:
        case Opt::DeletePreset:
            return takePresetName(option, value);
        case Opt::Report:
            if (value.empty()) return fail(optionName(option) + " needs a file (\"-\": standard output)");
            options.report = value;
            return true;
        default:
            return applyFlag(option);
    }
}

bool Parser::applyText(const OptionInfo& option, const std::string& value) {
    switch (option.id) {
        case Opt::SubFolder:
            // One level: intake creates only the last folder, and the recursive walk skips it by name.
            if (value.find('/') != std::string::npos) {
                return fail(optionName(option) + ": " + quoted(value) +
                            " is not a plain folder name (no \"/\")");
            }
            options.outputSubFolder = value;
            return true;
        case Opt::FixedFolder:
        case Opt::Output:
            if (value.empty()) return fail(optionName(option) + " needs a folder");
            options.outputFixedFolder = absoluteFolder(value);
            if (option.id == Opt::Output) options.destination = Destination::FixedFolder;
            return true;
        case Opt::Name:
            if (value.empty()) return fail(optionName(option) + " needs a template (as %SRC%_%DSTX%x%DSTY%)");
            if (value.find('/') != std::string::npos) {
                return fail(optionName(option) + ": " + quoted(value) +
                            " is a file name, not a path (no \"/\")");
            }
            options.outputFileName = value;
            return true;
        case Opt::Watch:
            if (value.empty()) return fail(optionName(option) + " needs a folder");
            options.watchFolder = value;
            return true;
        default:
            return applyRun(option, value);
    }
}

// The output settings, kept by their settings-file names and laid over the engine's in order.
bool Parser::applyOutputSetting(const OptionInfo& option, const std::string& value) {
    std::optional<int32_t> code;
    switch (option.id) {
        case Opt::Metadata:
            if (!takeWord(option, kMetadataOptionWords, value, code)) return false;
            options.outputSettings.emplace_back("metadata", kMetadataOptionWords[*code]);
            return true;
        case Opt::Colour:
            if (!takeWord(option, kColourOptionWords, value, code)) return false;
            options.outputSettings.emplace_back("colour", kColourOptionWords[*code]);
            return true;
        case Opt::Sharpen:
            if (!takeWord(option, kSharpenOptionWords, value, code)) return false;
            options.outputSettings.emplace_back("sharpen", kSharpenOptionWords[*code]);
            return true;
        case Opt::MaxBytes: {
            uint64_t bytes = 0;
            if (!parseByteSize(value, bytes) || bytes > (uint64_t(1) << 40))
                return fail(optionName(option) + ": " + quoted(value) +
                            " is not a file size above 0: bytes, or a number with K or M (500K, 2M)");
            options.outputSettings.emplace_back("maxbytes", std::to_string(bytes));
            return true;
        }
        case Opt::Linear:
            options.outputSettings.emplace_back("linear", "true");
            return true;
        case Opt::NoEnlarge:
            options.outputSettings.emplace_back("noenlarge", "true");
            return true;
        case Opt::KeepDates:
            options.outputSettings.emplace_back("keepdates", "true");
            return true;
        case Opt::Progressive:
            options.outputSettings.emplace_back("progressive", "true");
            return true;
        default:
            return fail("unhandled option " + optionName(option));
    }
}

bool Parser::applySwitch(const OptionInfo& option, const std::string& value) {
    std::optional<int32_t> code;
    if (!takeWord(option, kBoolWords, value, code)) return false;
    if (option.id == Opt::Fast) {
        options.fastDraft = *code == 1;
        return true;
    }
    std::string name = option.longName;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    options.outputSettings.emplace_back(name, kBoolWords[*code]);
    return true;
}

bool Parser::applyFlag(const OptionInfo& option) {
    switch (option.id) {
        case Opt::Recursive:
            options.recursive = true;
            return true;
        case Opt::Null:
            options.nullSeparated = true;
            return true;
        case Opt::KeepStructure:
            options.keepStructure = true;
            return true;
        case Opt::DryRun:
            options.dryRun = true;
            return true;
        case Opt::Quiet:
            options.quiet = true;
            return true;
        case Opt::SkipExisting:
            options.skipExisting = true;
            return true;
        case Opt::Fast:
            options.fastDraft = true;
            return true;
        case Opt::SaveSettings:
            options.saveSettings = true;
            return true;
        case Opt::ShowSettings:
            options.showSettings = true;
            return true;
        case Opt::ListPresets:
            options.listPresets = true;
            return true;
        case Opt::Help:
            options.help = true;
            return true;
        case Opt::Version:
            options.version = true;
            return true;
        default:
            return applyOutputSetting(option, std::string());
    }
}

template <class T, class Field>
void setIf(const std::optional<T>& value, Field& field) {
    if (value) field = *value;
}

// The word of code in words, or the code itself when it is outside the table.
std::string wordOf(const std::vector<std::string>& words, int32_t code) {
    return (code >= 0 && static_cast<size_t>(code) < words.size()) ? words[code] : intToStr(code);
}

}  // namespace

bool parseCliOptions(int argc, const char* const* argv, CliOptions& options, std::string& error) {
    return Parser(options, error).run(argc, argv);
}

bool parseByteSize(const std::string& text, uint64_t& bytes) {
    static const char kUnits[] = "kmgt";
    std::string digits = text;
    int shift = 0;
    if (!digits.empty()) {
        const char* unit = std::strchr(kUnits, std::tolower(static_cast<unsigned char>(digits.back())));
        if (unit && *unit) {
            shift = 10 * static_cast<int>(unit - kUnits + 1);
            digits.pop_back();
        }
    }
    // Nineteen digits stay below 2^64; the shift must not push bits out.
    if (!allDigits(digits) || digits.size() > 19) return false;
    const uint64_t value = std::stoull(digits);
    if (value == 0 || value > (UINT64_MAX >> shift)) return false;
    bytes = value << shift;
    return true;
}

void applyCliOptions(const CliOptions& options, Pixmill& engine) {
    setIf(options.resolution, engine.resolution);
    setIf(options.outputFileType, engine.outputFileType);
    if (options.resolution) engine.moreSizes = options.moreSizes;
    if (options.outputFileType) engine.moreTypes = options.moreTypes;
    setIf(options.outputFileName, engine.outputFileName);
    setIf(options.outputSubFolder, engine.outputSubFolder);
    setIf(options.outputFixedFolder, engine.outputFixedFolder);
    setIf(options.jpegQuality, engine.jpegQuality);
    setIf(options.webpQuality, engine.webpQuality);
    setIf(options.avifQuality, engine.avifQuality);
    setIf(options.jxlQuality, engine.jxlQuality);
    setIf(options.cropMode, engine.cropMode);
    setIf(options.resizeQuality, engine.resizeQuality);
    setIf(options.overwrite, engine.overwrite);
    setIf(options.rotate, engine.rotate);
    setIf(options.destination, engine.destination);
    setIf(options.copyExif, engine.copyExif);
    for (const auto& [name, word] : options.outputSettings) {
        engine.output.set(name, word);
        if (name == "metadata") engine.setMetadata(engine.output.metadata);
    }
    setIf(options.fastDraft, engine.fastDraft);
    engine.maxWorkers = options.jobs;
    if (options.memoryLimit) engine.memoryLimit = *options.memoryLimit;
    engine.skipExisting = options.skipExisting;
}

std::string checkEffectiveSettings(const Pixmill& engine, const CliOptions& options) {
    // An empty fixed folder would put every output at the root of the file system.
    if (engine.destination == Destination::FixedFolder && engine.outputFixedFolder.empty()) {
        return "--destination fixedfolder needs a folder: give --fixed-folder FOLDER (or -o FOLDER)";
    }
    if (options.keepStructure && engine.destination != Destination::FixedFolder)
        return "--keep-structure mirrors the source folders in a fixed folder: give -o FOLDER";
    // The limit lowers a lossy type's quality; other types have none to lower.
    if (engine.output.maxBytes > 0) {
        std::vector<std::string> types{engine.outputFileType};
        types.insert(types.end(), engine.moreTypes.begin(), engine.moreTypes.end());
        for (const std::string& given : types) {
            bool lossy = false;
            for (const char* type : {"jpg", "jpeg", "webp", "avif", "jxl"})
                lossy = lossy || strIsEqualCI(given, type);
            if (!lossy)
                return "--max-bytes limits JPEG, WebP, AVIF and JPEG XL files: it cannot go with --type " +
                       given;
        }
    }
    // Two outputs of one source must not take the same name.
    const std::string clash = engine.outputNameClash();
    if (!clash.empty()) return "-n: " + clash + " (several -s sizes)";
    if (options.skipExisting && engine.overwrite == OverwriteMode::Yes)
        return "--skip-existing keeps the outputs that exist: it cannot go with --overwrite yes";
    return std::string();
}

std::string describeSettings(const Pixmill& engine) {
    std::string text;
    auto line = [&text](const char* name, const std::string& value) {
        text += std::string(name) + ": " + value + "\n";
    };
    line("settings file", engine.settingsFolder + "/config.xml");
    line("resolution", engine.resolution);
    line("type", engine.outputFileType);
    // Several outputs from one decode: the sizes and types beside the first, when there are any.
    for (const std::string& size : engine.moreSizes) line("resolution", size);
    for (const std::string& type : engine.moreTypes) line("type", type);
    line("rotate", wordOf(kRotationWords, engine.rotate));
    line("crop", wordOf(kCropWords, engine.cropMode));
    line("overwrite", wordOf(kOverwriteWords, engine.overwrite));
    line("destination", wordOf(kDestinationWords, engine.destination));
    line("sub-folder", engine.outputSubFolder);
    line("fixed-folder", engine.outputFixedFolder);
    line("name", engine.outputFileName);
    line("jpeg-quality", intToStr(static_cast<int32_t>(engine.jpegQuality)));
    line("webp-quality", intToStr(static_cast<int32_t>(engine.webpQuality)));
    line("avif-quality", intToStr(static_cast<int32_t>(engine.avifQuality)));
    line("jxl-quality", intToStr(static_cast<int32_t>(engine.jxlQuality)));
    line("resize-quality", wordOf(kResizeQualityWords, engine.resizeQuality));
    line("copy-exif", boolToStr(engine.copyExif));
    line("metadata", wordOf(kMetadataOptionWords, engine.metadataMode()));
    line("colour", engine.output.word("colour"));
    line("sharpen", engine.output.word("sharpen"));
    line("linear", engine.output.word("linear"));
    line("no-enlarge", engine.output.word("noenlarge"));
    line("keep-dates", engine.output.word("keepdates"));
    line("progressive", engine.output.word("progressive"));
    line("max-bytes", engine.output.maxBytes ? engine.output.word("maxbytes") : std::string("none"));
    line("fast", boolToStr(engine.fastDraft));
    return text;
}

std::string cliHelpText() {
    return "Usage: pixmill-cli [OPTION]... FILE...\n"
           "   or: pixmill-cli [OPTION]... --files-from LIST [FILE]...\n"
           "   or: pixmill-cli [OPTION]... --watch FOLDER\n"
           "Resize image files (JPEG, PNG, GIF, BMP, HEIC/HEIF, AVIF, WebP, TIFF, JPEG XL) with the\n"
           "settings of the Pixmill window (config.xml).\n"
           "Options change the settings for this run only; --save-settings keeps them.\n"
           "\n"
           "Settings (words as in config.xml):\n"
           "  -s, --resolution SIZE      target box WIDTHxHEIGHT (1024x768), the long edge (2048),\n"
           "                             a width (800x), a height (x600) or a percentage (50%)\n"
           "  -t, --type WORD            " +
           joinWords(kTypeWords) +
           "\n"
           "                             output type; same: each file keeps its own type,\n"
           "                             but GIF becomes PNG and HEIC/HEIF becomes JPEG\n"
           "                             -s and -t given several times: each file is decoded\n"
           "                             once and written at every size in every type (the\n"
           "                             name needs %DSTX% and %DSTY% to tell the sizes apart)\n"
           "      --rotate WORD          " +
           joinWords(kRotationWords) +
           "\n"
           "  -c, --crop WORD            " +
           joinWords(kCropWords) +
           "\n"
           "      --overwrite WORD       " +
           joinWords(kOverwriteWords) +
           "\n"
           "  -d, --destination WORD     " +
           joinWords(kDestinationWords) +
           "\n"
           "      --sub-folder NAME      folder beside each source used by subfolder (\"resized\")\n"
           "      --fixed-folder FOLDER  folder used by fixedfolder (made when missing)\n"
           "  -o, --output FOLDER        same as --destination fixedfolder --fixed-folder FOLDER\n"
           "  -n, --name TEMPLATE        output name; %SRC% %DSTX% %DSTY% %N% %N2%..%N6%\n"
           "  -q, --jpeg-quality N       JPEG quality, 1 to 100\n"
           "      --webp-quality N       WebP quality, 1 to 100 (100: lossless)\n"
           "      --avif-quality N       AVIF quality, 1 to 100\n"
           "      --jxl-quality N        JPEG XL quality, 1 to 100 (100: lossless)\n"
           "      --resize-quality WORD  " +
           joinWords(kResizeQualityWords) +
           "\n"
           "      --copy-exif WORD       " +
           joinWords(kBoolWords) +
           ": the same as --metadata all and none\n"
           "      --metadata WORD        " +
           joinWords(kMetadataOptionWords) +
           ": EXIF, XMP and IPTC carried\n"
           "                             whole, without any place (GPS and location fields), or not\n"
           "      --colour WORD          " +
           joinWords(kColourOptionWords) +
           ": keep the colour profile, or convert\n"
           "                             the pixels to sRGB and write no profile\n"
           "      --sharpen WORD         " +
           joinWords(kSharpenOptionWords) +
           ": unsharp mask after resizing\n"
           "      --linear               resample in linear light\n"
           "      --no-enlarge           a picture already inside the size keeps its own size\n"
           "      --keep-dates           give each output its source's modification time\n"
           "      --progressive          write progressive JPEG\n"
           "                             (--linear=false, --no-enlarge=false, --keep-dates=false,\n"
           "                             --progressive=false and --fast=false turn them off)\n"
           "      --max-bytes SIZE       JPEG files of at most SIZE (500K, 2M): the highest\n"
           "                             quality up to -q that fits\n"
           "      --fast                 draft decoding: JPEG decoded at a reduced scale that\n"
           "                             leaves 1.5 times the target size (faster, not exact)\n"
           "\n"
           "Files:\n"
           "  -r, --recursive            take the images inside folders, in name order,\n"
           "                             skipping the sub folder that holds earlier outputs\n"
           "      --files-from FILE      also take the paths listed in FILE, one a line (\"-\":\n"
           "                             standard input); relative ones from the current folder\n"
           "  -0, --null                 the list's paths end with NUL, as find -print0 writes\n"
           "      --shard K/N            take only part K (1 to N) of the paths, chosen by a\n"
           "                             stable hash of each path's bytes as given (repeated \"/\"\n"
           "                             and \"./\" left out), so N runs over one list share it\n"
           "      --keep-structure       with a fixed folder, put each output in the source's\n"
           "                             folder below the folder given with -r (or below the\n"
           "                             current folder; a path outside it is refused)\n"
           "      --skip-existing        an output that exists already is skipped, not failed\n"
           "                             (to resume a batch; needs --overwrite no); a file\n"
           "                             whose outputs all exist is not decoded at all\n"
           "\n"
           "Presets (named settings in presets.xml beside config.xml, shared with the window):\n"
           "      --preset NAME          start from the preset's output settings; every other\n"
           "                             option, before or after it, changes them for this run\n"
           "      --save-preset NAME     store the output settings this run uses as preset NAME\n"
           "                             (replacing a preset of that name); FILE may be left out\n"
           "      --list-presets         print the presets' names, one a line, and stop\n"
           "      --delete-preset NAME   delete the preset NAME and stop\n"
           "      --watch FOLDER         resize each image that lands in FOLDER (written and\n"
           "                             closed, or moved in) until Ctrl-C; first the images\n"
           "                             there whose outputs do not exist (Linux, inotify)\n"
           "\n"
           "Running:\n"
           "  -j, --jobs N               at most N files at once (default: one per core)\n"
           "      --memory-limit SIZE    memory the running files' pictures may hold at once:\n"
           "                             bytes, or with K, M, G or T (512M, 4G; default: half\n"
           "                             the physical memory)\n"
           "      --dry-run              print each path's output path or refusal, counters\n"
           "                             included; create and write nothing\n"
           "      --quiet                print only problems and the summary\n"
           "      --report FILE          write a JSON line for each path as it ends, then one\n"
           "                             with the counts (\"-\": standard output); bytes of a\n"
           "                             name that are not UTF-8 become \\udc80..\\udcff, one\n"
           "                             each, as Python's surrogateescape reads them back\n"
           "      --save-settings        store the settings above in config.xml\n"
           "      --show-settings        print the settings this run would use and stop\n"
           "  -h, --help                 show this help\n"
           "  -V, --version              show the version\n"
           "\n"
           "Ctrl-C lets running files finish and starts no more; a second Ctrl-C stops them,\n"
           "removes their temporary files and quits.\n"
           "Report statuses: resized, damaged, failed, refused, skipped, not-started, planned\n"
           "(--dry-run).\n"
           "Exit status: 0 every file resized (or skipped), 1 some file refused, damaged or\n"
           "failed, 2 usage error, 130 interrupted.\n"
           "Settings file: $XDG_CONFIG_HOME/pixmill/config.xml, else ~/.config/pixmill/config.xml;\n"
           "the presets are in presets.xml beside it.\n";
}
