// SPDX-License-Identifier: MIT
// PNG decoding speed: the product's loadFromPNG against libpng and libspng (8-bit RGBA output) on
// the same files, run against run.
// Usage: png_bench [DIR | FILE.png]   DIR holds *.png (or a png/ folder, as make-corpus.sh writes it);
// without DIR the corpus in $PIXMILL_CORPUS is used, else the benchmark writes its own set of about
// 2000x1500 images with libpng. PngSuite ($PIXMILL_PNGSUITE, default ../shared/testdata/pngsuite)
// is timed as one set, and $PIXMILL_CORPUS/big/big-300mp.png, when present, is decoded row by row.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "picture/RowSink.h"

#if __has_include(<png.h>)
#include "libpng_oracle.h"
#define HAVE_LIBPNG 1
#endif
#if __has_include(<spng.h>) && defined(PIXMILL_HAVE_SPNG)
#include <spng.h>
#define HAVE_SPNG 1
#endif

namespace {

using bench::seconds;

std::vector<std::string> pngFiles(const std::string& dir) {
    return bench::filesIn(dir, ".png");
}

#ifdef HAVE_LIBPNG
// The product's output format from libpng: 8 bits per channel RGBA, palettes and tRNS expanded.
bool libpngDecode(const std::string& path, std::vector<unsigned char>& rgba) {
    int w = 0, h = 0;
    return decodeWithLibpng(path, w, h, rgba);
}

#ifdef HAVE_SPNG
// libspng's 8-bit RGBA with tRNS applied, as libpng's above.
bool spngDecode(const std::string& path, std::vector<unsigned char>& rgba) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    spng_ctx* ctx = spng_ctx_new(0);
    size_t size = 0;
    bool ok =
        ctx && spng_set_png_file(ctx, f) == 0 && spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) == 0;
    if (ok) {
        rgba.resize(size);
        ok = spng_decode_image(ctx, rgba.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) == 0;
    }
    spng_ctx_free(ctx);
    fclose(f);
    return ok;
}

// Every row of a large file, one at a time.
bool spngRows(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_image_limits(ctx, 1u << 20, 1u << 20);
    size_t size = 0;
    spng_ihdr ihdr;
    bool ok =
        spng_set_png_file(ctx, f) == 0 && spng_get_ihdr(ctx, &ihdr) == 0 &&
        spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) == 0 &&
        spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) == 0;
    std::vector<unsigned char> row(size / ihdr.height);
    int r = 0;
    while (ok && (r = spng_decode_row(ctx, row.data(), row.size())) == 0) {
    }
    spng_ctx_free(ctx);
    fclose(f);
    return ok && r == SPNG_EOI;
}
#endif

// Every row of a large file through libpng, one at a time.
bool libpngRows(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_user_limits(png, 1u << 20, 1u << 20);
    std::vector<unsigned char> row;
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
    png_read_update_info(png, info);
    row.resize(png_get_rowbytes(png, info));
    for (png_uint_32 y = 0; y < png_get_image_height(png, info); y++) png_read_row(png, row.data(), nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return true;
}

// The product's streamed decode: every row put into a sink that drops it.
bool pixmillRows(const std::string& path) {
    struct Drop final : RowSink {
        void putRows(int, int, const uint8_t*, size_t) override {}
    } drop;
    std::unique_ptr<ImageSource> source = ImageSource::open(path);
    return source->isOpen() && source->putRows(drop);
}

// Writes 8-bit samples (channels per colour type) or a palette image with libpng.
bool writePng(const std::string& path, int w, int h, int colorType, int depth, bool interlace,
              const std::vector<unsigned char>& rows, const std::vector<png_color>& palette) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, depth, colorType, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
    png_write_info(png, info);
    size_t stride = rows.size() / h;
    std::vector<png_bytep> ptrs(h);
    for (int y = 0; y < h; y++) ptrs[y] = const_cast<png_bytep>(rows.data() + y * stride);
    png_write_image(png, ptrs.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
    return true;
}

// A photo-like value: smooth shapes plus sensor noise.
unsigned char photo(int x, int y, int c, std::mt19937& rng) {
    double v = 128 + 60 * std::sin(x * 0.004 + c) * std::cos(y * 0.006 - c) + 30 * std::sin((x + y) * 0.02);
    return static_cast<unsigned char>(std::clamp(v + int(rng() % 17) - 8, 0.0, 255.0));
}

// A flat-graphics palette index: rectangles and stripes of few colours.
unsigned char flat(int x, int y, int colours) {
    int v = ((x / 97) * 7 + (y / 61) * 3 + ((x + 2 * y) / 400)) % colours;
    return static_cast<unsigned char>((x % 331 < 3 || y % 207 < 2) ? colours - 1 : v);
}

std::vector<std::string> makeSet(const std::string& dir) {
    const int w = 2000, h = 1500;
    std::mt19937 rng(1);
    std::vector<png_color> pal;
    for (int i = 0; i < 256; i++)
        pal.push_back(png_color{png_byte(i * 37), png_byte(i * 91), png_byte(255 - i)});
    std::vector<std::string> out;
    auto add = [&](const char* name, int ct, int depth, bool il, int channels, bool palette, bool isFlat) {
        size_t stride = depth == 4 ? (w + 1) / 2 : size_t(w) * channels * (depth / 8);
        std::vector<unsigned char> rows(stride * h);
        for (int y = 0; y < h; y++) {
            unsigned char* r = rows.data() + y * stride;
            for (int x = 0; x < w; x++) {
                if (palette && depth == 4) {
                    unsigned char v = flat(x, y, 16);
                    r[x / 2] = x % 2 ? (r[x / 2] | v) : static_cast<unsigned char>(v << 4);
                } else if (palette) {
                    r[x] = flat(x, y, 200);
                } else {
                    for (int c = 0; c < channels; c++) {
                        unsigned char v =
                            isFlat ? static_cast<unsigned char>(flat(x, y, 9) * 28 + c * 40)
                                   : (c == 3 ? static_cast<unsigned char>(std::max(
                                                   0, 255 - (std::abs(x - w / 2) + std::abs(y - h / 2)) / 4))
                                             : photo(x, y, c, rng));
                        if (depth == 16) {
                            r[(x * channels + c) * 2] = v;
                            r[(x * channels + c) * 2 + 1] = static_cast<unsigned char>(rng());
                        } else {
                            r[x * channels + c] = v;
                        }
                    }
                }
            }
        }
        std::string path = dir + "/" + name;
        if (writePng(path, w, h, ct, depth, il, rows,
                     palette ? std::vector<png_color>(pal.begin(), pal.begin() + (depth == 4 ? 16 : 200))
                             : std::vector<png_color>{}))
            out.push_back(path);
    };
    add("photo-rgb8.png", PNG_COLOR_TYPE_RGB, 8, false, 3, false, false);
    add("photo-rgba8.png", PNG_COLOR_TYPE_RGBA, 8, false, 4, false, false);
    add("photo-grey8.png", PNG_COLOR_TYPE_GRAY, 8, false, 1, false, false);
    add("photo-greyalpha8.png", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, 2, false, false);
    add("photo-rgb16.png", PNG_COLOR_TYPE_RGB, 16, false, 3, false, false);
    add("photo-rgb8-interlaced.png", PNG_COLOR_TYPE_RGB, 8, true, 3, false, false);
    add("flat-rgb8.png", PNG_COLOR_TYPE_RGB, 8, false, 3, false, true);
    add("flat-palette8.png", PNG_COLOR_TYPE_PALETTE, 8, false, 1, true, true);
    add("flat-palette4.png", PNG_COLOR_TYPE_PALETTE, 4, false, 1, true, true);
    return out;
}

// Best of `repeats` runs of each decoder over the files, run against run; false when the
// product's pixels differ from libpng's.
struct Times {
    double ours = 0, lib = 0, spng = 0;
    bool same = true;
};

Times timeFile(const std::string& path, int repeats) {
    Times t;
    double ours = 1e9, lib = 1e9, sp = 1e9;
    for (int r = 0; r < repeats; r++) {
        double t0 = seconds();
        CPicture pic;
        pic.loadFromPNG(path);
        double t1 = seconds();
        std::vector<unsigned char> rgba;
        bool ok = libpngDecode(path, rgba);
        double t2 = seconds();
#ifdef HAVE_SPNG
        std::vector<unsigned char> rgbaSpng;
        spngDecode(path, rgbaSpng);
        sp = std::min(sp, seconds() - t2);
#endif
        ours = std::min(ours, t1 - t0);
        lib = std::min(lib, t2 - t1);
        // The two must agree, or the timing means nothing.
        size_t n = size_t(pic.width) * pic.height;
        bool same = ok && rgba.size() == n * 4;
        for (size_t i = 0; same && i < n; i++)
            same = pic.pixels[4 * i] == rgba[4 * i + 2] && pic.pixels[4 * i + 1] == rgba[4 * i + 1] &&
                   pic.pixels[4 * i + 2] == rgba[4 * i] && pic.pixels[4 * i + 3] == rgba[4 * i + 3];
        t.same = t.same && same;
    }
    t.ours = ours;
    t.lib = lib;
    t.spng = sp;
    return t;
}

void printLine(const std::string& name, const Times& t) {
#ifdef HAVE_SPNG
    printf("%-32s %9.1f %9.1f %9.1f %8.2f %8.2f%s\n", name.c_str(), t.ours * 1e3, t.lib * 1e3, t.spng * 1e3,
           t.ours / t.lib, t.ours / t.spng, t.same ? "" : "  PIXELS DIFFER");
#else
    printf("%-32s %9.1f %9.1f %9s %8.2f %8s%s\n", name.c_str(), t.ours * 1e3, t.lib * 1e3, "-",
           t.ours / t.lib, "-", t.same ? "" : "  PIXELS DIFFER");
#endif
}

#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef HAVE_LIBPNG
    (void)argc;
    (void)argv;
    puts("png_bench: libpng not found; nothing to compare with");
    return 0;
#else
    std::vector<std::string> files;
    std::string tmp;
    const char* corpusEnv = getenv("PIXMILL_CORPUS");
    const std::string corpus = corpusEnv ? corpusEnv : "/tmp/pixmill-corpus";
    if (argc > 1) {
        std::string arg = argv[1];
        files = pngFiles(arg + "/png");
        if (files.empty()) files = pngFiles(arg);
        if (files.empty() && arg.size() > 4 && arg.substr(arg.size() - 4) == ".png") files.push_back(arg);
    } else {
        files = pngFiles(corpus + "/png");
    }
    if (files.empty() && argc <= 1) {
        char pattern[] = "/tmp/png-bench-XXXXXX";
        if (!mkdtemp(pattern)) return 1;
        tmp = pattern;
        files = makeSet(tmp);
    }
    if (files.empty()) {
        puts("png_bench: no PNG files");
        return 1;
    }
    const int repeats = 3;
    Times total;
    printf("PNG decoding, best of %d; load average %s\n", repeats, bench::loadAverage().c_str());
    printf("%-32s %9s %9s %9s %8s %8s\n", "file", "pixmill", "libpng", "libspng", "/libpng", "/libspng");
    for (const std::string& path : files) {
        const Times t = timeFile(path, repeats);
        total.ours += t.ours;
        total.lib += t.lib;
        total.spng += t.spng;
        total.same = total.same && t.same;
        printLine(path.substr(path.rfind('/') + 1), t);
    }
    printLine("total (ms)", total);
    // PngSuite's files are small: the whole valid set, many times, is one line.
    const char* suiteEnv = getenv("PIXMILL_PNGSUITE");
    std::vector<std::string> suite;
    for (const std::string& f : pngFiles(suiteEnv ? suiteEnv : "../shared/testdata/pngsuite"))
        if (f.substr(f.rfind('/') + 1)[0] != 'x') suite.push_back(f);
    // All of it, and the larger files (2 KiB and more) alone: in the smallest the opening of a
    // file is most of the work.
    Times suiteTotal, largerTotal;
    size_t larger = 0;
    for (const std::string& path : suite) {
        const Times t = timeFile(path, 20);
        suiteTotal.ours += t.ours;
        suiteTotal.lib += t.lib;
        suiteTotal.spng += t.spng;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && info.st_size >= 2048) {
            larger++;
            largerTotal.ours += t.ours;
            largerTotal.lib += t.lib;
            largerTotal.spng += t.spng;
        }
    }
    if (!suite.empty()) printLine("PngSuite (" + std::to_string(suite.size()) + " files)", suiteTotal);
    if (larger > 0) printLine("PngSuite, " + std::to_string(larger) + " files of 2 KiB+", largerTotal);
    const bool fast = total.ours <= 0.70 * total.lib;
#ifdef HAVE_SPNG
    const bool beatsSpng = total.ours <= 0.90 * total.spng;
#else
    const bool beatsSpng = true;
#endif
    printf("  corpus: %.2fx libpng's time%s, %.2fx libspng's%s\n", total.ours / total.lib,
           fast ? "" : "  ABOVE 0.70x", total.ours / total.spng, beatsSpng ? "" : "  ABOVE 0.90x");
    // A 300-megapixel file, decoded row by row by all three (one run each: it is large).
    const std::string big = corpus + "/big/big-300mp.png";
    if (FILE* f = fopen(big.c_str(), "rb")) {
        fclose(f);
        double t0 = seconds();
        const bool okOurs = pixmillRows(big);
        double t1 = seconds();
        const bool okLib = libpngRows(big);
        double t2 = seconds();
        double tSpng = 0;
#ifdef HAVE_SPNG
        spngRows(big);
        tSpng = seconds() - t2;
#endif
        printf("  300 MP PNG, row by row: pixmill %.2f s, libpng %.2f s (%.2fx), libspng %.2f s (%.2fx)%s\n",
               t1 - t0, t2 - t1, (t1 - t0) / (t2 - t1), tSpng, tSpng > 0 ? (t1 - t0) / tSpng : 0.0,
               okOurs && okLib ? "" : "  FAILED");
    }
    if (!tmp.empty() && !getenv("PNG_BENCH_KEEP")) {
        for (const std::string& f : files) unlink(f.c_str());
        rmdir(tmp.c_str());
    } else if (!tmp.empty()) {
        printf("kept in %s\n", tmp.c_str());
    }
    return 0;
#endif
}
