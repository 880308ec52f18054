// SPDX-License-Identifier: MIT
// The output types and the writer of each.
#include "picture/ImageWriter.h"

#include "picture/WriterSupport.h"
#include "tools/modTools.h"

bool outputHolds(OutputType type, MetadataBlock block) {
    switch (type) {
        case OutputType::Jpeg:
            return true;
        case OutputType::Png:
        case OutputType::Webp:
        case OutputType::Avif:
        case OutputType::Jxl:
            return block != MetadataBlock::Iptc;
        default:
            return false;
    }
}

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
