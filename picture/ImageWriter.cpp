// SPDX-License-Identifier: MIT
// The output types and the writer of each.
#include "picture/ImageWriter.h"

#include "picture/WriterSupport.h"
#include "tools/modTools.h"

OutputType outputTypeOfPath(const std::string& path) {
    if (isRightCI(path, ".jpg") || isRightCI(path, ".jpeg")) return OutputType::Jpeg;
    if (isRightCI(path, ".png")) return OutputType::Png;
    if (isRightCI(path, ".bmp")) return OutputType::Bmp;
    if (isRightCI(path, ".webp")) return OutputType::Webp;
    if (isRightCI(path, ".avif")) return OutputType::Avif;
    if (isRightCI(path, ".jxl")) return OutputType::Jxl;
    if (isRightCI(path, ".tif") || isRightCI(path, ".tiff")) return OutputType::Tiff;
    return OutputType::None;
}

bool writeImage(OutputType type, CPicture& picture, const OutputMetadata& metadata,
                const WriteOptions& options, FILE* file) {
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
        case OutputType::Webp:
            return writeWebp(picture, metadata, options, file);
        case OutputType::Avif:
            return writeAvif(picture, metadata, options, file);
        case OutputType::Jxl:
            return writeJxl(picture, metadata, options, file);
        case OutputType::Tiff:
            return writeTiff(picture, metadata, options, file);
        default:
            fclose(file);
            return false;
    }
}
