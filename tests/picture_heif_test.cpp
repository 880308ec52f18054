// SPDX-License-Identifier: MIT
// HEIF, HEIC and AVIF sources: pixels as libheif's own heif-convert gives them, the metadata the
// files carry, cut files, and the fuzzing corpus of crashers.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "decoded_oracle.h"
#include "picture/ColourProfile.h"
#include "picture/ImageSource.h"
#include "testsupport.h"

namespace {

class NoRows final : public RowSink {
  public:
    void putRows(int, int, const uint8_t*, size_t) override {}
};

std::string folder(const std::string& name) {
    const std::string root = testdataDir();
    return root.empty() ? std::string() : root + "/" + name;
}

// heif-convert's PNG of the primary image; it numbers the images of a file that holds several.
bool convertWithTool(const std::string& file, const TempDir& dir, std::string& png) {
    png = dir.file("ref.png");
    remove(png.c_str());
    remove(dir.file("ref-1.png").c_str());
    const std::string command = "heif-convert '" + file + "' '" + png + "' >/dev/null 2>&1";
    if (system(command.c_str()) != 0) return false;
    if (!readBytes(png).empty()) return true;
    png = dir.file("ref-1.png");
    return !readBytes(png).empty();
}

}  // namespace

// Every conformance file decodes to heif-convert's pixels (one step apart at most above 8 bits,
// where heif-convert widens by shifting and we round), or fails with a cause where it fails too.
TEST(HeifSource, DecodesAsHeifConvert) {
    const std::string heif = folder("heif"), avif = folder("avif");
    std::vector<std::string> files = filesEndingIn(heif, {".heic", ".heif", ".avif"}, false);
    // Of the 64 fox files, the odd-sized colour ones cover every profile, depth and chroma layout,
    // and one deep grey one the monochrome path.
    for (const std::string& f : filesEndingIn(avif, {".avif"})) {
        const bool fox = f.find("/fox.") != std::string::npos;
        const bool odd = f.find("odd-width.odd-height") != std::string::npos;
        const bool grey = f.find("monochrome") != std::string::npos;
        if (!fox || (odd && (!grey || f.find("12bpc.yuv420") != std::string::npos))) files.push_back(f);
    }
    if (files.empty()) GTEST_SKIP() << "no HEIF or AVIF test files";
    if (!haveTool("heif-convert")) GTEST_SKIP() << "heif-convert missing (libheif-examples)";
    TempDir dir;
    int compared = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::unique_ptr<ImageSource> source = ImageSource::open(file);
        std::string why, png;
        std::unique_ptr<CPicture> picture = decodeThroughSource(*source, why);
        // The larger pictures (4K, grids) take the same paths as the smaller ones and cost
        // heif-convert seconds each: they must decode, the smaller ones are compared.
        if (uint64_t(source->width) * uint64_t(source->height) > (uint64_t(3) << 19)) {
            EXPECT_FALSE(picture->isEmpty()) << why;
            continue;
        }
        int w = 0, h = 0;
        std::vector<uint8_t> rgba;
        if (!convertWithTool(file, dir, png) || !readReferencePng(png, w, h, rgba)) {
            EXPECT_TRUE(picture->isEmpty());
            EXPECT_FALSE(why.empty());
            continue;
        }
        // A layered AV1 picture can code another size than the file declares (Xiph's quebec): the
        // memory was reserved for the declared size, so such a file fails.
        if (source->isOpen() && (source->width != w || source->height != h)) {
            EXPECT_TRUE(picture->isEmpty());
            EXPECT_NE(why.find("declared size"), std::string::npos) << why;
            continue;
        }
        ASSERT_FALSE(picture->isEmpty()) << why;
        EXPECT_TRUE(source->oriented);
        const bool deep = file.find("bpc") != std::string::npos && file.find("8bpc") == std::string::npos;
        const int difference = largestDifference(*picture, w, h, rgba);
        EXPECT_GE(difference, 0) << picture->width << "x" << picture->height << " against " << w << "x" << h;
        EXPECT_LE(difference, deep || file.find("10bit") != std::string::npos ? 1 : 0);
        ++compared;
    }
    EXPECT_GT(compared, 0);
}

// What the files carry besides pixels, a draft from the thumbnail, and what the job reserves.
TEST(HeifSource, MetadataThumbnailsAndMemory) {
    const std::string avif = folder("avif/Microsoft"), heic = folder("heif/example.heic");
    if (readBytes(heic).empty() || readBytes(avif + "/Tomsk_with_thumbnails.avif").empty())
        GTEST_SKIP() << "no HEIF test files";
    std::unique_ptr<ImageSource> example = ImageSource::open(heic);
    ASSERT_TRUE(example->isOpen());
    EXPECT_EQ(example->frameCount, 2);
    EXPECT_GE(example->decoderBytes(), uint64_t(1280) * 854 * 4);

    std::unique_ptr<ImageSource> hdr =
        ImageSource::open(avif + "/Chimera_10bit_cropped_to_1920x1008_with_HDR_metadata.avif");
    ASSERT_TRUE(hdr->isOpen());
    EXPECT_EQ(hdr->note, "HDR picture: tones not mapped");
    EXPECT_EQ(hdr->exifBlock.compare(0, 4, "II*\0", 4), 0);

    std::unique_ptr<ImageSource> tomsk = ImageSource::open(avif + "/Tomsk_with_thumbnails.avif");
    EXPECT_FALSE(tomsk->reduceTo(400, 200));
    EXPECT_EQ(tomsk->width, 1280);
    EXPECT_TRUE(tomsk->reduceTo(300, 150));
    EXPECT_EQ(tomsk->width, 320);
    EXPECT_EQ(tomsk->height, 180);
    std::string why;
    EXPECT_FALSE(decodeThroughSource(*tomsk, why)->isEmpty()) << why;

    // libheif checks every extent against the file's end when it opens it: a cut file fails.
    TempDir dir;
    const std::string whole = readBytes(heic);
    ASSERT_TRUE(writeBytes(dir.file("cut.heic"), whole.substr(0, whole.size() / 2)));
    std::unique_ptr<ImageSource> cut = ImageSource::open(dir.file("cut.heic"));
    EXPECT_FALSE(cut->isOpen());
    EXPECT_NE(cut->failure().find("end of file"), std::string::npos) << cut->failure();
}

// Crashers and minimal files found by fuzzing libheif fail with a cause or decode, and neither
// libheif nor its decoders print anything.
TEST(HeifSource, FuzzingCorpusFailsCleanlyOrDecodes) {
    std::vector<std::string> files =
        filesEndingIn(folder("heif/fuzz-corpus"), {".heic", ".heif", ".avif"}, false);
    if (files.empty()) GTEST_SKIP() << "no HEIF fuzzing corpus";
    // Our own regression inputs, among them damaged AV1 data that dav1d would report on stderr.
    for (const std::string& f :
         filesEndingIn(PIXMILL_SOURCE_DIR "/fuzz/corpus/heif_fuzz", {".heic", ".avif"}, false))
        files.push_back(f);
    TempDir dir;
    StderrCapture printed(dir.file("stderr"));
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::unique_ptr<ImageSource> source = ImageSource::open(file);
        if (source->isOpen() && uint64_t(source->width) * uint64_t(source->height) > (uint64_t(1) << 26))
            continue;
        NoRows rows;
        if (!source->isOpen() || !source->putRows(rows)) {
            EXPECT_FALSE(source->failure().empty());
        }
    }
    EXPECT_EQ(printed.text(), "");
}

// A Display P3 description becomes a profile whose red is P3's (D50-adapted, as ICC stores it);
// sRGB needs none, and HDR transfers get none.
TEST(HeifSource, ProfilesBuiltFromNclx) {
    const float p3[8] = {0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.3127f, 0.3290f};
    const float srgb[8] = {0.640f, 0.330f, 0.300f, 0.600f, 0.150f, 0.060f, 0.3127f, 0.3290f};
    EXPECT_EQ(iccProfileForNclx(1, 13, srgb), "");
    EXPECT_EQ(iccProfileForNclx(9, 16, p3), "");
    const std::string icc = iccProfileForNclx(12, 13, p3);
    ASSERT_TRUE(isRgbProfile(icc));
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    ASSERT_NE(profile, nullptr);
    const cmsCIEXYZ* red = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigRedColorantTag));
    ASSERT_NE(red, nullptr);
    EXPECT_NEAR(red->X, 0.5151, 0.002);
    EXPECT_NEAR(red->Y, 0.2412, 0.002);
    cmsCloseProfile(profile);
}
