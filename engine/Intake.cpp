// Job intake: accepting a dropped path and building its output path.
#include <memory>
#include <vector>

#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

const char* const kCounterTokens[] = {"%N%", "%N2%", "%N3%", "%N4%", "%N5%", "%N6%"};

// Width and height of a "WxH" resolution; true with 0 by 0 when it has another form.
// False when one of the two sides is zero or not a number.
bool parseTargetSize(const std::string& resolution, int32_t& width, int32_t& height) {
    width = height = 0;
    std::vector<std::string> pieces = strsplit(resolution, "x");
    if (pieces.size() != 2) return true;
    width = strToInt(strtrim(pieces[0]));
    height = strToInt(strtrim(pieces[1]));
    return width != 0 && height != 0;
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

}  // namespace

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

std::string Pixmill::outputNameFor(const std::string& fileName, int32_t width, int32_t height,
                                   const std::string& folder) {
    // JPEG sources named ".jpeg" keep their four-letter extension.
    std::string extension = outputFileType;
    if (outputFileType == "jpg" && isRightCI(fileName, ".jpeg")) extension = "jpeg";

    std::string name = strreplace(outputFileName, "%SRC%", baseName(fileName)) + "." + extension;
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

bool Pixmill::addFile(const std::string& path) {
    if (!CPicture::isValidFileType(path)) return false;
    int32_t width = 0, height = 0;
    if (!parseTargetSize(resolution, width, height)) return false;

    const std::string folder = outputFolderFor(path);
    // One level only; a folder that cannot be made shows later as a failed save.
    if (!DirExist(folder)) makeDirectory(folder);

    const std::string fileName = getFileName(path);
    const std::string name = outputNameFor(fileName, width, height, folder);
    if (name.empty()) return false;

    std::unique_ptr<ImageResizeTask> task(new ImageResizeTask(this));
    task->sourcePath = path;
    task->outputPath = folder + "/" + name;
    task->resolution = resolution;
    task->targetWidth = width;
    task->targetHeight = height;
    addTask(task.get());
    task.release();
    return true;
}
