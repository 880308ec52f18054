// SPDX-License-Identifier: MIT
// The output types and the writer of each.
#include "picture/ImageWriter.h"

#include "tools/modTools.h"

OutputType outputTypeOfPath(const std::string& path) {
    if (isRightCI(path, ".jpg") || isRightCI(path, ".jpeg")) return OutputType::Jpeg;
    if (isRightCI(path, ".png")) return OutputType::Png;
    if (isRightCI(path, ".bmp")) return OutputType::Bmp;
    return OutputType::None;
}

bool writeImage(OutputType type, CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options,
                FILE* file) {
    switch (type) {
        case OutputType::Jpeg:
            // JPEG's APP1 segment holds the block behind its identifier.
            picture.exifBlock = metadata.exif.empty() ? std::string() : std::string("Exif\0\0", 6) + metadata.exif;
            picture.iccProfile = metadata.icc;
            return picture.saveToJPG(file, options.quality);
        case OutputType::Png:
            picture.iccProfile = metadata.icc;
            return picture.saveToPNG(file);
        case OutputType::Bmp:
            return picture.saveToBMP(file);
        default:
            fclose(file);
            return false;
    }
}
