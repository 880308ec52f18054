// SPDX-License-Identifier: MIT
// Job intake: accepting a dropped path and building its output path.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "engine/ImageResizeTask.h"
#include "engine/OutputPlan.h"
#include "engine/Pixmill.h"
#include "picture/FileKind.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

const char* const kCounterTokens[] = {"%N%", "%N2%", "%N3%", "%N4%", "%N5%", "%N6%"};

// Width and height of a size word for the output name: both sides of a box, N by N for the long
// edge, the one side given (the other 0), 0 by 0 for a percentage. False when the size has a zero
// or unreadable side.
bool parseTargetSize(const std::string& resolution, int32_t& width, int32_t& height) {
    // Every path of a batch has the same size word: the last one read is kept.
    thread_local std::string lastText;
    thread_local SizeWord lastWord;
    thread_local bool read = false;
    if (!read || resolution != lastText) {
        lastWord = parseSizeWord(resolution);
        lastText = resolution;
        read = true;
    }
    const SizeWord word = lastWord;
    width = word.width;
    height = word.height;
    switch (word.kind) {
        case SizeWord::Box:
            return width != 0 && height != 0;
        case SizeWord::Width:
            return width != 0;
        case SizeWord::Height:
            return height != 0;
        default:
            return true;
    }
}

// The file name without its last extension.
std::string baseName(const std::string& fileName) {
    size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

bool hasCounterToken(const std::string& name) {
    for (const char* token : kCounterTokens)
        if (name.find(token) != std::string::npos) return true;
    return false;
}

std::string withCounter(const std::string& name, uint64_t counter) {
    const std::string value = intToStr(counter);
    std::string candidate = strreplace(name, "%N%", value);
    for (uint32_t digits = 2; digits <= 6; ++digits)
        strReplace_inplace(candidate, kCounterTokens[digits - 1], prePad(value, digits, "0"));
    return candidate;
}

// The extension of the output type "same" for a file of this kind: each type it writes stays itself
// (a ".jpeg" or ".tiff" name keeps its four letters); GIF becomes PNG and HEIF becomes JPEG; a file
// that is no image gets the default type (its job fails to open it).
std::string sameTypeExtension(FileKind kind, const std::string& fileName) {
    switch (kind) {
        case FileKind::Png:
        case FileKind::Gif:
            return "png";
        case FileKind::Bmp:
            return "bmp";
        case FileKind::Webp:
            return "webp";
        case FileKind::Avif:
            return "avif";
        case FileKind::Jxl:
            return "jxl";
        case FileKind::Tiff:
            return isRightCI(fileName, ".tiff") ? "tiff" : "tif";
        default:
            return isRightCI(fileName, ".jpeg") ? "jpeg" : "jpg";
    }
}

}  // namespace

std::string Pixmill::outputExtensionFor(const std::string& path, const std::string& type) const {
    const std::string fileName = getFileName(path);
    if (strIsEqualCI(type, "same")) return sameTypeExtension(fileKindOfFile(path), fileName);
    // JPEG and TIFF sources named ".jpeg" and ".tiff" keep their four-letter extension.
    if (type == "jpg" && isRightCI(fileName, ".jpeg")) return "jpeg";
    if (type == "tif" && isRightCI(fileName, ".tiff")) return "tiff";
    return type;
}

std::string Pixmill::outputFolderFor(const std::string& path) const {
    std::string folder = getFilePath(path);
    if (isRight(folder, "/")) folder.pop_back();
    switch (destination) {
        case Destination::SubFolder:
            return folder + "/" + outputSubFolder;
        case Destination::FixedFolder:
            return outputFixedFolder;
        default:
            return folder;
    }
}

std::string Pixmill::outputNameFor(const std::string& path, const std::string& type, int32_t width,
                                   int32_t height, const std::string& folder) {
    std::string name = strreplace(outputFileName, "%SRC%", baseName(getFileName(path))) + "." +
                       outputExtensionFor(path, type);
    strReplace_inplace(name, "%DSTX%", intToStr(width));
    strReplace_inplace(name, "%DSTY%", intToStr(height));
    if (!hasCounterToken(name)) return name;

    // Every candidate tried uses up one counter value; an existing file is never chosen.
    std::string candidate;
    do {
        candidate = withCounter(name, fileCounter++);
    } while (!candidate.empty() && FileExist(folder + "/" + candidate));
    return candidate;
}

bool Pixmill::settleOutput(const std::string& path, const std::string& folderBelow, bool createFolder,
                           int& folderError, std::string& folder, std::string& name) {
    if (!CPicture::isValidFileType(path)) return false;
    int32_t width = 0, height = 0;
    if (!parseTargetSize(resolution, width, height)) return false;
    if (!(moreSizes.empty() && moreTypes.empty()) && !outputNameClash().empty()) return false;

    folder = outputFolderFor(path);
    if (!folderBelow.empty()) folder += "/" + folderBelow;
    // One level only for the destination's own folder; a folder that cannot be made shows later
    // as a failed save, which then gives the reason it could not be made.
    // The folder found or made last is taken as there while jobs run (the paths of a batch come
    // folder by folder); an idle engine looks again.
    folderError = 0;
    if (runningThreads == 0) folderKnownToExist.clear();
    if (createFolder && folder != folderKnownToExist) {
        bool there = DirExist(folder);
        if (!there) {
            there = folderBelow.empty() ? makeDirectory(folder) : makeDirectories(folder);
            if (!there) folderError = errno;
        }
        if (there) folderKnownToExist = folder;
    }

    name = outputNameFor(path, outputFileType, width, height, folder);
    return !name.empty();
}

std::vector<std::pair<std::string, std::string>> Pixmill::outputPairs() const {
    std::vector<std::string> sizes{resolution}, types{outputFileType};
    for (const std::string& size : moreSizes)
        if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) sizes.push_back(size);
    for (const std::string& type : moreTypes) {
        bool known = false;
        for (const std::string& given : types) known = known || strIsEqualCI(given, type);
        if (!known) types.push_back(type);
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& size : sizes)
        for (const std::string& type : types) pairs.emplace_back(size, type);
    return pairs;
}

std::string Pixmill::outputNameClash() const {
    std::vector<std::string> sizes;
    for (const auto& pair : outputPairs())
        if (std::find(sizes.begin(), sizes.end(), pair.first) == sizes.end()) sizes.push_back(pair.first);
    std::vector<std::string> filled;
    for (const std::string& size : sizes) {
        int32_t width = 0, height = 0;
        parseTargetSize(size, width, height);
        const std::string name =
            strreplace(strreplace(outputFileName, "%DSTX%", intToStr(width)), "%DSTY%", intToStr(height));
        for (size_t i = 0; i < filled.size(); ++i) {
            if (filled[i] != name) continue;
            return "the name template \"" + outputFileName + "\" gives the outputs at sizes " + sizes[i] +
                   " and " + size + " the same name: put %DSTX% and %DSTY% in it";
        }
        filled.push_back(name);
    }
    return std::string();
}

std::vector<JobOutput> Pixmill::outputsFor(const std::string& path, const std::string& folder,
                                           const std::string& name) {
    std::vector<JobOutput> outputs;
    if (moreSizes.empty() && moreTypes.empty()) return outputs;
    for (const auto& [size, type] : outputPairs()) {
        JobOutput output;
        output.resolution = size;
        if (outputs.empty()) {
            output.path = folder + "/" + name;
        } else {
            int32_t width = 0, height = 0;
            if (!parseTargetSize(size, width, height)) continue;
            const std::string other = outputNameFor(path, type, width, height, folder);
            if (other.empty()) continue;
            output.path = folder + "/" + other;
        }
        // "same" can name the type another word names: that output is written once.
        bool known = false;
        for (const JobOutput& given : outputs) known = known || given.path == output.path;
        if (!known) outputs.push_back(output);
    }
    if (outputs.size() == 1) outputs.clear();
    return outputs;
}

bool Pixmill::addFile(const std::string& path, const std::string& folderBelow) {
    std::string folder, name;
    int folderError = 0;
    if (!settleOutput(path, folderBelow, true, folderError, folder, name)) return false;

    std::unique_ptr<ImageResizeTask> task(new ImageResizeTask(this));
    task->folderError = folderError;
    task->sourcePath = path;
    task->outputPath = folder + "/" + name;
    task->resolution = resolution;
    parseTargetSize(resolution, task->targetWidth, task->targetHeight);
    task->outputs = outputsFor(path, folder, name);
    addTask(task.get());
    task.release();
    return true;
}

bool Pixmill::isImageFileName(const std::string& path) {
    return CPicture::isValidFileType(path);
}

std::string Pixmill::refusalReason(const std::string& path) const {
    if (!isImageFileName(path))
        return "not the name of an image file (JPEG, PNG, GIF, BMP, HEIF, AVIF, WebP, TIFF or JPEG XL)";
    int32_t width = 0, height = 0;
    if (!parseTargetSize(resolution, width, height))
        return "the resolution \"" + resolution + "\" has a zero or unreadable side";
    const std::string clash = outputNameClash();
    if (!clash.empty()) return clash;
    return "the name template \"" + outputFileName + "\" gives no output name";
}

std::string Pixmill::planFile(const std::string& path, const std::string& folderBelow) {
    std::string folder, name;
    int folderError = 0;
    if (!settleOutput(path, folderBelow, false, folderError, folder, name)) return std::string();
    return folder + "/" + name;
}

std::vector<std::string> Pixmill::planFiles(const std::string& path, const std::string& folderBelow) {
    std::string folder, name;
    int folderError = 0;
    if (!settleOutput(path, folderBelow, false, folderError, folder, name)) return {};
    std::vector<std::string> paths;
    for (const JobOutput& output : outputsFor(path, folder, name)) paths.push_back(output.path);
    if (paths.empty()) paths.push_back(folder + "/" + name);
    return paths;
}
