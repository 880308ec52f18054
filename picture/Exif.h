// SPDX-License-Identifier: MIT
// Exif: the raw EXIF block of a JPEG source, read and patched in place.
#pragma once

#include <cstdint>
#include <string>

class Exif {
public:
    bool loaded = false;
    std::string exifBlock;
    int32_t motorolaOrder = 0;

    Exif() {}
    virtual ~Exif() {}

    void loadFromJPG(const std::string& path);
    std::string getField(int tag);
    bool setField(int tag, int value);
    int32_t readLong(const std::string& bytes, int pos);
    int32_t readShort(const std::string& bytes, int pos);
};
