// SPDX-License-Identifier: MIT
// Helpers for the engine's tests: pictures and source files made on the fly, one job run by hand.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"
#include "picture/Exif.h"
#include "picture/Picture.h"
#include "testsupport.h"

using PicturePtr = std::unique_ptr<CPicture>;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

struct Bgr {
    uint8_t b, g, r;
};

const Bgr kRed{0, 0, 255}, kGreen{0, 255, 0}, kBlue{255, 0, 0}, kWhite{255, 255, 255};

inline PicturePtr makePicture(int w, int h, const std::function<Bgr(int, int)>& colourAt) {
    PicturePtr picture(new CPicture(w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            Bgr c = colourAt(x, y);
            uint8_t* p = picture->pixelAt(x, y);
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0;
        }
    return picture;
}

// Red, green / blue, white quadrants: any quarter or half turn is told apart by the corners.
inline PicturePtr quadrantPicture(int w, int h) {
    return makePicture(w, h, [w, h](int x, int y) {
        bool right = x >= w / 2, bottom = y >= h / 2;
        return bottom ? (right ? kWhite : kBlue) : (right ? kGreen : kRed);
    });
}

// Every pixel different, so a shifted copy cannot pass for the right one.
inline PicturePtr patternPicture(int w, int h) {
    return makePicture(w, h, [](int x, int y) {
        return Bgr{static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(y * 13 + x),
                   static_cast<uint8_t>(x ^ y)};
    });
}

// The payload of an EXIF APP1 segment whose IFD0 holds just the orientation (tag 274, SHORT).
inline std::string exifWithOrientation(int orientation, bool bigEndian = false) {
    auto u16 = [bigEndian](int v) {
        char lo = static_cast<char>(v & 0xFF), hi = static_cast<char>((v >> 8) & 0xFF);
        return bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    };
    auto u32 = [&](int v) { return bigEndian ? u16(0) + u16(v) : u16(v) + u16(0); };
    std::string block("Exif\0\0", 6);
    block += bigEndian ? "MM" : "II";
    block += u16(42) + u32(8);
    block += u16(1) + u16(274) + u16(3) + u32(1) + u16(orientation) + u16(0);
    block += u32(0);
    return block;
}

inline bool saveJpeg(CPicture& picture, const std::string& path, const std::string& exifBlock = "") {
    picture.exifBlock = exifBlock;
    return picture.saveToJPG(path, 95);
}

inline PicturePtr loadPicture(const std::string& path) {
    PicturePtr picture(new CPicture());
    picture->load(path);
    return picture;
}

inline std::string orientationOf(const std::string& jpegPath) {
    Exif exif;
    exif.loadFromJPG(jpegPath);
    return exif.loaded ? exif.getField(274) : "no exif";
}

inline bool near(const uint8_t* p, Bgr c, int tolerance = 48) {
    return std::abs(p[0] - c.b) <= tolerance && std::abs(p[1] - c.g) <= tolerance &&
           std::abs(p[2] - c.r) <= tolerance;
}

inline bool sameColours(const CPicture& a, const CPicture& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c)
                if (a.pixelAt(x, y)[c] != b.pixelAt(x, y)[c]) return false;
    return true;
}

// Runs one job on the calling thread, as a worker would.
inline std::unique_ptr<ImageResizeTask> runJob(Pixmill& engine, const std::string& source,
                                               const std::string& output, const std::string& resolution) {
    std::unique_ptr<ImageResizeTask> task(new ImageResizeTask(&engine));
    task->sourcePath = source;
    task->outputPath = output;
    task->resolution = resolution;
    task->started = true;
    task->execute();
    return task;
}

// Names of the temporary output files in folder; a finished or failed job leaves none.
inline std::vector<std::string> tempFilesIn(const std::string& folder) {
    std::vector<std::string> found;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(".pixmill-", 0) == 0) found.push_back(e->d_name);
        closedir(d);
    }
    return found;
}
