// SPDX-License-Identifier: MIT
// The output settings: size words and never enlarging, nearest neighbour, and that every setting at
// its default leaves each output byte as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "cli_support.h"
#include "engine/OutputPlan.h"
#include "engine/Pixmill.h"
#include "engine/Settings.h"
#include "picture/NearestRows.h"

namespace {

uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

TEST(OutputPlan, SizeWordsAndNeverEnlarge) {
    struct Row {
        const char* size;
        int32_t crop;
        bool noEnlarge;
        int32_t w, h, W, H;
        bool copy;
    };
    const Row rows[] = {
        {"1024x768", CropMode::NoCrop, false, 800, 600, 1024, 768, false},
        {"2048", CropMode::NoCrop, false, 4000, 3000, 2048, 1536, false},
        {"2048", CropMode::NoCrop, false, 3000, 4000, 1536, 2048, false},
        {"2048", CropMode::Crop, false, 3000, 4000, 1536, 2048, false},  // the long edge always fits
        {"800x", CropMode::Stretch, false, 4000, 3000, 800, 600, false},
        {" x600", CropMode::NoCrop, false, 4000, 3000, 800, 600, false},
        {"50%", CropMode::NoCrop, false, 1001, 333, 499, 166, false},
        {"2048", CropMode::NoCrop, true, 1000, 500, 1000, 500, true},
        {"2048", CropMode::NoCrop, true, 4000, 1000, 2048, 512, false},
        {"800x", CropMode::NoCrop, true, 640, 480, 640, 480, true},
        {"1024x768", CropMode::Crop, true, 400, 400, 400, 300, true},  // the cut keeps its size
        {"100x1000", CropMode::Stretch, true, 400, 300, 100, 300, false},
        {"200%", CropMode::NoCrop, true, 30, 20, 30, 20, true},
        {"640", CropMode::NoCrop, false, 640, 480, 640, 480, true},
    };
    for (const Row& row : rows) {
        const Plan plan = planFor(row.size, row.crop, row.noEnlarge, row.w, row.h);
        EXPECT_EQ(plan.W, row.W) << row.size << " " << row.w << "x" << row.h;
        EXPECT_EQ(plan.H, row.H) << row.size << " " << row.w << "x" << row.h;
        EXPECT_EQ(plan.copy, row.copy) << row.size;
    }
    EXPECT_EQ(parseSizeWord("800x").kind, SizeWord::Width);
    EXPECT_EQ(parseSizeWord("x600").kind, SizeWord::Height);
    EXPECT_EQ(parseSizeWord("12").kind, SizeWord::Long);
    EXPECT_EQ(parseSizeWord("800X600").kind, SizeWord::Other);
}

// The plain version: each output pixel copies the source pixel at its sample position.
void literalNearest(const CPicture& src, CPicture& dst) {
    const double sx = double(src.width) / dst.width, sy = double(src.height) / dst.height;
    double y = 0;
    for (int i = 0; i < dst.height; ++i, y += sy) {
        double x = 0;
        for (int j = 0; j < dst.width; ++j, x += sx)
            if (x < src.width && y < src.height) memcpy(dst.pixelAt(j, i), src.pixelAt(int(x), int(y)), 4);
    }
}

TEST(OutputPlan, NearestEqualsItsLiteralVersionTurnedOrNot) {
    std::mt19937 random(7);
    const int sizes[][4] = {{7, 5, 21, 15}, {64, 48, 5, 3}, {33, 17, 33, 17}, {10, 10, 23, 9}};
    for (const auto& s : sizes) {
        CPicture src(s[0], s[1]);
        for (size_t i = 0; i < size_t(s[0]) * s[1] * 4; ++i) src.pixels[i] = uint8_t(random());
        for (int turn : {0, 6, 8, 3}) {
            std::unique_ptr<CPicture> turned(turn ? src.rotate90(turn) : nullptr);
            const CPicture& seen = turned ? *turned : src;
            CPicture expected(s[2], s[3]), got(s[2], s[3]);
            literalNearest(seen, expected);
            NearestRows rows(src.width, src.height, got, 4, turn);
            putPictureRows(src, rows);
            EXPECT_EQ(0, memcmp(expected.pixels, got.pixels, size_t(s[2]) * s[3] * 4)) << s[0] << " " << turn;
        }
    }
}

// Outputs of pixmill-cli with every new setting at its default, pinned by their FNV-1a hashes as
// written before those settings existed.
TEST(OutputPlan, DefaultsLeaveEveryOutputByteAsItWas) {
    const std::string data = testdataDir();
    if (!DirExist(data + "/photos")) GTEST_SKIP() << "no test data";
    struct Pin {
        std::vector<std::string> args;
        const char* file;
        uint64_t hash;
    };
    const Pin pins[] = {
        {{"-s", "640x480", "-t", "jpg"}, "photos/jon-tyson-FKkK1hnTe-Q-unsplash.jpg", 0xbe2402135118b75aull},
        {{"-s", "300x300", "-t", "jpg"}, "exif-orientation/Landscape_6.jpg", 0x066a92444afba566ull},
        {{"-s", "300x300", "-c", "crop", "--resize-quality", "best", "-t", "png", "--copy-exif", "false"},
         "exif-orientation/Landscape_6.jpg",
         0x79ec60094dee9cbcull},
        // The same output with metadata carried: PNG now holds the EXIF block (an eXIf chunk) and
        // is otherwise the same.
        {{"-s", "300x300", "-c", "crop", "--resize-quality", "best", "-t", "png"},
         "exif-orientation/Landscape_6.jpg",
         0x3e4042a1923c17bbull},
        {{"-s", "50%", "-t", "png"}, "pngsuite/basn6a08.png", 0xe867cb95e57ff34dull},
        {{"-s", "64x64", "-t", "jpg"}, "pngsuite/tbrn2c08.png", 0xe8140d307a3a79bbull},
        {{"-s", "100x100", "-c", "stretch", "-t", "bmp"}, "bmpsuite/g/rgb32bf.bmp", 0x70643b5535ed8f77ull},
        {{"-s", "40x40", "--resize-quality", "basic", "-t", "png"},
         "gif/image-gif/samples/beacon.gif",
         0x143262a867513c4eull},
    };
    for (const Pin& pin : pins) {
        TempDir config, work;
        std::vector<std::string> args = pin.args;
        for (const char* more : {"--quiet", "-o"}) args.push_back(more);
        args.push_back(work.file("out"));
        args.push_back(data + "/" + pin.file);
        const CliResult result = runCli(args, config.path(), work.path());
        ASSERT_EQ(result.status, 0) << pin.file << result.err;
        const std::vector<std::string> written = folderEntries(work.file("out"));
        ASSERT_EQ(written.size(), 1u) << pin.file;
        EXPECT_EQ(fnv1a(readBytes(work.file("out/" + written[0]))), pin.hash) << pin.file;
    }
}

}  // namespace

namespace {

// The output settings follow the first 15 lines only where they differ from their defaults, and
// read back; COPYEXIF false alone still means no metadata.
TEST(OutputSettings, StoredAfterTheFirstLinesAndReadBack) {
    TempDir dir;
    {
        Pixmill engine(dir.path());
        engine.setMetadata(MetadataMode::NoLocation);
        for (auto [name, word] : {std::pair<const char*, const char*>{"colour", "srgb"},
                                  {"sharpen", "medium"},
                                  {"noenlarge", "true"},
                                  {"maxbytes", "512000"}})
            ASSERT_TRUE(engine.output.set(name, word)) << name;
        EXPECT_FALSE(engine.output.set("sharpen", "extreme"));
    }
    const std::string text = readBytes(dir.file("config.xml"));
    EXPECT_NE(
        text.find(
            "<ROTATE>exif</ROTATE>\n</CONFIG>\n<METADATA>no-location</METADATA>\n<COLOUR>srgb</COLOUR>\n"
            "<SHARPEN>medium</SHARPEN>\n<NOENLARGE>true</NOENLARGE>\n<MAXBYTES>512000</MAXBYTES>"),
        std::string::npos)
        << text;
    Pixmill again(dir.path());
    EXPECT_EQ(again.metadataMode(), MetadataMode::NoLocation);
    EXPECT_EQ(again.output.maxBytes, 512000u);
    again.saveSettingsOnExit = false;
    writeBytes(dir.file("config.xml"), "<COPYEXIF>false</COPYEXIF>");
    Pixmill old(dir.path());
    EXPECT_EQ(old.metadataMode(), MetadataMode::None);
    old.saveSettingsOnExit = false;
}

}  // namespace

#include "picture/ImageSource.h"
#include "picture/MetadataFilter.h"

namespace {

void put16(std::string& s, size_t at, uint32_t v) {
    s[at] = char(v & 0xFF), s[at + 1] = char(v >> 8);
}
void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char(v >> (8 * i));
}
void entry(std::string& s, size_t at, uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
    put16(s, at, tag), put16(s, at + 2, type), put32(s, at + 4, count), put32(s, at + 8, value);
}

// A little-endian EXIF block: IFD0 with orientation 6, the GPS pointer and Make ("Pixmill"); the GPS
// directory with a latitude (three rationals stored at 100).
std::string exifWithGps() {
    std::string s(140, '\0');
    s.replace(0, 8, std::string("II*\0\x08\0\0\0", 8));
    put16(s, 8, 3);
    entry(s, 10, 274, 3, 1, 6);
    entry(s, 22, 0x8825, 4, 1, 50);
    entry(s, 34, 271, 2, 8, 124);
    put16(s, 50, 2);
    entry(s, 52, 1, 2, 2, 'N');
    entry(s, 64, 2, 5, 3, 100);
    for (size_t i = 100; i < 124; ++i) s[i] = char(0x51);  // the position
    s.replace(124, 8, std::string("Pixmill\0", 8));
    return s;
}

const char kXmp[] =
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<rdf:Description xmlns:xmp='http://ns.adobe.com/xap/1.0/' xmlns:e='http://ns.adobe.com/exif/1.0/'"
    " xmlns:photoshop='http://ns.adobe.com/photoshop/1.0/' "
    "xmlns:Iptc4xmpExt='http://iptc.org/std/Iptc4xmpExt/2008-02-29/'"
    " xmp:Rating='4' e:GPSLatitude='51,30.1N' photoshop:City='Oslo'>"
    "<e:GPSLongitude>0,7.5W</e:GPSLongitude><photoshop:Country>Norway</photoshop:Country>"
    "<Iptc4xmpExt:LocationShown><rdf:Bag><rdf:li><Iptc4xmpExt:LocationShown/></rdf:li></rdf:Bag></"
    "Iptc4xmpExt:LocationShown>"
    "<dc:subject "
    "xmlns:dc='http://purl.org/dc/elements/1.1/'><rdf:Bag><rdf:li>fjord</rdf:li></rdf:Bag></dc:subject>"
    "</rdf:Description></rdf:RDF></x:xmpmeta>";

std::string iptcSet(int dataset, const std::string& value) {
    return std::string("\x1c\x02", 2) + char(dataset) + char(value.size() >> 8) + char(value.size()) + value;
}

TEST(Metadata, NoLocationLeavesNoPositionAndKeepsTheRest) {
    TempDir config, work;
    CPicture picture(64, 48);
    fillQuarters(picture);
    picture.exifBlock = "Exif" + std::string(2, '\0') + exifWithGps();
    picture.xmpPacket = kXmp;
    picture.iptcBlock =
        iptcSet(25, "fjord") + iptcSet(90, "Oslo") + iptcSet(101, "Norway") + iptcSet(116, "(c) P");
    ASSERT_TRUE(picture.saveToJPG(work.file("in.jpg"), 90));
    for (const char* type : {"jpg", "png"}) {
        const CliResult result = runCli({"--metadata", "no-location", "-t", type, "-s", "32x32", "-o",
                                         work.file(type), "--rotate", "none", work.file("in.jpg")},
                                        config.path(), work.path());
        ASSERT_EQ(result.status, 0) << result.err;
        std::unique_ptr<ImageSource> out =
            ImageSource::open(work.file(type) + "/" + folderEntries(work.file(type))[0]);
        ASSERT_TRUE(out->isOpen()) << type;
        // EXIF: the pointer gone, Make and the orientation kept, not a byte of the position left.
        const std::string& exif = out->exifBlock;
        ASSERT_EQ(exif.size(), 140u) << type;
        EXPECT_EQ(exif[8], 2) << type;
        EXPECT_EQ(exif.substr(10, 4), std::string("\x12\x01\x03\0", 4));
        EXPECT_EQ(exif.substr(22, 2), std::string("\x0f\x01", 2));  // Make moved up
        EXPECT_EQ(exif.substr(50, 74), std::string(74, '\0'));
        EXPECT_EQ(exif.substr(124, 7), "Pixmill");
        const std::string& xmp = out->xmpPacket;
        for (const char* gone : {"GPS", "City", "Country", "LocationShown", "Oslo"})
            EXPECT_EQ(xmp.find(gone), std::string::npos) << gone << " in " << xmp;
        for (const char* kept : {"xmp:Rating='4'", "<rdf:li>fjord</rdf:li>", "</rdf:Description>"})
            EXPECT_NE(xmp.find(kept), std::string::npos) << kept << " not in " << xmp;
        // IPTC only where the type has a place for it.
        EXPECT_EQ(out->iptcBlock,
                  std::string(type) == "jpg" ? iptcSet(25, "fjord") + iptcSet(116, "(c) P") : "");
    }
    // With all, everything arrives as it was; a malformed IPTC block is left out with a note.
    std::string broken = "\x1c\x02\x19\x7f";
    EXPECT_FALSE(iptcIsSound(broken));
    EXPECT_FALSE(stripIptcLocation(broken));
    std::string xmp = "<a:b xmlns:a='http://ns.adobe.com/exif/1.0/'><a:GPSAltitude>";
    EXPECT_FALSE(stripXmpLocation(xmp));
    std::string truncated = exifWithGps().substr(0, 60);
    EXPECT_FALSE(stripExifLocation(truncated));
}

}  // namespace

#include <lcms2.h>
#include <tiffio.h>

#include <cstdio>
#include <cstring>
// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// clang-format on

#include "picture/ColourConvert.h"

namespace {

// A Display P3 profile (P3 primaries, D65, the sRGB tone curve), as phones write it.
std::string displayP3Profile() {
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    const double parameters[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, parameters);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, &bytes[0], &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return bytes;
}

std::string savedSrgbProfile() {
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, &bytes[0], &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST(Colour, SrgbIsLittleCmsOwnTransformAndSrgbSourcesStayAsTheyAre) {
    TempDir config, work;
    std::mt19937 random(3);
    const std::string p3 = displayP3Profile(), srgb = savedSrgbProfile();
    EXPECT_TRUE(isSrgbProfile(srgb));
    EXPECT_FALSE(isSrgbProfile(p3));
    for (const std::string* profile : {&p3, &srgb}) {
        CPicture source(40, 30);
        for (size_t i = 0; i < 40 * 30 * 4; ++i) source.pixels[i] = uint8_t(random());
        source.transparencyMode = TRANSPARENCY_ALPHA;
        source.iccProfile = *profile;
        ASSERT_TRUE(source.saveToPNG(work.file("in.png")));
        for (const char* colour : {"keep", "srgb"}) {
            const CliResult result = runCli({"--colour", colour, "-t", "png", "-s", "50%", "-o",
                                             work.file(colour), "--overwrite", "yes", work.file("in.png")},
                                            config.path(), work.path());
            ASSERT_EQ(result.status, 0) << result.err;
        }
        CPicture kept, converted;
        kept.load(work.file("keep/in_0x0.png"));
        converted.load(work.file("srgb/in_0x0.png"));
        ASSERT_EQ(kept.width, 20);
        EXPECT_EQ(kept.iccProfile, *profile);
        EXPECT_EQ(converted.iccProfile, "");
        if (profile == &p3) {
            cmsHPROFILE from = cmsOpenProfileFromMem(p3.data(), cmsUInt32Number(p3.size()));
            cmsHPROFILE to = cmsCreate_sRGBProfile();
            cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_BGRA_8, to, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
            cmsDoTransform(t, kept.pixels, kept.pixels, 20 * 15);
            cmsDeleteTransform(t);
            cmsCloseProfile(from);
            cmsCloseProfile(to);
        }
        EXPECT_EQ(0, memcmp(kept.pixels, converted.pixels, 20 * 15 * 4)) << (profile == &p3 ? "P3" : "sRGB");
    }
}

// CMYK samples, c, m, y, k per pixel, every pixel different.
std::vector<uint8_t> cmykSamples(int w, int h) {
    std::vector<uint8_t> samples(size_t(w) * h * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(i * 37 + (i >> 2) * 11);
    return samples;
}

// A CMYK JPEG (libjpeg stores it as Adobe does, inverted) with the profile in APP2; returns the
// samples libjpeg decodes from it.
std::vector<uint8_t> writeCmykJpeg(const std::string& path, int w, int h, const std::string& icc) {
    std::vector<uint8_t> samples = cmykSamples(w, h);
    FILE* file = fopen(path.c_str(), "wb");
    jpeg_compress_struct c = {};
    jpeg_error_mgr error;
    c.err = jpeg_std_error(&error);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, file);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty()) jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET*>(icc.data()), unsigned(icc.size()));
    for (int y = 0; y < h; ++y) {
        JSAMPROW row = &samples[size_t(y) * w * 4];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    fclose(file);
    file = fopen(path.c_str(), "rb");
    jpeg_decompress_struct d = {};
    d.err = jpeg_std_error(&error);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, file);
    jpeg_read_header(&d, TRUE);
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &samples[size_t(d.output_scanline) * w * 4];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    fclose(file);
    return samples;
}

// A CMYK TIFF of 8 or 16 bits (0 means no ink) with the profile; returns its samples.
std::vector<uint16_t> writeCmykTiff(const std::string& path, int w, int h, int bits, const std::string& icc) {
    const std::vector<uint8_t> bytes = cmykSamples(w, h);
    std::vector<uint16_t> samples(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) samples[i] = bits == 16 ? uint16_t(bytes[i] * 257 + i % 200) : bytes[i];
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(w));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(h));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(4));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_SEPARATED));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(h));
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    std::vector<uint8_t> row(size_t(w) * 4 * bits / 8);
    for (int y = 0; y < h; ++y) {
        for (size_t i = 0; i < size_t(w) * 4; ++i) {
            const uint16_t v = samples[size_t(y) * w * 4 + i];
            if (bits == 16)
                memcpy(&row[i * 2], &v, 2);
            else
                row[i] = uint8_t(v);
        }
        TIFFWriteScanline(tif, row.data(), uint32_t(y), 0);
    }
    TIFFClose(tif);
    return samples;
}

// CMYK JPEG and TIFF under --colour srgb: their samples through their own CMYK profile, as
// LittleCMS converts them; without a profile the conversion stays the plain one.
TEST(Colour, CmykGoesThroughItsProfile) {
    const std::string icc = readBytes("/usr/share/color/icc/ghostscript/default_cmyk.icc");
    if (icc.empty()) GTEST_SKIP() << "no CMYK profile on this machine";
    TempDir config, work;
    const int w = 16, h = 12;
    cmsHPROFILE cmyk = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    struct Case {
        const char* name;
        cmsUInt32Number format;
        std::vector<uint8_t> bytes;  // the samples as the transform reads them
    };
    std::vector<Case> cases;
    cases.push_back({"a.jpg", TYPE_CMYK_8_REV, writeCmykJpeg(work.file("a.jpg"), w, h, icc)});
    for (int bits : {8, 16}) {
        const char* name = bits == 8 ? "b.tif" : "c.tif";
        const std::vector<uint16_t> samples = writeCmykTiff(work.file(name), w, h, bits, icc);
        std::vector<uint8_t> bytes(samples.begin(), samples.end());
        if (bits == 16) bytes.assign(reinterpret_cast<const uint8_t*>(samples.data()),
                                     reinterpret_cast<const uint8_t*>(samples.data() + samples.size()));
        cases.push_back({name, cmsUInt32Number(bits == 8 ? TYPE_CMYK_8 : TYPE_CMYK_16), bytes});
    }
    writeCmykJpeg(work.file("plain.jpg"), w, h, "");
    for (const char* colour : {"keep", "srgb"}) {
        const CliResult result = runCli({"--colour", colour, "-t", "png", "-s", "16x12", "-n", "%SRC%", "-o",
                                         work.file(colour), work.file("a.jpg"), work.file("b.tif"),
                                         work.file("c.tif"), work.file("plain.jpg")},
                                        config.path(), work.path());
        ASSERT_EQ(result.status, 0) << result.err;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPicture converted;
        converted.load(work.file("srgb/" + std::string(c.name).substr(0, 1) + ".png"));
        ASSERT_EQ(converted.width, w);
        EXPECT_EQ(converted.iccProfile, "");
        std::vector<uint8_t> expected(size_t(w) * h * 4, 0);
        cmsHTRANSFORM t = cmsCreateTransform(cmyk, c.format, srgb, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
        cmsDoTransform(t, c.bytes.data(), expected.data(), cmsUInt32Number(w * h));
        cmsDeleteTransform(t);
        for (size_t i = 0; i < expected.size(); ++i) {
            if (i % 4 != 3) {
                ASSERT_EQ(converted.pixels[i], expected[i]) << "byte " << i;
            }
        }
    }
    EXPECT_EQ(readBytes(work.file("keep/plain.png")), readBytes(work.file("srgb/plain.png")));
    // Kept colours keep only a profile that describes red, green and blue: not a CMYK one.
    for (const char* name : {"keep/a.png", "keep/b.png"}) {
        CPicture kept;
        kept.load(work.file(name));
        EXPECT_EQ(kept.iccProfile, "") << name;
    }
    cmsCloseProfile(cmyk);
    cmsCloseProfile(srgb);
}

}  // namespace

#include "engine/SizeSearch.h"

namespace {

// Sizes that mostly grow with quality but not strictly: the search must still end on a quality
// that fits while the next one up does not.
TEST(SizeLimit, TheQualityFoundFitsAndTheNextDoesNot) {
    auto sizeAt = [](int q) { return uint64_t(1000 + 50 * q + (q % 7 == 0 ? 400 : 0)); };
    const EncodeAtQuality encode = [&](int q, std::string& bytes) {
        bytes.assign(size_t(sizeAt(q)), 'x');
        return true;
    };
    for (uint64_t limit : {1050u, 2000u, 3300u, 3400u, 5000u, 6000u}) {
        const SizeSearch search = searchQuality(90, limit, encode);
        ASSERT_TRUE(search.fits) << limit;
        EXPECT_LE(sizeAt(search.quality), limit);
        EXPECT_EQ(search.bytes.size(), sizeAt(search.quality));
        if (search.quality < 90) {
            EXPECT_GT(sizeAt(search.quality + 1), limit) << limit;
        }
        EXPECT_LE(search.encodes, 9) << limit;
    }
    const SizeSearch none = searchQuality(90, 1000, encode);
    EXPECT_FALSE(none.fits);
    EXPECT_EQ(sizeLimitCause(512000, none.bytes.size()), "cannot reach 500 KB: 2 KB at quality 1");

    // A job that cannot fit writes nothing and says why; one that can reports its quality.
    TempDir config, work;
    CPicture picture(300, 200);
    for (size_t i = 0; i < 300 * 200 * 4; ++i) picture.pixels[i] = uint8_t(i * 7919 >> 3);
    ASSERT_TRUE(picture.saveToBMP(work.file("in.bmp")));
    CliResult result =
        runCli({"--max-bytes", "1K", "-s", "300x200", "-o", work.file("a"), work.file("in.bmp")},
               config.path(), work.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(": cannot reach 1 KB: "), std::string::npos) << result.err;
    EXPECT_TRUE(folderEntries(work.file("a")).empty());
    result = runCli(
        {"--max-bytes", "40K", "-s", "300x200", "-o", work.file("b"), "--report", "-", work.file("in.bmp")},
        config.path(), work.path());
    EXPECT_NE(result.out.find("\"quality\":"), std::string::npos) << result.out;
    EXPECT_LE(readBytes(work.file("b/in_300x200.jpg")).size(), 40u * 1024);
}

}  // namespace

#include "picture/Sharpen.h"

namespace {

// The unsharp mask written out per pixel from its definition.
void literalSharpen(const CPicture& in, CPicture& out, int amount) {
    const int w = in.width, h = in.height;
    auto at = [&](int x, int y, int c) {
        return int(in.pixelAt(std::min(std::max(x, 0), w - 1), std::min(std::max(y, 0), h - 1))[c]);
    };
    const int kernel[3] = {1, 2, 1};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                if (c == 3) {
                    out.pixelAt(x, y)[3] = in.pixelAt(x, y)[3];
                    continue;
                }
                int sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        sum += kernel[dx + 1] * kernel[dy + 1] * at(x + dx, y + dy, c);
                const int v = at(x, y, c), blur = (sum + 8) / 16;
                const int out8 = v + int(std::floor((amount * (v - blur) + 64) / 128.0));
                out.pixelAt(x, y)[c] = uint8_t(std::min(255, std::max(0, out8)));
            }
}

TEST(Sharpen, EqualsItsLiteralVersion) {
    std::mt19937 random(11);
    for (const auto& size : {std::pair<int, int>{1, 1}, {1, 7}, {9, 1}, {23, 17}}) {
        CPicture picture(size.first, size.second);
        for (size_t i = 0; i < size_t(size.first) * size.second * 4; ++i)
            picture.pixels[i] = uint8_t(random() % 3 == 0 ? (random() & 1) * 255 : random());
        for (int amount : {0, 64, 128, 192}) {
            CPicture copy(size.first, size.second), expected(size.first, size.second);
            memcpy(copy.pixels, picture.pixels, size_t(size.first) * size.second * 4);
            literalSharpen(picture, expected, amount);
            sharpenPicture(copy, amount);
            EXPECT_EQ(0, memcmp(copy.pixels, expected.pixels, size_t(size.first) * size.second * 4))
                << size.first << "x" << size.second << " " << amount;
        }
    }
}

}  // namespace

#include "literal_resize.h"
#include "picture/LinearRows.h"

namespace {

TEST(Linear, EqualsItsLiteralVersion) {
    std::mt19937 random(5);
    const int sizes[][4] = {{31, 23, 9, 7}, {12, 9, 29, 20}, {40, 6, 13, 6}};
    for (const auto& s : sizes) {
        CPicture src(s[0], s[1]);
        for (size_t i = 0; i < size_t(s[0]) * s[1] * 4; ++i) src.pixels[i] = uint8_t(random());
        for (int32_t mode : {TRANSPARENCY_NONE, TRANSPARENCY_ALPHA})
            for (int filter : {1, 2, 3}) {
                src.transparencyMode = mode;
                CPicture expected(s[2], s[3]), got(s[2], s[3]);
                literal::resizeLinear(&src, &expected, filter);
                LinearRows rows(s[0], s[1], got, filter, mode == TRANSPARENCY_NONE ? 3 : 4);
                putPictureRows(src, rows);
                EXPECT_EQ(0, memcmp(expected.pixels, got.pixels, size_t(s[2]) * s[3] * 4))
                    << s[0] << "x" << s[1] << " filter " << filter << " mode " << mode;
            }
    }
    for (int v = 0; v < 256; ++v) EXPECT_EQ(byteOfLinear(linearOfByte(uint8_t(v))), v);
}

}  // namespace
