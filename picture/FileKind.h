// SPDX-License-Identifier: MIT
// Knowing an image file by its first bytes: the one place that says which decoder reads a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class FileKind { Unknown, Jpeg, Png, Gif, Bmp, Tiff, Webp, Heif, Avif, Jxl };

// How many first bytes fileKindOf wants to see (fewer when the file is shorter).
constexpr size_t kFileKindBytes = 64;

// The kind of file whose first bytes are head[0 .. size).
FileKind fileKindOf(const uint8_t* head, size_t size);
// The kind of the file at path, from its first bytes; Unknown when it cannot be read. `head`, when
// given, receives the bytes read (at most kFileKindBytes).
FileKind fileKindOfFile(const std::string& path, std::string* head = nullptr);
// The format's usual name: "JPEG", "PNG", ..., "HEIF", "AVIF", "JPEG XL"; "" for Unknown.
const char* fileKindName(FileKind kind);
// Why a file of none of the kinds cannot be opened: "not an image file (starts with 0x00 0x01 0x02
// 0x03)" with up to its first four bytes, or "not an image file (the file is empty)".
std::string unknownFileCause(const std::string& head);
