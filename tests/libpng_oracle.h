// SPDX-License-Identifier: MIT
// libpng's reading of a PNG as 8-bit RGBA, the reference the PNG tests and benchmark compare with.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

// Palettes and low depths expanded, tRNS turned into alpha, 16-bit samples cut to their high byte,
// no gamma. False when libpng refuses the file.
inline bool decodeWithLibpng(const std::string& path, int& w, int& h, std::vector<unsigned char>& rgba) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    w = int(png_get_image_width(png, info));
    h = int(png_get_image_height(png, info));
    rgba.assign(size_t(w) * h * 4, 0);
    rows.resize(h);
    for (int y = 0; y < h; y++) rows[y] = rgba.data() + size_t(y) * w * 4;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return true;
}
