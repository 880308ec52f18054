// SPDX-License-Identifier: MIT
// GIF decoding speed: CPicture::loadFromGIF against giflib (DGifSlurp plus the palette lookup to
// BGRA) on a set of ~800x600 GIFs: made here, or DIR/gif/*.gif from make-corpus.sh when DIR is given.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "gif_recipe.h"
#include "picture/CGif.h"
#include "picture/Picture.h"
#include "tools/modTools.h"

#if __has_include(<gif_lib.h>)
#include <gif_lib.h>
#define HAVE_GIFLIB 1
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using gifrecipe::GifBuilder;

using bench::seconds;

// A 6x7x6 colour cube (252 entries) padded to 256.
Bytes cubePalette() {
    Bytes t;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 7; ++g)
            for (int b = 0; b < 6; ++b) {
                t.push_back(static_cast<uint8_t>(r * 51));
                t.push_back(static_cast<uint8_t>(g * 42));
                t.push_back(static_cast<uint8_t>(b * 51));
            }
    t.resize(256 * 3, 0);
    return t;
}

// Smooth gradients with grain, mapped to the cube with a little dither: compresses like a photo.
Bytes photoPixels(int w, int h, int levels, std::mt19937& rng) {
    Bytes px(size_t(w) * h);
    std::normal_distribution<float> noise(0.f, 10.f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float r = 128 + 100 * std::sin(x * 0.013f + y * 0.004f) + noise(rng);
            float g = 128 + 90 * std::cos(y * 0.011f - x * 0.003f) + noise(rng);
            float b = 128 + 80 * std::sin((x + y) * 0.007f) + noise(rng);
            auto q = [](float v, int n) { return std::clamp(int(v / 256.f * n), 0, n - 1); };
            int idx = (q(r, 6) * 7 + q(g, 7)) * 6 + q(b, 6);
            px[size_t(y) * w + x] = static_cast<uint8_t>(idx % levels);
        }
    return px;
}

// Large flat shapes in a few colours: compresses like a chart or a logo.
Bytes flatPixels(int w, int h, int colours, std::mt19937& rng) {
    Bytes px(size_t(w) * h, 0);
    for (int n = 0; n < 60; ++n) {
        int x0 = rng() % w, y0 = rng() % h, rw = 20 + rng() % 200, rh = 20 + rng() % 150;
        uint8_t c = static_cast<uint8_t>(rng() % colours);
        for (int y = y0; y < std::min(h, y0 + rh); ++y)
            for (int x = x0; x < std::min(w, x0 + rw); ++x) px[size_t(y) * w + x] = c;
    }
    return px;
}

std::vector<std::string> makeSet(const std::string& dir) {
    std::mt19937 rng(2024);
    const int w = 800, h = 600;
    Bytes cube = cubePalette();
    struct Recipe {
        const char* name;
        Bytes pixels;
        int minCodeSize;
        bool interlaced, transparent;
        Bytes table;
    };
    Bytes mono = {0, 0, 0, 255, 255, 255};
    Bytes sixteen(cube.begin(), cube.begin() + 48);
    std::vector<Recipe> recipes = {
        {"photo256.gif", photoPixels(w, h, 256, rng), 8, false, false, cube},
        {"photo64.gif", photoPixels(w, h, 64, rng), 6, false, false, Bytes(cube.begin(), cube.begin() + 192)},
        {"photo256-interlaced.gif", photoPixels(w, h, 256, rng), 8, true, false, cube},
        {"flat16.gif", flatPixels(w, h, 16, rng), 4, false, false, sixteen},
        {"flat16-interlaced.gif", flatPixels(w, h, 16, rng), 4, true, false, sixteen},
        {"flat2.gif", flatPixels(w, h, 2, rng), 2, false, false, mono},
        {"flat16-transparent.gif", flatPixels(w, h, 16, rng), 4, false, true, sixteen},
        {"photo256-transparent.gif", photoPixels(w, h, 256, rng), 8, false, true, cube},
    };
    std::vector<std::string> files;
    for (const Recipe& s : recipes) {
        gifrecipe::Image im;
        im.width = w;
        im.height = h;
        im.interlaced = s.interlaced;
        im.pixels = s.pixels;
        im.lzw.minCodeSize = s.minCodeSize;
        GifBuilder b;
        b.header(w, h, s.table);
        if (s.transparent) b.control(0, true, 0);
        b.image(im).trailer();
        std::string path = dir + "/" + s.name;
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) continue;
        fwrite(b.bytes.data(), 1, b.bytes.size(), f);
        fclose(f);
        files.push_back(path);
    }
    return files;
}

std::vector<std::string> listGifs(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && strIsEqualCI(n.substr(n.size() - 4), ".gif")) out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool decodeProduct(const std::string& path) {
    CPicture p;
    p.loadFromGIF(path);
    return p.width > 0;
}

#ifdef HAVE_GIFLIB
// giflib's whole-file read, then the last image through its palette into BGRA, as a picture needs.
bool decodeGiflib(const std::string& path, std::vector<uint8_t>& bgra) {
    int err = 0;
    GifFileType* g = DGifOpenFileName(path.c_str(), &err);
    if (!g) return false;
    bool ok = DGifSlurp(g) == GIF_OK && g->ImageCount > 0;
    if (ok) {
        const SavedImage& im = g->SavedImages[g->ImageCount - 1];
        const ColorMapObject* map = im.ImageDesc.ColorMap ? im.ImageDesc.ColorMap : g->SColorMap;
        uint8_t lut[256][4] = {};
        for (int i = 0; map && i < std::min(map->ColorCount, 256); ++i) {
            lut[i][0] = map->Colors[i].Blue;
            lut[i][1] = map->Colors[i].Green;
            lut[i][2] = map->Colors[i].Red;
        }
        size_t n = size_t(im.ImageDesc.Width) * im.ImageDesc.Height;
        bgra.resize(n * 4);
        for (size_t i = 0; i < n; ++i) memcpy(&bgra[i * 4], lut[im.RasterBits[i]], 4);
    }
    DGifCloseFile(g, &err);
    return ok;
}
#endif

// Best of `rounds` timings of one pass over every file.
template <class F>
double timeSet(const std::vector<std::string>& files, int rounds, F decode) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        double t0 = seconds();
        for (const std::string& f : files) decode(f);
        best = std::min(best, seconds() - t0);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    std::string tmp;
    if (argc > 1) {
        files = listGifs(std::string(argv[1]) + "/gif");
        if (files.empty()) files = listGifs(argv[1]);
    } else {
        char pattern[] = "/tmp/pixmill-gif-bench-XXXXXX";
        if (!mkdtemp(pattern)) return 1;
        tmp = pattern;
        files = makeSet(tmp);
    }
    if (files.empty()) {
        printf("gif_bench: no GIF files\n");
        return 1;
    }
    const int rounds = 7;
    printf("gif_bench: %zu files, best of %d rounds\n", files.size(), rounds);
#ifdef HAVE_GIFLIB
    std::vector<uint8_t> scratch;
    double totalOurs = 0, totalLib = 0;
    for (const std::string& f : files) {
        std::vector<std::string> one{f};
        double ours = timeSet(one, rounds, decodeProduct);
        double lib = timeSet(one, rounds, [&](const std::string& p) { return decodeGiflib(p, scratch); });
        totalOurs += ours;
        totalLib += lib;
        printf("  %-40s pixmill %7.2f ms  giflib %7.2f ms  ratio %.2f\n", getFileName(f).c_str(), ours * 1e3,
               lib * 1e3, ours / lib);
    }
    printf("gif_bench: total pixmill %.2f ms, giflib %.2f ms, ratio pixmill/giflib %.2f (target <= 0.5)\n",
           totalOurs * 1e3, totalLib * 1e3, totalOurs / totalLib);
    // The plain code-by-code LZW decoder, kept as the reference, in the same run.
    CGif::setPlainLzw(true);
    double totalPlain = 0;
    for (const std::string& f : files) totalPlain += timeSet({f}, rounds, decodeProduct);
    CGif::setPlainLzw(false);
    printf("gif_bench: the plain LZW decoder %.2f ms, ratio plain/giflib %.2f\n", totalPlain * 1e3,
           totalPlain / totalLib);
#else
    double ours = timeSet(files, rounds, decodeProduct);
    printf("gif_bench: pixmill %.2f ms for the set (giflib not found: no ratio)\n", ours * 1e3);
#endif
    for (const std::string& f : files)
        if (!tmp.empty()) deleteFile(f);
    if (!tmp.empty()) rmdir(tmp.c_str());
    return 0;
}
