// SPDX-License-Identifier: MIT
// PNG encoding: the product's saveToPNG against libpng's defaults (zlib level 6, its filter choice).
// Usage: png_encode_bench [DIR]   DIR as make-corpus.sh writes it (png/ and photos/ folders);
// default $PIXMILL_CORPUS, else /tmp/pixmill-corpus. Each picture is written in its own mode (RGB
// opaque, RGBA otherwise).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "picture/Picture.h"

#if __has_include(<png.h>)
#include <png.h>
#define HAVE_LIBPNG 1
#endif

namespace {

using bench::filesIn;
using bench::seconds;

long sizeOf(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

#ifdef HAVE_LIBPNG
// libpng with every default: the rows converted from the picture layout first, as ours does.
bool libpngWrite(const CPicture& pic, const std::string& path) {
    const bool alpha = pic.transparencyMode != TRANSPARENCY_NONE;
    const size_t channels = alpha ? 4 : 3;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<unsigned char> row(size_t(pic.width) * channels);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, pic.width, pic.height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < pic.height; y++) {
        const uint8_t* in = pic.pixelAt(0, y);
        for (int x = 0; x < pic.width; x++, in += 4) {
            unsigned char* o = row.data() + size_t(x) * channels;
            o[0] = in[2], o[1] = in[1], o[2] = in[0];
            if (alpha) o[3] = in[3];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef HAVE_LIBPNG
    (void)argc;
    (void)argv;
    puts("png_encode_bench: libpng not found; nothing to compare with");
    return 0;
#else
    const char* corpus = getenv("PIXMILL_CORPUS");
    const std::string dir = argc > 1 ? argv[1] : corpus && *corpus ? corpus : "/tmp/pixmill-corpus";
    std::vector<std::pair<std::string, std::unique_ptr<CPicture> > > pictures;
    for (const std::string& path : filesIn(dir + "/png", ".png")) {
        std::unique_ptr<CPicture> p(new CPicture());
        p->loadFromPNG(path);
        if (!p->isEmpty()) pictures.emplace_back(path.substr(path.rfind('/') + 1), std::move(p));
    }
    std::vector<std::string> photos = filesIn(dir + "/photos", ".jpg");
    for (size_t i = 0; i < photos.size() && i < 2; i++) {
        CPicture photo;
        photo.loadFromJPG(photos[i]);
        if (photo.isEmpty()) continue;
        std::unique_ptr<CPicture> small(photo.resize(1600, 1200, 1, true));
        if (small)
            pictures.emplace_back("resized " + photos[i].substr(photos[i].rfind('/') + 1), std::move(small));
    }
    if (pictures.empty()) {
        printf("png_encode_bench: no pictures in %s (make it with make-corpus.sh); nothing measured\n",
               dir.c_str());
        return 0;
    }
    char pattern[] = "/tmp/png-encode-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string ours = std::string(pattern) + "/ours.png", lib = std::string(pattern) + "/libpng.png";
    printf("%-28s %11s %11s %6s %9s %9s %6s\n", "picture", "pixmill B", "libpng B", "size", "pixmill ms",
           "libpng ms", "time");
    double sizeOurs = 0, sizeLib = 0, timeOurs = 0, timeLib = 0;
    for (auto& entry : pictures) {
        CPicture& p = *entry.second;
        double tOurs = 1e9, tLib = 1e9;
        for (int r = 0; r < 3; r++) {
            double t0 = seconds();
            if (!p.saveToPNG(ours)) return 1;
            double t1 = seconds();
            if (!libpngWrite(p, lib)) return 1;
            double t2 = seconds();
            tOurs = std::min(tOurs, t1 - t0);
            tLib = std::min(tLib, t2 - t1);
        }
        const double so = double(sizeOf(ours)), sl = double(sizeOf(lib));
        sizeOurs += so, sizeLib += sl, timeOurs += tOurs, timeLib += tLib;
        printf("%-28s %11.0f %11.0f %6.3f %9.1f %9.1f %6.2f\n", entry.first.c_str(), so, sl, so / sl,
               tOurs * 1e3, tLib * 1e3, tOurs / tLib);
    }
    printf("%-28s %11.0f %11.0f %6.3f %9.1f %9.1f %6.2f\n", "total", sizeOurs, sizeLib, sizeOurs / sizeLib,
           timeOurs * 1e3, timeLib * 1e3, timeOurs / timeLib);
    unlink(ours.c_str());
    unlink(lib.c_str());
    rmdir(pattern);
    return 0;
#endif
}
