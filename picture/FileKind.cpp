// SPDX-License-Identifier: MIT
// Recognising image files by their signatures (and, for ISO base-media files, by their brands).
#include "picture/FileKind.h"

#include <cstdio>
#include <cstring>

#include "tools/modTools.h"

namespace {

bool startsWith(const uint8_t* head, size_t size, const char* signature, size_t length) {
    return size >= length && memcmp(head, signature, length) == 0;
}

uint32_t u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool isBrand(const uint8_t* p, const char* brand) {
    return memcmp(p, brand, 4) == 0;
}

bool isHeifBrand(const uint8_t* p) {
    static const char* const brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1"};
    for (const char* brand : brands)
        if (isBrand(p, brand)) return true;
    return false;
}

bool isAvifBrand(const uint8_t* p) {
    return isBrand(p, "avif") || isBrand(p, "avis");
}

// An ISO base-media file starts with its 'ftyp' box: size, "ftyp", major brand, minor version,
// then compatible brands to the end of the box. AVIF when its major brand says so, or when it
// lists an AV1 brand but no HEVC one; HEIF for the other image brands.
FileKind isoBaseMediaKind(const uint8_t* head, size_t size) {
    if (size < 16 || memcmp(head + 4, "ftyp", 4) != 0) return FileKind::Unknown;
    const uint32_t boxSize = u32be(head);
    if (boxSize < 16) return FileKind::Unknown;
    const uint8_t* major = head + 8;
    if (isAvifBrand(major)) return FileKind::Avif;
    bool avif = false, heic = false, heif = isHeifBrand(major);
    const size_t end = boxSize < size ? boxSize : size;
    for (size_t at = 16; at + 4 <= end; at += 4) {
        if (isAvifBrand(head + at)) avif = true;
        if (isBrand(head + at, "heic") || isBrand(head + at, "heix")) heic = true;
        if (isHeifBrand(head + at)) heif = true;
    }
    if (avif && !heic && !isBrand(major, "heic") && !isBrand(major, "heix")) return FileKind::Avif;
    return heif ? FileKind::Heif : FileKind::Unknown;
}

}  // namespace

FileKind fileKindOf(const uint8_t* head, size_t size) {
    if (startsWith(head, size, "\xFF\xD8\xFF", 3)) return FileKind::Jpeg;
    if (startsWith(head, size, "\x89PNG\r\n\x1A\n", 8)) return FileKind::Png;
    if (startsWith(head, size, "GIF87a", 6) || startsWith(head, size, "GIF89a", 6)) return FileKind::Gif;
    if (startsWith(head, size, "BM", 2)) return FileKind::Bmp;
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    if (startsWith(head, size, "II*\0", 4) || startsWith(head, size, "MM\0*", 4) ||
        startsWith(head, size, "II+\0", 4) || startsWith(head, size, "MM\0+", 4))
        return FileKind::Tiff;
    if (size >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0) return FileKind::Webp;
    // JPEG XL: a bare code stream, or the container's signature box.
    if (startsWith(head, size, "\xFF\x0A", 2)) return FileKind::Jxl;
    if (startsWith(head, size, "\0\0\0\x0CJXL \x0D\x0A\x87\x0A", 12)) return FileKind::Jxl;
    return isoBaseMediaKind(head, size);
}

FileKind fileKindOfFile(const std::string& path, std::string* head) {
    uint8_t bytes[kFileKindBytes];
    FILE* file = fileOpen(path, "rb");
    if (!file) return FileKind::Unknown;
    const size_t got = fread(bytes, 1, sizeof bytes, file);
    fclose(file);
    if (head) head->assign(reinterpret_cast<const char*>(bytes), got);
    return fileKindOf(bytes, got);
}

const char* fileKindName(FileKind kind) {
    switch (kind) {
        case FileKind::Jpeg: return "JPEG";
        case FileKind::Png: return "PNG";
        case FileKind::Gif: return "GIF";
        case FileKind::Bmp: return "BMP";
        case FileKind::Tiff: return "TIFF";
        case FileKind::Webp: return "WebP";
        case FileKind::Heif: return "HEIF";
        case FileKind::Avif: return "AVIF";
        case FileKind::Jxl: return "JPEG XL";
        default: return "";
    }
}

std::string unknownFileCause(const std::string& head) {
    if (head.empty()) return "not an image file (the file is empty)";
    std::string text = "not an image file (starts with";
    char hex[8];
    for (size_t i = 0; i < head.size() && i < 4; ++i) {
        snprintf(hex, sizeof hex, " 0x%02x", unsigned(uint8_t(head[i])));
        text += hex;
    }
    return text + ")";
}
