// SPDX-License-Identifier: MIT
// The output types and the writer of each.
#include "picture/ImageWriter.h"

#include "tools/modTools.h"

bool outputHolds(OutputType type, MetadataBlock block) {
    switch (type) {
        case OutputType::Jpeg:
            return true;
        case OutputType::Png:
            return block != MetadataBlock::Iptc;
        default:
            return false;
    }
}

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
            // The picture holds EXIF as JPEG's APP1 segment carries it, after its identifier.
            picture.exifBlock = metadata.exif.empty() ? std::string() : std::string("Exif\0\0", 6) + metadata.exif;
            picture.xmpPacket = metadata.xmp;
            picture.iptcBlock = metadata.iptc;
            picture.iccProfile = metadata.icc;
            return picture.saveToJPG(file, options.quality, options.progressive);
        case OutputType::Png:
            picture.exifBlock = metadata.exif.empty() ? std::string() : std::string("Exif\0\0", 6) + metadata.exif;
            picture.xmpPacket = metadata.xmp;
            picture.iccProfile = metadata.icc;
            return picture.saveToPNG(file);
        case OutputType::Bmp:
            return picture.saveToBMP(file);
        default:
            fclose(file);
            return false;
    }
}
