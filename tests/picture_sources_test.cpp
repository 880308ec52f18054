// SPDX-License-Identifier: MIT
// WebP and TIFF sources over the conformance folders: WebP against dwebp's pixels, TIFF against
// Pillow's (or a plain reading of 16-bit samples), with every file's expected outcome in a table.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "picture/ImageSource.h"
#include "picture/RowSink.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

struct Decoded {
    bool decoded = false;
    std::string failure, warning;
    int width = 0, height = 0, frames = 1, orientation = 0;
    int32_t mode = TRANSPARENCY_NONE;
    std::vector<uint8_t> bgra;
};

Decoded decode(const std::string& path) {
    Decoded d;
    std::unique_ptr<ImageSource> source = ImageSource::open(path);
    if (source->isOpen()) {
        CPicture picture;
        picture.create(source->width, source->height);
        PictureRows rows(picture);
        try {
            d.decoded = source->putRows(rows);
        } catch (const std::bad_alloc&) {
            return d;  // as a job fails for want of memory
        }
        d.width = picture.width;
        d.height = picture.height;
        d.bgra.assign(picture.pixels, picture.pixels + size_t(d.width) * d.height * 4);
    }
    d.failure = source->failure();
    d.warning = source->warning();
    d.frames = source->frameCount;
    d.mode = source->mode;
    d.orientation = source->orientation;
    return d;
}

std::vector<std::string> filesIn(const std::string& folder, const std::string& ending) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && name.size() > ending.size() &&
                name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// An RGBA picture read from a PAM (P7) file; empty when there is none.
struct Rgba {
    int width = 0, height = 0;
    std::string bytes;
};

Rgba readPam(const std::string& path) {
    Rgba r;
    const std::string file = readBytes(path);
    const size_t end = file.find("ENDHDR\n");
    if (file.compare(0, 3, "P7\n") != 0 || end == std::string::npos) return r;
    const std::string header = file.substr(0, end);
    auto value = [&](const char* key) {
        const size_t at = header.find(key);
        return at == std::string::npos ? 0 : atoi(header.c_str() + at + strlen(key));
    };
    if (value("DEPTH ") != 4 || value("MAXVAL ") != 255) return r;
    r.width = value("WIDTH ");
    r.height = value("HEIGHT ");
    r.bytes = file.substr(end + 7);
    if (r.bytes.size() != size_t(r.width) * r.height * 4) r = Rgba();
    return r;
}

// The largest difference of a sample between the decode and the RGBA reference; alpha counts only
// for a transparent decode (an opaque one ignores what the reference has there).
int largestDifference(const Decoded& d, const Rgba& reference) {
    int most = 0;
    const bool alpha = d.mode != TRANSPARENCY_NONE;
    for (size_t i = 0; i < size_t(d.width) * d.height; ++i) {
        const uint8_t* p = &d.bgra[i * 4];
        const uint8_t* q = reinterpret_cast<const uint8_t*>(&reference.bytes[i * 4]);
        // Colours under full transparency carry no meaning.
        if (alpha && p[3] == 0 && q[3] == 0) continue;
        for (int c = 0; c < 3; ++c) most = std::max(most, std::abs(int(p[2 - c]) - int(q[c])));
        if (alpha) most = std::max(most, std::abs(int(p[3]) - int(q[3])));
    }
    return most;
}

}  // namespace

// Every file of the WebP suite gives dwebp's pixels exactly; a file dwebp refuses fails here too,
// unless it is an animation (dwebp reads none) or was cut short (the rows before the cut are kept).
TEST(WebpSource, EveryFileOfTheSuiteGivesDwebpsPixels) {
    const std::string folder = testdataDir() + "/webp";
    const std::vector<std::string> names = filesIn(folder, ".webp");
    if (testdataDir().empty() || names.empty()) GTEST_SKIP() << "no WebP test files";
    if (system("command -v dwebp >/dev/null") != 0) GTEST_SKIP() << "no dwebp";
    TempDir dir;
    int compared = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string pam = dir.file(name + ".pam");
        const std::string command =
            "dwebp -quiet -pam '" + folder + "/" + name + "' -o '" + pam + "' 2>/dev/null";
        const bool dwebpRead = system(command.c_str()) == 0;
        const Decoded d = decode(folder + "/" + name);
        if (!dwebpRead) {
            EXPECT_TRUE(!d.decoded || !d.warning.empty() || d.frames > 1) << "decoded what dwebp refuses";
            if (!d.decoded) {
                EXPECT_FALSE(d.failure.empty());
            }
            continue;
        }
        ASSERT_TRUE(d.decoded) << d.failure;
        EXPECT_EQ(d.warning, "");
        const Rgba reference = readPam(pam);
        ASSERT_EQ(reference.width, d.width);
        ASSERT_EQ(reference.height, d.height);
        EXPECT_EQ(largestDifference(d, reference), 0);
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

// Files cut short keep the rows before the cut: "the file ends early: N of M rows decoded", the N
// rows the whole file's, the rest zero. A cut too early fails saying why (WebP's first bytes); TIFF
// files whose directory comes first, through our own reading and libtiff's RGBA reader (JPEG in
// strips and tiles).
TEST(Sources, AFileCutShortKeepsTheRowsBeforeTheCut) {
    if (testdataDir().empty()) GTEST_SKIP() << "no test files";
    const std::pair<const char*, double> cases[] = {{"webp/test.webp", 0.01},
                                                    {"webp/test.webp", 0.5},
                                                    {"webp/test.webp", 0.9},
                                                    {"tiff/hopper.iccprofile.tif", 5 / 6.0},
                                                    {"tiff/tiff_strip_ycbcr_jpeg_2x2_sampling.tif", 5 / 6.0},
                                                    {"tiff/tiff_tiled_ycbcr_jpeg_2x2_sampling.tif", 5 / 6.0}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + std::to_string(c.second));
        const std::string whole = readBytes(testdataDir() + "/" + c.first);
        const Decoded full = decode(testdataDir() + "/" + c.first);
        ASSERT_TRUE(full.decoded);
        ASSERT_TRUE(
            writeBytes(dir.file(getFileName(c.first)), whole.substr(0, size_t(whole.size() * c.second))));
        const Decoded d = decode(dir.file(getFileName(c.first)));
        if (c.second < 0.1) {
            EXPECT_TRUE(!d.decoded && !d.failure.empty());
            continue;
        }
        int rows = 0, of = 0;
        ASSERT_EQ(sscanf(d.warning.c_str(), "the file ends early: %d of %d rows decoded", &rows, &of), 2)
            << d.warning << d.failure;
        EXPECT_EQ(of, full.height);
        ASSERT_GT(rows, 0);
        const long kept = long(rows) * full.width * 4;
        EXPECT_TRUE(std::equal(d.bgra.begin(), d.bgra.begin() + kept, full.bgra.begin()));
        EXPECT_TRUE(std::all_of(d.bgra.begin() + kept, d.bgra.end(), [](uint8_t v) { return v == 0; }));
    }
}

// Pillow's decodes of the TIFF suite: for each file name.rgba (RGBA) and name.size ("W H"); 16-bit
// grey is reduced here with the rounding the source uses, since Pillow would clip it.
const char* const kPillowReader = R"(
import os, sys
import numpy as np
from PIL import Image
src, out = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(src)):
    try:
        im = Image.open(os.path.join(src, name))
        im.seek(0)
        im.load()
        if im.mode.startswith('I;16'):
            v = ((np.asarray(im).astype(np.uint64) * 255 + 32767) // 65535).astype(np.uint8)
            rgba = np.dstack([v, v, v, np.full_like(v, 255)])
        else:
            rgba = np.asarray(im.convert('RGBA'))
        open(os.path.join(out, name + '.rgba'), 'wb').write(rgba.tobytes())
        open(os.path.join(out, name + '.size'), 'w').write('%d %d' % (rgba.shape[1], rgba.shape[0]))
    except Exception:
        pass
)";

// The outcome of every file of the TIFF suite: "ok" (decoded whole), "damaged" (decoded with a
// warning) or "failed"; and the largest sample difference from Pillow's decode (-1: not compared,
// because Pillow cannot read the file or reads it otherwise, as noted).
struct TiffCase {
    const char* name;
    const char* outcome;
    int difference;
};

#include "picture_tiff_suite_table.inc"

TEST(TiffSource, EveryFileOfTheSuiteHasItsRecordedOutcome) {
    const std::string folder = testdataDir() + "/tiff";
    const std::vector<std::string> names = filesIn(folder, "");
    if (testdataDir().empty() || names.empty()) GTEST_SKIP() << "no TIFF test files";
    TempDir dir;
    const std::string script = dir.file("read.py");
    ASSERT_TRUE(writeBytes(script, std::string(kPillowReader)));
    const bool pillow =
        system(("/usr/bin/python3 '" + script + "' '" + folder + "' '" + dir.path() + "'").c_str()) == 0;
    std::map<std::string, const TiffCase*> table;
    for (const TiffCase& c : kTiffSuite) table[c.name] = &c;
    const bool print = getenv("PIXMILL_PRINT_TIFF_TABLE") != nullptr;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Decoded d = decode(folder + "/" + name);
        const std::string outcome = !d.decoded ? "failed" : d.warning.empty() ? "ok" : "damaged";
        if (!d.decoded) {
            EXPECT_FALSE(d.failure.empty());
        }
        int difference = -1;
        const std::string size = readBytes(dir.file(name + ".size"));
        int w = 0, h = 0;
        if (d.decoded && pillow && sscanf(size.c_str(), "%d %d", &w, &h) == 2 && w == d.width &&
            h == d.height) {
            Rgba reference;
            reference.bytes = readBytes(dir.file(name + ".rgba"));
            if (reference.bytes.size() == size_t(w) * h * 4) difference = largestDifference(d, reference);
        }
        if (print) printf("    {\"%s\", \"%s\", %d},\n", name.c_str(), outcome.c_str(), difference);
        auto row = table.find(name);
        if (row == table.end()) {
            ADD_FAILURE() << "not in the table: " << outcome << " " << difference;
            continue;
        }
        EXPECT_EQ(outcome, row->second->outcome) << d.failure << d.warning;
        if (pillow && row->second->difference >= 0) {
            EXPECT_LE(difference, row->second->difference);
        }
    }
}
