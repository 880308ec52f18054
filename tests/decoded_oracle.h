// SPDX-License-Identifier: MIT
// Decoding through our sources beside a library's own command-line tool: the tool's PNG read at
// 16 bits and rounded to 8 as the sources round, and the picture our source gives.
#pragma once

#include <dirent.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "picture/ImageSource.h"
#include "picture/Picture.h"

// A tool's PNG as 8-bit RGBA: every depth widened to 16 bits, then (v * 255 + 32767) / 65535.
inline bool readReferencePng(const std::string& path, int& w, int& h, std::vector<uint8_t>& rgba) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<uint16_t> wide;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xffff, PNG_FILLER_AFTER);
    png_set_swap(png);
    png_read_update_info(png, info);
    w = int(png_get_image_width(png, info));
    h = int(png_get_image_height(png, info));
    wide.assign(size_t(w) * h * 4, 0);
    rows.resize(size_t(h));
    for (int y = 0; y < h; y++)
        rows[size_t(y)] = reinterpret_cast<png_bytep>(wide.data() + size_t(y) * w * 4);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    rgba.resize(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) rgba[i] = uint8_t((uint32_t(wide[i]) * 255 + 32767) / 65535);
    return true;
}

// A tool's PAM (P7) as 8-bit RGBA, samples of maximum m rounded as (v * 255 + m / 2) / m; grey
// widened to RGB, alpha 255 where there is none. djxl 0.7 writes two-byte samples at the full
// 16-bit scale whatever maximum the header names (fullScale takes them so).
inline bool readReferencePam(const std::string& path, int& w, int& h, std::vector<uint8_t>& rgba,
                             bool fullScale = false) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    int depth = 0;
    unsigned maxval = 0;
    char line[256];
    w = h = 0;
    while (fgets(line, sizeof line, f) && strncmp(line, "ENDHDR", 6) != 0) {
        sscanf(line, "WIDTH %d", &w);
        sscanf(line, "HEIGHT %d", &h);
        sscanf(line, "DEPTH %d", &depth);
        sscanf(line, "MAXVAL %u", &maxval);
    }
    const size_t bytes = maxval > 255 ? 2 : 1, count = size_t(w) * size_t(h) * size_t(depth);
    std::vector<uint8_t> raw(count * bytes);
    const bool whole = w > 0 && h > 0 && depth >= 1 && depth <= 4 && maxval > 0 && maxval < 65536 &&
                       fread(raw.data(), 1, raw.size(), f) == raw.size();
    fclose(f);
    if (!whole) return false;
    if (fullScale && bytes == 2) maxval = 65535;
    rgba.assign(size_t(w) * size_t(h) * 4, 255);
    const bool grey = depth <= 2, alpha = depth == 2 || depth == 4;
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
        for (int c = 0; c < depth; ++c) {
            const size_t at = (i * size_t(depth) + size_t(c)) * bytes;
            const unsigned v = bytes == 2 ? unsigned(raw[at]) << 8 | raw[at + 1] : raw[at];
            const uint8_t v8 = uint8_t((v * 255 + maxval / 2) / maxval);
            if (alpha && c == depth - 1)
                rgba[i * 4 + 3] = v8;
            else if (grey)
                rgba[i * 4] = rgba[i * 4 + 1] = rgba[i * 4 + 2] = v8;
            else
                rgba[i * 4 + size_t(c)] = v8;
        }
    return true;
}

// The picture a source gives, or an empty one with the source's failure in `why`.
inline std::unique_ptr<CPicture> decodeThroughSource(ImageSource& source, std::string& why) {
    std::unique_ptr<CPicture> picture(new CPicture());
    if (!source.isOpen()) {
        why = source.failure();
        return picture;
    }
    picture->create(source.width, source.height);
    PictureRows rows(*picture);
    if (!source.putRows(rows)) {
        why = source.failure();
        picture.reset(new CPicture());
    }
    picture->transparencyMode = source.mode;
    return picture;
}

// The largest difference of a colour or alpha sample between picture (blue, green, red, byte 3)
// and the reference (red, green, blue, alpha); alpha only where the picture has transparency, and
// colour only where a pixel is not fully transparent. -1 when the sizes differ.
inline int largestDifference(const CPicture& picture, int w, int h, const std::vector<uint8_t>& rgba) {
    if (picture.width != w || picture.height != h) return -1;
    const bool alpha = picture.transparencyMode != TRANSPARENCY_NONE;
    int most = 0;
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        const uint8_t* p = picture.pixels + i * 4;
        const uint8_t* r = rgba.data() + i * 4;
        if (alpha) most = std::max(most, std::abs(int(p[3]) - int(r[3])));
        if (alpha && r[3] == 0) continue;
        for (int c = 0; c < 3; ++c) most = std::max(most, std::abs(int(p[2 - c]) - int(r[c])));
    }
    return most;
}

// The files under `dir` (one level of sub-folders too) whose names end in one of `endings`.
inline std::vector<std::string> filesEndingIn(const std::string& dir, const std::vector<std::string>& endings,
                                              bool descend = true) {
    std::vector<std::string> found;
    DIR* d = opendir(dir.c_str());
    if (!d) return found;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name, path = dir + "/" + name;
        if (name[0] == '.') continue;
        if (e->d_type == DT_DIR) {
            if (descend)
                for (const std::string& f : filesEndingIn(path, endings, false)) found.push_back(f);
            continue;
        }
        for (const std::string& end : endings)
            if (name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0)
                found.push_back(path);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

// What the process writes to standard error while the object lives.
class StderrCapture {
  public:
    explicit StderrCapture(const std::string& file) : path(file) {
        fflush(stderr);
        saved = dup(2);
        FILE* f = fopen(path.c_str(), "w");
        if (f) {
            dup2(fileno(f), 2);
            fclose(f);
        }
    }
    ~StderrCapture() { restore(); }
    // Ends the capture; what was written.
    std::string text() {
        restore();
        std::string bytes;
        if (FILE* f = fopen(path.c_str(), "rb")) {
            char buffer[4096];
            size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
            fclose(f);
        }
        return bytes;
    }

  private:
    void restore() {
        if (saved < 0) return;
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
    std::string path;
    int saved = -1;
};

// True when the program can be run from the PATH.
inline bool haveTool(const std::string& tool) {
    return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}
