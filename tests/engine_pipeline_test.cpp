// SPDX-License-Identifier: MIT
// Jobs decode straight into the resampler, turn while decoding, and cut rows as they pass. Their
// output must be what the plain steps give: load the whole picture, turn it with rotate90, cut it
// its bytes into a new picture, resample it with the literal resampler. Turns and cuts keep the
// picture's transparency mode. Checked on every format,
// rotation, crop mode, size, filter and kernel width, and on files that end early.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine_testutil.h"
#include "gif_recipe.h"
#include "literal_resize.h"
#include "picture/ResampleWidth.h"
#include "tools/modTools.h"

#if defined(PIXMILL_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace {

struct Settings {
    int32_t rotate, crop, quality;
    std::string resolution;
};

// ---- The plain steps, written out ----

int plainTurnCode(const CPicture& p, const std::string& path, const Settings& s) {
    if (s.rotate == Rotation::ByExif) {
        if (!isRightCI(path, "jpg") && !isRightCI(path, "jpeg")) return 0;
        const std::string o = orientationOf(path);
        return o == "6" ? 6 : o == "8" ? 8 : o == "3" ? 3 : 0;
    }
    if (s.rotate == Rotation::Landscape) return p.height > p.width ? 6 : 0;
    if (s.rotate == Rotation::LandscapeCcw) return p.height > p.width ? 8 : 0;
    if (s.rotate == Rotation::Portrait) return p.width > p.height ? 6 : 0;
    return 0;
}

PicturePtr cutOut(CPicture& p, int w, int h, int x, int y) {
    PicturePtr part(new CPicture(w, h));
    for (int r = 0; r < h; ++r) memcpy(part->pixelAt(0, r), p.pixelAt(x, y + r), size_t(w) * 4);
    part->transparencyMode = p.transparencyMode;
    return part;
}

// The result picture of a job, or null where the job fails to open the file.
PicturePtr plainResult(const std::string& path, const Settings& s) {
    PicturePtr p = loadPicture(path);
    if (p->isEmpty()) return nullptr;
    if (int code = plainTurnCode(*p, path, s)) {
        const int32_t mode = p->transparencyMode;
        p.reset(p->rotate90(code));
        p->transparencyMode = mode;
    }
    int W = 0, H = 0;
    std::vector<std::string> sides = strsplit(s.resolution, "x");
    if (sides.size() == 2) {
        W = strToInt(sides[0]);
        H = strToInt(sides[1]);
    } else {
        W = int(p->width * strToDbl(s.resolution) / 100);
        H = int(p->height * strToDbl(s.resolution) / 100);
    }
    const int w = p->width, h = p->height;
    if (s.crop == CropMode::NoCrop) {
        double e = double(W) / w * h;
        if (e > H)
            W = int(double(w * H) / h + 0.5);
        else
            H = int(e + 0.5);
    } else if (s.crop == CropMode::Crop) {
        if (double(w) / h > double(W) / H) {
            int nw = int(double(h * W) / H);
            if (nw < w) p = cutOut(*p, std::max(nw, 1), h, w / 2 - std::max(nw, 1) / 2, 0);
        } else {
            int nh = int(double(w * H) / W);
            if (nh < h) p = cutOut(*p, w, std::max(nh, 1), 0, h / 2 - std::max(nh, 1) / 2);
        }
    }
    if (W == p->width && H == p->height) return cutOut(*p, W, H, 0, 0);
    PicturePtr out(new CPicture(W, H));
    const int filter = s.quality == ResizeQuality::Basic ? 1 : s.quality == ResizeQuality::Best ? 3 : 2;
    literal::resizeStatic(p.get(), out.get(), filter);
    return out;
}

// ---- Source files ----

// Smooth with some noise and a sharp edge, so every filter's lobes matter.
PicturePtr photoLike(int w, int h, int seed) {
    uint32_t r = uint32_t(seed) * 2654435761u + 7;
    return makePicture(w, h, [&](int x, int y) {
        r = r * 1664525u + 1013904223u;
        return Bgr{uint8_t(x * 255 / w + (r >> 29)), uint8_t(y * 255 / h), uint8_t(x > w / 3 ? 230 : 20)};
    });
}

void setAlpha(CPicture& p, bool partial) {
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            p.pixelAt(x, y)[3] = partial ? uint8_t((x * 37 + y * 11) & 255) : ((x + y) % 3 ? 255 : 0);
    p.transparencyMode = partial ? TRANSPARENCY_ALPHA : TRANSPARENCY_MASK;
}

#if defined(PIXMILL_HAVE_ZLIB)
void chunk(std::string& out, const char* type, const std::string& data) {
    auto be32 = [&out](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out += char(v >> s);
    };
    be32(uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    be32(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

// A non-interlaced 8-bit RGB (or RGBA) PNG of the picture, rows with filter types 0 to 4 in turn;
// `keep` below 1 cuts the compressed data to that share.
std::string pngOf(const CPicture& p, bool alpha, double keep = 1.0) {
    const int n = alpha ? 4 : 3;
    std::string raw;
    std::vector<uint8_t> prev(size_t(p.width) * n, 0), cur(prev.size());
    for (int y = 0; y < p.height; ++y) {
        const int type = y % 5;
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* px = p.pixelAt(x, y);
            const uint8_t v[4] = {px[2], px[1], px[0], px[3]};
            for (int c = 0; c < n; ++c) cur[size_t(x) * n + c] = v[c];
        }
        raw += char(type);
        for (size_t i = 0; i < cur.size(); ++i) {
            int a = i >= size_t(n) ? cur[i - n] : 0, b = prev[i], c = i >= size_t(n) ? prev[i - n] : 0;
            int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            int pred = type == 1   ? a
                       : type == 2 ? b
                       : type == 3 ? (a + b) / 2
                       : type == 4 ? (pa <= pb && pa <= pc ? a
                                      : pb <= pc           ? b
                                                           : c)
                                   : 0;
            raw += char(cur[i] - pred);
        }
        prev = cur;
    }
    std::vector<Bytef> z(compressBound(uLong(raw.size())));
    uLongf zlen = uLongf(z.size());
    compress2(z.data(), &zlen, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 9);
    std::string out("\x89PNG\r\n\x1a\n", 8), ihdr;
    for (uint32_t v : {uint32_t(p.width), uint32_t(p.height)})
        for (int s = 24; s >= 0; s -= 8) ihdr += char(v >> s);
    ihdr += std::string{8, char(alpha ? 6 : 2), 0, 0, 0};
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", std::string(reinterpret_cast<char*>(z.data()), size_t(double(zlen) * keep)));
    chunk(out, "IEND", "");
    return out;
}
#endif

std::string gifOf(int w, int h) {
    std::vector<uint8_t> table;
    for (int i = 0; i < 16; ++i)
        table.insert(table.end(), {uint8_t(i * 16), uint8_t(255 - i * 9), uint8_t(i * 5)});
    gifrecipe::Image im;
    im.width = w;
    im.height = h;
    for (int i = 0; i < w * h; ++i) im.pixels.push_back(uint8_t((i % w / 3 + i / w / 2) % 16));
    im.lzw.minCodeSize = 4;
    gifrecipe::GifBuilder b;
    b.header(w, h, table).control(0, true, 5).image(im).trailer();
    return b.str();
}

class Pipeline : public ::testing::Test {
  protected:
    TempDir settings, dir;
    Pixmill engine{settings.path()};
    std::vector<std::string> sources;
    int outputs = 0;

    void SetUp() override {
        // Landscape and portrait, odd sizes.
        PicturePtr wide = photoLike(45, 29, 1), tall = photoLike(27, 38, 2);
        const std::pair<const char*, int> jpegs[] = {
            {"up.jpg", 1}, {"cw.jpg", 6}, {"ccw.jpg", 8}, {"half.JPEG", 3}};
        for (auto& j : jpegs)
            add(j.first,
                [&](const std::string& f) { return saveJpeg(*wide, f, exifWithOrientation(j.second)); });
        add("tall.jpg", [&](const std::string& f) { return saveJpeg(*tall, f); });
        add("wide.bmp", [&](const std::string& f) { return wide->saveToBMP(f); });
        PicturePtr alpha = photoLike(31, 22, 3);
        setAlpha(*alpha, true);
        add("alpha.bmp", [&](const std::string& f) { return alpha->saveToBMP(f); });
        add("gif.gif", [&](const std::string& f) { return writeBytes(f, gifOf(33, 26)); });
        // A JPEG cut short: libjpeg fills the rest and goes on.
        std::string cut = readBytes(sources[0]);
        add("cut.jpg",
            [&](const std::string& f) { return writeBytes(f, cut.substr(0, cut.size() * 3 / 4)); });
#if defined(PIXMILL_HAVE_ZLIB)
        PicturePtr mask = photoLike(29, 33, 4);
        setAlpha(*mask, false);
        add("rgb.png", [&](const std::string& f) { return writeBytes(f, pngOf(*wide, false)); });
        add("alpha.png", [&](const std::string& f) { return writeBytes(f, pngOf(*alpha, true)); });
        add("mask.png", [&](const std::string& f) { return writeBytes(f, pngOf(*mask, true)); });
        add("cut.png", [&](const std::string& f) { return writeBytes(f, pngOf(*tall, false, 0.6)); });
#endif
    }

    template <class Write>
    void add(const std::string& name, Write write) {
        ASSERT_TRUE(write(dir.file(name))) << name;
        sources.push_back(dir.file(name));
    }

    void expectPlainOutput(const std::string& source, const Settings& s, const std::string& type) {
        engine.rotate = s.rotate;
        engine.cropMode = s.crop;
        engine.resizeQuality = s.quality;
        // New names each time: replacing a file waits for the disk.
        const std::string n = std::to_string(++outputs);
        const std::string out = dir.file("out" + n + "." + type), want = dir.file("want" + n + "." + type);
        std::unique_ptr<ImageResizeTask> task = runJob(engine, source, out, s.resolution);
        PicturePtr plain = plainResult(source, s);
        SCOPED_TRACE(testing::Message()
                     << getFileName(source) << " rotate " << s.rotate << " crop " << s.crop << " quality "
                     << s.quality << " " << s.resolution << " width " << resampleWidth() << " " << type);
        if (!plain) {
            EXPECT_EQ(task->message, "Error opening " + source);
            return;
        }
        ASSERT_FALSE(task->failed) << task->message;
        if (type == "bmp") {
            ASSERT_TRUE(plain->saveToBMP(want));
        } else {
            // The job writes the source's EXIF block, patched when it turned the picture.
            Exif exif;
            if (isRightCI(source, "jpg") || isRightCI(source, "jpeg")) exif.loadFromJPG(source);
            if (exif.loaded && plainTurnCode(*loadPicture(source), source, s) && s.rotate == Rotation::ByExif)
                exif.setField(274, 1);
            if (exif.loaded) plain->exifBlock = exif.exifBlock;
            ASSERT_TRUE(plain->saveToJPG(want, engine.jpegQuality));
        }
        EXPECT_TRUE(readBytes(out) == readBytes(want));
    }
};

}  // namespace

TEST_F(Pipeline, EveryPathGivesThePlainStepsOutput) {
    const std::string sizes[] = {"17x11", "70x52", "100%", "23x31", "41%"};
    const int32_t rotations[] = {Rotation::None, Rotation::ByExif, Rotation::Landscape, Rotation::Portrait};
    const int32_t qualities[] = {ResizeQuality::Basic, ResizeQuality::High, ResizeQuality::Best};
    int turn = 0;
    for (int width : {1, 4, 8, 16, 32}) {
        if (width > resampleWidthAvailable()) continue;
        setResampleWidth(width);
        for (const std::string& source : sources)
            for (int32_t crop : {CropMode::NoCrop, CropMode::Crop, CropMode::Stretch})
                for (const std::string& size : sizes) {
                    ++turn;
                    Settings s{rotations[turn % 4], crop, qualities[turn / 4 % 3], size};
                    expectPlainOutput(source, s, "bmp");
                }
    }
    setResampleWidth(0);
}

// Turned jobs resample the source's own rows: every turn, cut and filter against turning first.
TEST_F(Pipeline, TurnedJobsGiveThePlainStepsOutput) {
    struct Turn {
        const char* source;
        int32_t rotate;
    };
    const Turn turns[] = {{"cw.jpg", Rotation::ByExif},          {"ccw.jpg", Rotation::ByExif},
                          {"half.JPEG", Rotation::ByExif},       {"tall.jpg", Rotation::LandscapeCcw},
                          {"alpha.bmp", Rotation::Portrait},     {"gif.gif", Rotation::Portrait},
#if defined(PIXMILL_HAVE_ZLIB)
                          {"mask.png", Rotation::Landscape},     {"cut.png", Rotation::LandscapeCcw},
#endif
    };
    for (int width : {1, resampleWidthAvailable()}) {
        setResampleWidth(width);
        for (const Turn& t : turns)
            for (int32_t crop : {CropMode::NoCrop, CropMode::Crop, CropMode::Stretch})
                for (int32_t quality : {ResizeQuality::Basic, ResizeQuality::High, ResizeQuality::Best})
                    for (const char* size : {"17x11", "9x40", "64x48", "37%"})
                        expectPlainOutput(dir.file(t.source), Settings{t.rotate, crop, quality, size}, "bmp");
    }
    setResampleWidth(0);
}

TEST_F(Pipeline, JpegOutputIsThePlainStepsFile) {
    for (const std::string& source : sources)
        expectPlainOutput(source, Settings{Rotation::ByExif, CropMode::Crop, ResizeQuality::High, "30x20"},
                          "jpg");
}
