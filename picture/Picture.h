// SPDX-License-Identifier: MIT
// CPicture: the one in-memory raster image (BGRX bytes, rows top first, stride width*4) and its codecs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum TRANSPARENCY_MODE : int32_t {
    TRANSPARENCY_NONE = 0,           // byte 3 ignored: opaque
    TRANSPARENCY_MASK = 1,           // byte 3: 0 transparent, anything else opaque
    TRANSPARENCY_ALPHA = 2,          // byte 3: straight alpha, 255 opaque
    TRANSPARENCY_PREMULTIPLIED = 3,  // byte 3: 255 - alpha; colours premultiplied
};

class CPicture {
public:
    std::string fileName;
    uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t transparencyMode = TRANSPARENCY_NONE;
    std::string exifBlock;
    // The XMP packet and IPTC records written into outputs that have a place for them.
    std::string xmpPacket, iptcBlock;
    // An ICC colour profile of the source, carried into outputs that can hold one.
    std::string iccProfile;
    // What the last load noticed: why it failed (the picture is then empty), or, for a file it
    // still read, what was wrong with it ("the file ends early: 412 of 1200 rows decoded").
    std::string loadFailure;
    std::string loadWarning;

    CPicture();
    CPicture(int width, int height);
    ~CPicture();
    CPicture(const CPicture&) = delete;
    CPicture& operator=(const CPicture&) = delete;

    // Sizes below 1 become 1; the buffer is zeroed. A picture of 2^31 pixels or more, or a
    // buffer the system cannot give, leaves the picture empty and throws std::bad_alloc.
    void create(int width, int height);
    // The same without zeroing, for a decoder that writes every byte of every pixel itself: the
    // buffer may hold an earlier picture's pixels until it does.
    void createUninitialised(int width, int height);
    void close();
    bool isEmpty() const { return width == 0 || height == 0; }
    uint8_t* pixelAt(int x, int y) { return pixels + (static_cast<size_t>(y) * width + x) * 4; }
    const uint8_t* pixelAt(int x, int y) const { return pixels + (static_cast<size_t>(y) * width + x) * 4; }

    void preMultiplyAlpha();
    // Back to straight alpha (TRANSPARENCY_ALPHA) for a premultiplied picture; others stay as they are.
    void undoPreMultiplication();
    static void bitblt(CPicture* dst, int dx, int dy, int w, int h, CPicture* src, int sx, int sy);
    // code 6: quarter turn clockwise, 8: counter-clockwise, 3: half turn. Caller owns the result.
    CPicture* rotate90(int code);

    // Resampling. Caller owns the result.
    CPicture* resize(int width, int height, int filter, bool keepAspect);
    static void resizeStatic(CPicture* src, CPicture* dst, int filter);

    // True for the names of image files intake takes: ".jpg", "jpeg", ".png", ".gif", ".bmp",
    // ".heic", ".heif", ".hif", ".avif", ".webp", ".tif", ".tiff", ".jxl", in any letter case.
    static bool isValidFileType(const std::string& path);
    // Decodes the file with the decoder its first bytes choose; a failure leaves the picture empty
    // with loadFailure saying why.
    void load(const std::string& path);

    void loadFromJPG(const std::string& path);
    bool saveToJPG(const std::string& path, int quality);
    void loadFromBMP(const std::string& path);
    bool saveToBMP(const std::string& path);
    void loadFromPNG(const std::string& path);
    // 8-bit RGB for an opaque picture, RGBA (straight alpha) otherwise, with the iccProfile as
    // iCCP. False when the file cannot be created or written completely.
    bool saveToPNG(const std::string& path);
    // The same writers into a stream opened for writing, which they close in every outcome (a
    // failed close is a failed save). A caller that made the file itself never has it created
    // again by name.
    bool saveToJPG(FILE* file, int quality, bool progressive = false);
    bool saveToBMP(FILE* file);
    bool saveToPNG(FILE* file);
    void loadFromGIF(const std::string& path);

private:
    void allocate(int width, int height, bool zeroed);
    size_t capacity = 0;  // bytes held by pixels, at least width * height * 4
};

float SinC(float t);
float visGetLanczos8(float t);
