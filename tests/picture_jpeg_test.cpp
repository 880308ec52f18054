// SPDX-License-Identifier: MIT
// Format dispatch and JPEG files, checked against libjpeg itself as the oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// clang-format off: jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
// clang-format on

#include "picture/Exif.h"
#include "picture/ImageSource.h"
#include "picture/Picture.h"
#include "testsupport.h"

namespace {

// ---- libjpeg used directly, with its defaults, as the oracle ----

struct OracleError {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void oracleErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<OracleError*>(cinfo->err)->jump, 1);
}

struct Decoded {
    int width = 0, height = 0, components = 0;
    std::vector<uint8_t> samples;   // rows of width * components, as libjpeg delivers them
    std::vector<std::string> app1;  // payloads of every APP1 segment, in file order
};

// Fills `out` from the JPEG bytes with default decompression parameters; false on a libjpeg error.
// Locals are trivially destructible: errors longjmp back here.
bool oracleDecodeInto(const std::string& bytes, bool headerOnly, Decoded* out) {
    jpeg_decompress_struct cinfo = {};
    OracleError jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = oracleErrorExit;
    jerr.pub.output_message = [](j_common_ptr) {};
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        out->app1.emplace_back(reinterpret_cast<const char*>(m->data), m->data_length);
    if (!headerOnly) {
        jpeg_start_decompress(&cinfo);
        out->width = int(cinfo.output_width);
        out->height = int(cinfo.output_height);
        out->components = cinfo.output_components;
        out->samples.resize(size_t(out->width) * out->height * out->components);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &out->samples[size_t(cinfo.output_scanline) * out->width * out->components];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
    }
    jpeg_destroy_decompress(&cinfo);
    return true;
}

Decoded oracleDecode(const std::string& bytes, bool headerOnly = false) {
    Decoded d;
    EXPECT_TRUE(oracleDecodeInto(bytes, headerOnly, &d));
    return d;
}

struct EncodeOptions {
    int components = 3;
    J_COLOR_SPACE input = JCS_RGB;
    J_COLOR_SPACE stored = JCS_UNKNOWN;  // JCS_UNKNOWN: libjpeg's default for the input
    int quality = 90;
    bool optimize = true;
    bool progressive = false;
    std::string exif;
};

// Encodes samples (rows of width * components) to `out`, which libjpeg mallocs.
bool oracleEncodeInto(int width, int height, const uint8_t* samples, const EncodeOptions* o,
                      unsigned char** out, unsigned long* size) {
    jpeg_compress_struct cinfo = {};
    OracleError jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = oracleErrorExit;
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = o->components;
    cinfo.in_color_space = o->input;
    jpeg_set_defaults(&cinfo);
    if (o->stored != JCS_UNKNOWN) jpeg_set_colorspace(&cinfo, o->stored);
    jpeg_set_quality(&cinfo, o->quality, TRUE);
    cinfo.optimize_coding = o->optimize ? TRUE : FALSE;
    if (o->progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    if (!o->exif.empty())
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(o->exif.data()),
                          unsigned(o->exif.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples + size_t(cinfo.next_scanline) * width * o->components);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

std::string oracleEncode(int width, int height, const std::vector<uint8_t>& samples, const EncodeOptions& o) {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    EXPECT_TRUE(oracleEncodeInto(width, height, samples.data(), &o, &buffer, &size));
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    free(buffer);
    return bytes;
}

// ---- Pictures and files ----

// A smooth pattern with some detail, so that every colour channel carries its own content.
std::vector<uint8_t> patternSamples(int width, int height, int components) {
    std::vector<uint8_t> s(size_t(width) * height * components);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                s[(size_t(y) * width + x) * components + c] =
                    uint8_t(x * (3 + c) + y * (5 - c) + ((x ^ y) & 8) * 4);
    return s;
}

// A picture holding an RGB sample array as blue, green, red, `fourth`.
void fillPicture(CPicture& pic, int width, int height, const std::vector<uint8_t>& rgb, uint8_t fourth = 0) {
    pic.create(width, height);
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        pic.pixels[i * 4 + 0] = rgb[i * 3 + 2];
        pic.pixels[i * 4 + 1] = rgb[i * 3 + 1];
        pic.pixels[i * 4 + 2] = rgb[i * 3 + 0];
        pic.pixels[i * 4 + 3] = fourth;
    }
}

// The RGB picture the decoder must produce from libjpeg's 3-component output.
void expectPictureIsRgb(const CPicture& pic, const Decoded& d) {
    ASSERT_EQ(d.components, 3);
    ASSERT_EQ(pic.width, d.width);
    ASSERT_EQ(pic.height, d.height);
    EXPECT_EQ(pic.transparencyMode, TRANSPARENCY_NONE);
    size_t mismatches = 0;
    for (size_t i = 0; i < size_t(d.width) * d.height; ++i) {
        const uint8_t* p = pic.pixels + i * 4;
        const uint8_t* s = &d.samples[i * 3];
        if (p[0] != s[2] || p[1] != s[1] || p[2] != s[0] || p[3] != 0) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u);
}

CPicture* loadBytes(CPicture& pic, const TempDir& dir, const std::string& bytes,
                    const char* name = "in.jpg") {
    EXPECT_TRUE(writeBytes(dir.file(name), bytes));
    pic.load(dir.file(name));
    return &pic;
}

struct Segment {
    uint8_t code;
    std::string payload;
};

// The marker segments of a JPEG file from SOI up to and including SOS (payload without length).
std::vector<Segment> segmentsUpToScan(const std::string& f) {
    std::vector<Segment> out;
    if (f.size() < 2 || uint8_t(f[0]) != 0xFF || uint8_t(f[1]) != 0xD8) return out;
    out.push_back({0xD8, ""});
    size_t pos = 2;
    while (pos + 4 <= f.size() && uint8_t(f[pos]) == 0xFF) {
        const uint8_t code = uint8_t(f[pos + 1]);
        const size_t length = size_t(uint8_t(f[pos + 2])) << 8 | uint8_t(f[pos + 3]);
        if (length < 2 || pos + 2 + length > f.size()) break;
        out.push_back({code, f.substr(pos + 4, length - 2)});
        pos += 2 + length;
        if (code == 0xDA) break;
    }
    return out;
}

std::string exifBlockWithOrientation(int orientation) {
    // Little-endian TIFF header, IFD0 at 8 with one SHORT entry, no next IFD.
    std::string b("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24);
    b += std::string{char(orientation), 0, 0, 0};
    return b + std::string(4, '\0');
}

}  // namespace

// ---- Dispatch ----

TEST(Dispatch, IntakeTakesImageNamesInAnyLetterCase) {
    for (const char* yes : {"a.jpg", "B.JPG", "x.Jpeg", "myjpeg", "c.PNG", "d.gif", "e.bmp", ".png", "f.tiff", "g.TIF",
                            "h.heic", "i.HEIF", "j.hif", "k.Avif", "l.webp", "m.JXL"})
        EXPECT_TRUE(CPicture::isValidFileType(yes)) << yes;
    for (const char* no : {"png", "jpg", "", "g.jpe", "h.png ", "i.txt", "j.jpg.bak", "k.tiff2", "l.heics", "webp"})
        EXPECT_FALSE(CPicture::isValidFileType(no)) << no;
}

TEST(Dispatch, TheFirstBytesChooseTheDecoder) {
    TempDir dir;
    // A real JPEG behind a ".txt" name is read as the JPEG it is; the name plays no part.
    std::vector<uint8_t> rgb = patternSamples(4, 4, 3);
    CPicture pic(3, 2);
    loadBytes(pic, dir, oracleEncode(4, 4, rgb, {}), "photo.txt");
    EXPECT_EQ(pic.fileName, dir.file("photo.txt"));
    EXPECT_EQ(pic.width, 4);
    // Bytes of no image kind, or no file at all, leave the picture empty and say why.
    loadBytes(pic, dir, "just text", "notes.jpg");
    EXPECT_TRUE(pic.isEmpty());
    EXPECT_EQ(pic.loadFailure, "not an image file (starts with 0x6a 0x75 0x73 0x74)");
    pic.load("jpg");
    EXPECT_EQ(pic.fileName, "jpg");
    EXPECT_TRUE(pic.isEmpty());
    EXPECT_FALSE(pic.loadFailure.empty());
}

// ---- Decoding ----

TEST(JpegLoad, ColourFilesGiveLibjpegsPixels) {
    TempDir dir;
    const int w = 37, h = 23;  // partial MCUs both ways
    const std::vector<uint8_t> rgb = patternSamples(w, h, 3);
    for (bool progressive : {false, true}) {
        SCOPED_TRACE(progressive ? "progressive" : "baseline");
        EncodeOptions o;
        o.progressive = progressive;
        o.quality = 75;
        const std::string file = oracleEncode(w, h, rgb, o);
        CPicture pic(5, 5);
        pic.transparencyMode = TRANSPARENCY_ALPHA;
        loadBytes(pic, dir, file, "in.JPEG");
        expectPictureIsRgb(pic, oracleDecode(file));
    }
}

TEST(JpegLoad, GreyFilesGiveEqualColourBytes) {
    TempDir dir;
    const int w = 19, h = 9;
    EncodeOptions o;
    o.components = 1;
    o.input = JCS_GRAYSCALE;
    const std::string file = oracleEncode(w, h, patternSamples(w, h, 1), o);
    const Decoded d = oracleDecode(file);
    ASSERT_EQ(d.components, 1);
    CPicture pic;
    loadBytes(pic, dir, file);
    ASSERT_EQ(pic.width, w);
    ASSERT_EQ(pic.height, h);
    for (int i = 0; i < w * h; ++i) {
        const uint8_t* p = pic.pixels + i * 4;
        ASSERT_EQ(p[0], d.samples[i]) << i;
        ASSERT_EQ(p[1], d.samples[i]) << i;
        ASSERT_EQ(p[2], d.samples[i]) << i;
        ASSERT_EQ(p[3], 0) << i;
    }
}

// Adobe CMYK is stored inverted (255 = no ink): red = c * k / 255 with the stored c and k.
TEST(JpegLoad, CmykAndYcckBecomeRgb) {
    TempDir dir;
    const int w = 16, h = 8;
    // Left half: stored (c, m, y, k) = (255, 0, 0, 255), i.e. no cyan, full magenta and yellow,
    // no black: pure red. Right half: a pattern.
    std::vector<uint8_t> cmyk = patternSamples(w, h, 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w / 2; ++x) {
            uint8_t* s = &cmyk[(size_t(y) * w + x) * 4];
            s[0] = 255, s[1] = 0, s[2] = 0, s[3] = 255;
        }
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        SCOPED_TRACE(stored == JCS_CMYK ? "CMYK" : "YCCK");
        EncodeOptions o;
        o.components = 4;
        o.input = JCS_CMYK;
        o.stored = stored;
        o.quality = 100;
        const std::string file = oracleEncode(w, h, cmyk, o);
        const Decoded d = oracleDecode(file);
        ASSERT_EQ(d.components, 4);
        CPicture pic;
        loadBytes(pic, dir, file);
        ASSERT_EQ(pic.width, w);
        ASSERT_EQ(pic.height, h);
        for (int i = 0; i < w * h; ++i) {
            const uint8_t* s = &d.samples[size_t(i) * 4];
            const uint8_t* p = pic.pixels + i * 4;
            ASSERT_EQ(p[2], (s[0] * s[3] + 127) / 255) << i;
            ASSERT_EQ(p[1], (s[1] * s[3] + 127) / 255) << i;
            ASSERT_EQ(p[0], (s[2] * s[3] + 127) / 255) << i;
            ASSERT_EQ(p[3], 0) << i;
        }
        const uint8_t* red = pic.pixelAt(2, 3);
        EXPECT_NEAR(red[2], 255, 3);
        EXPECT_NEAR(red[1], 0, 3);
        EXPECT_NEAR(red[0], 0, 3);
    }
}

TEST(JpegLoad, UnknownColourSpaceGivesItsFirstComponentAsGrey) {
    TempDir dir;
    const int w = 8, h = 8;
    EncodeOptions o;
    o.components = 2;
    o.input = JCS_UNKNOWN;
    const std::string file = oracleEncode(w, h, patternSamples(w, h, 2), o);
    const Decoded d = oracleDecode(file);
    ASSERT_EQ(d.components, 2);
    CPicture pic;
    loadBytes(pic, dir, file);
    ASSERT_EQ(pic.width, w);
    for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(pic.pixels[i * 4 + c], d.samples[size_t(i) * 2]) << i;
}

TEST(JpegLoad, BrokenStreamsLeaveThePictureEmpty) {
    TempDir dir;
    const std::string good = oracleEncode(24, 16, patternSamples(24, 16, 3), {});
    std::string sof = good;
    const size_t at = sof.find("\xFF\xC0", 0, 2);  // baseline frame: length, precision, height, width
    ASSERT_NE(at, std::string::npos);
    auto withFrame = [&](int precision, uint16_t height, uint16_t width) {
        std::string f = good;
        f[at + 4] = char(precision);
        f[at + 5] = char(height >> 8), f[at + 6] = char(height);
        f[at + 7] = char(width >> 8), f[at + 8] = char(width);
        return f;
    };
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty file", ""},
        {"not a JPEG", "GIF89a this is not a JPEG at all"},
        {"start of image only", "\xFF\xD8"},
        {"12-bit samples", withFrame(12, 16, 24)},
        {"zero width", withFrame(8, 16, 0)},
        {"2^32 pixels", withFrame(8, 65535, 65535)},
        {"just over 2^31 pixels", withFrame(8, 46341, 46341)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        CPicture pic(2, 2);
        loadBytes(pic, dir, c.second);
        EXPECT_EQ(pic.width, 0);
        EXPECT_EQ(pic.height, 0);
        EXPECT_EQ(pic.pixels, nullptr);
    }
    CPicture missing(2, 2);
    missing.load(dir.file("missing.jpg"));
    EXPECT_TRUE(missing.isEmpty());
}

TEST(JpegLoad, TruncatedFilesDecodeWithLibjpegsFill) {
    TempDir dir;
    const std::string good = oracleEncode(64, 48, patternSamples(64, 48, 3), {});
    const size_t scan = good.find("\xFF\xDA", 0, 2);
    ASSERT_NE(scan, std::string::npos);
    const std::string cut = good.substr(0, scan + 100);
    CPicture pic;
    loadBytes(pic, dir, cut);  // libjpeg warns on standard error and goes on
    expectPictureIsRgb(pic, oracleDecode(cut));
}

// Markers skipped across the read buffer's refills, and scans that span several of them.
TEST(JpegLoad, FilesLongerThanTheReadBufferDecodeWhole) {
    TempDir dir;
    const int w = 640, h = 480;
    EncodeOptions o;
    o.progressive = true;
    o.quality = 100;
    const std::string plain = oracleEncode(w, h, patternSamples(w, h, 3), o);
    std::string padded = plain.substr(0, 2);
    for (int i = 0; i < 6; ++i) padded += std::string("\xFF\xE9\xFF\xFF", 4) + std::string(65533, char('a' + i));
    padded += plain.substr(2);
    ASSERT_GT(padded.size(), size_t(600) << 10);
    CPicture pic;
    loadBytes(pic, dir, padded);
    expectPictureIsRgb(pic, oracleDecode(plain));
}

// ---- Encoding ----

TEST(JpegSave, WritesWhatLibjpegWritesWithTheseParameters) {
    TempDir dir;
    const int w = 45, h = 30;
    const std::vector<uint8_t> rgb = patternSamples(w, h, 3);
    for (int quality : {90, 37, 100, 0, 250}) {
        SCOPED_TRACE(quality);
        CPicture pic;
        fillPicture(pic, w, h, rgb);
        EncodeOptions o;
        o.quality = quality;
        if (quality == 37) pic.exifBlock = o.exif = exifBlockWithOrientation(6);
        ASSERT_TRUE(pic.saveToJPG(dir.file("out.jpg"), quality));
        EXPECT_EQ(readBytes(dir.file("out.jpg")), oracleEncode(w, h, rgb, o));
    }
}

// Transparent pictures lie on white: the file equals that of the opaque picture whose colours are
// round(c·a/255 + 255·(1 − a/255)) (premultiplied: c + 255 − a; mask: colour or white).
TEST(JpegSave, TransparentPicturesLieOnWhite) {
    TempDir dir;
    const int w = 9, h = 7;
    const std::vector<uint8_t> rgb = patternSamples(w, h, 3);
    for (int mode : {TRANSPARENCY_NONE, TRANSPARENCY_MASK, TRANSPARENCY_ALPHA, TRANSPARENCY_PREMULTIPLIED}) {
        CPicture pic, flat;
        fillPicture(pic, w, h, rgb);
        fillPicture(flat, w, h, rgb);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                uint8_t* p = pic.pixelAt(x, y);
                uint8_t* f = flat.pixelAt(x, y);
                const int a = mode == TRANSPARENCY_NONE ? 0x5A : mode == TRANSPARENCY_MASK ? (x + y) % 2 * 7 : (x * 29 + y * 41) & 255;
                p[3] = uint8_t(a);
                for (int c = 0; c < 3; ++c) {
                    if (mode == TRANSPARENCY_PREMULTIPLIED) p[c] = uint8_t(p[c] * a / 255);
                    const double v = mode == TRANSPARENCY_MASK   ? (a ? p[c] : 255)
                                     : mode == TRANSPARENCY_ALPHA ? p[c] * a / 255.0 + 255 * (1 - a / 255.0)
                                     : mode == TRANSPARENCY_PREMULTIPLIED ? p[c] + 255 - a
                                                                          : p[c];
                    f[c] = uint8_t(std::lround(v));
                }
            }
        }
        pic.transparencyMode = mode;
        ASSERT_TRUE(pic.saveToJPG(dir.file("alpha.jpg"), 90));
        ASSERT_TRUE(flat.saveToJPG(dir.file("flat.jpg"), 90));
        EXPECT_EQ(readBytes(dir.file("alpha.jpg")), readBytes(dir.file("flat.jpg"))) << mode;
    }
}

// A colour profile goes into APP2 segments (split where it is longer than one segment holds) and
// comes back byte for byte; a profile whose segments do not add up is dropped.
TEST(JpegSave, ColourProfilesSurviveByteForByte) {
    TempDir dir;
    CPicture pic;
    fillPicture(pic, 5, 4, patternSamples(5, 4, 3));
    for (size_t size : {size_t(1), size_t(3000), size_t(65519), size_t(200000)}) {
        pic.iccProfile.assign(size, '\0');
        for (size_t i = 0; i < size; ++i) pic.iccProfile[i] = char(i * 7 + size);
        ASSERT_TRUE(pic.saveToJPG(dir.file("icc.jpg"), 90));
        CPicture back;
        back.load(dir.file("icc.jpg"));
        EXPECT_TRUE(back.iccProfile == pic.iccProfile) << size;
        std::unique_ptr<ImageSource> source = ImageSource::open(dir.file("icc.jpg"));
        EXPECT_TRUE(source->iccProfile() == pic.iccProfile) << size;
    }
    // Sequence number 2 of 2 missing: the first segment alone is no profile. The pixels are
    // whole, so the picture is not reported damaged.
    std::string file = readBytes(dir.file("icc.jpg"));
    const size_t second = file.find("ICC_PROFILE", file.find("ICC_PROFILE") + 1);
    ASSERT_NE(second, std::string::npos);
    file[second + 12] = 9;
    writeBytes(dir.file("bad.jpg"), file);
    CPicture back;
    back.load(dir.file("bad.jpg"));
    EXPECT_FALSE(back.isEmpty());
    EXPECT_TRUE(back.iccProfile.empty());
    EXPECT_EQ(back.loadWarning, "");
}

TEST(JpegSave, TheExifBlockIsOneApp1RightAfterJfif) {
    TempDir dir;
    CPicture pic;
    fillPicture(pic, 8, 8, patternSamples(8, 8, 3));
    auto app1Payloads = [&](const std::string& path) {
        std::vector<std::string> found;
        for (const Segment& s : segmentsUpToScan(readBytes(path)))
            if (s.code == 0xE1) found.push_back(s.payload);
        return found;
    };

    ASSERT_TRUE(pic.saveToJPG(dir.file("none.jpg"), 90));
    EXPECT_TRUE(app1Payloads(dir.file("none.jpg")).empty());

    // The largest block one marker can carry, and one byte more, which cannot be written.
    const std::string largest = exifBlockWithOrientation(3) + std::string(65533 - 32, '\x5C');
    pic.exifBlock = largest;
    ASSERT_TRUE(pic.saveToJPG(dir.file("exif.jpg"), 90));
    const std::vector<Segment> segs = segmentsUpToScan(readBytes(dir.file("exif.jpg")));
    ASSERT_GE(segs.size(), 4u);
    EXPECT_EQ(segs[0].code, 0xD8);
    EXPECT_EQ(segs[1].code, 0xE0);
    EXPECT_EQ(segs[1].payload.substr(0, 5), std::string("JFIF\0", 5));
    EXPECT_EQ(segs[2].code, 0xE1);
    EXPECT_EQ(segs[2].payload, largest);
    EXPECT_EQ(app1Payloads(dir.file("exif.jpg")).size(), 1u);

    pic.exifBlock = largest + "!";
    ASSERT_TRUE(pic.saveToJPG(dir.file("toolong.jpg"), 90));
    EXPECT_TRUE(app1Payloads(dir.file("toolong.jpg")).empty());
    CPicture back;
    back.load(dir.file("toolong.jpg"));
    EXPECT_EQ(back.width, 8);
}

TEST(JpegSave, FailuresAreReportedNotFatal) {
    TempDir dir;
    CPicture pic;
    fillPicture(pic, 4, 4, patternSamples(4, 4, 3));
    EXPECT_FALSE(pic.saveToJPG(dir.file("no/such/folder/out.jpg"), 90));
    CPicture empty;
    EXPECT_FALSE(empty.saveToJPG(dir.file("empty.jpg"), 90));  // libjpeg refuses an empty image
    CPicture wide(70000, 1);                                   // past libjpeg's largest dimension
    EXPECT_FALSE(wide.saveToJPG(dir.file("wide.jpg"), 90));
    if (FILE* full = fopen("/dev/full", "wb")) {  // every write fails: disk full
        fclose(full);
        EXPECT_FALSE(pic.saveToJPG("/dev/full", 90));
    }
}

// ---- Conformance files ----

namespace {

uint64_t fnv1a(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (char c : bytes) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

// Every JPEG under testdata that these tests read: its size and hash pin the file; `orientation`
// is the EXIF orientation it reports ("" for no EXIF block); `pixels` marks the few checked pixel
// by pixel against libjpeg (the photos are 10 to 24 megapixels, so not all of them).
struct ConformanceFile {
    const char* name;
    uint64_t size;
    uint64_t hash;
    const char* orientation;
    bool pixels;
};

const ConformanceFile conformanceFiles[] = {
    {"photos/brendon-van-zyl-O9vNYbNVtpM-unsplash.jpg", 2467674, 0xb82dee7671642898ull, "", false},
    {"photos/david-clode-Oq9JrJb6K7M-unsplash.jpg", 1351365, 0x3ea97dc2609ee706ull, "", false},
    {"photos/james-yarema-P2X7NDx_GP0-unsplash.jpg", 3513022, 0x42b0b44d64632875ull, "", false},
    {"photos/jon-tyson-FKkK1hnTe-Q-unsplash.jpg", 1122922, 0xc3d64d6b8c6d0ba9ull, "", true},
    {"photos/olena-ivanova-jKb0EfemiLk-unsplash.jpg", 2011272, 0x86fe85bc414600dfull, "", false},
    {"photos/prachi-palwe-NLqNQ10ppe0-unsplash.jpg", 2580936, 0xaadd59dcbcad1fbdull, "", false},
    {"photos/rachel-hisko-rEM3cK8F1pk-unsplash.jpg", 1897843, 0x865ed1f597e1d334ull, "", false},
    {"photos/urel-landetne-WS4JcpoZz6E-unsplash.jpg", 3952924, 0x7ea2105ac47a1e9aull, "", false},
    {"photos/baseline/brendon-van-zyl-O9vNYbNVtpM-unsplash.baseline.jpg", 2612143, 0x1ab33e236aad0d03ull, "",
     true},
    {"photos/baseline/jon-tyson-FKkK1hnTe-Q-unsplash.baseline.jpg", 1159999, 0x8463f050b7ca1285ull, "", true},
    {"photos/baseline/prachi-palwe-NLqNQ10ppe0-unsplash.baseline.jpg", 2622609, 0xf7bf9a6316f219a9ull, "",
     false},
    {"photos/baseline/rachel-hisko-rEM3cK8F1pk-unsplash.baseline.jpg", 1912810, 0xa601c7370f769757ull, "",
     false},
    {"exif-orientation/Landscape_0.jpg", 349915, 0xd6c6d65db5f7101aull, "0", false},
    {"exif-orientation/Landscape_1.jpg", 347327, 0xd3627dff677f6e23ull, "1", false},
    {"exif-orientation/Landscape_2.jpg", 349209, 0xf01ecd2c51bf53c2ull, "2", false},
    {"exif-orientation/Landscape_3.jpg", 348796, 0xc410429a25f9a8e5ull, "3", false},
    {"exif-orientation/Landscape_4.jpg", 348052, 0x1016e159d241edc7ull, "4", false},
    {"exif-orientation/Landscape_5.jpg", 351275, 0x7f8ffd14a5b2662bull, "5", false},
    {"exif-orientation/Landscape_6.jpg", 352727, 0x6387beb6fd06dd7aull, "6", true},
    {"exif-orientation/Landscape_7.jpg", 351856, 0xd4d14862bf39400eull, "7", false},
    {"exif-orientation/Landscape_8.jpg", 352067, 0x302fd85ca2eacce1ull, "8", false},
    {"exif-orientation/Portrait_0.jpg", 248531, 0x8fb8addd593d1826ull, "0", false},
    {"exif-orientation/Portrait_1.jpg", 245684, 0xd6725a01f19a7e63ull, "1", false},
    {"exif-orientation/Portrait_2.jpg", 246915, 0x6d2070974a5669a5ull, "2", false},
    {"exif-orientation/Portrait_3.jpg", 247276, 0xe07f337001c46121ull, "3", false},
    {"exif-orientation/Portrait_4.jpg", 246554, 0x5c29ea74fcd4faf6ull, "4", false},
    {"exif-orientation/Portrait_5.jpg", 251487, 0xe0ece78d81ed8067ull, "5", false},
    {"exif-orientation/Portrait_6.jpg", 251800, 0x5c00f77c6674f8c7ull, "6", false},
    {"exif-orientation/Portrait_7.jpg", 250892, 0x8fd707b807ac0b0bull, "7", false},
    {"exif-orientation/Portrait_8.jpg", 251978, 0xd56f18ba4e8af058ull, "8", true},
};

}  // namespace

TEST(JpegConformance, FilesDecodeLikeLibjpegAndReportTheirOrientation) {
    const std::string root = testdataDir();
    if (root.empty()) GTEST_SKIP() << "no conformance data";
    for (const ConformanceFile& c : conformanceFiles) {
        SCOPED_TRACE(c.name);
        const std::string path = root + "/" + c.name;
        const std::string bytes = readBytes(path);
        EXPECT_EQ(bytes.size(), c.size);
        EXPECT_EQ(fnv1a(bytes), c.hash);
        Exif exif;
        exif.loadFromJPG(path);
        EXPECT_EQ(exif.getField(274), c.orientation);
        // libjpeg's own marker reader finds the same block.
        const Decoded header = oracleDecode(bytes, true);
        EXPECT_EQ(exif.loaded, !header.app1.empty());
        if (!header.app1.empty()) {
            EXPECT_EQ(exif.exifBlock, header.app1[0]);
        }
        if (c.pixels) {
            CPicture pic;
            pic.load(path);
            expectPictureIsRgb(pic, oracleDecode(bytes));
        }
    }
}

TEST(JpegConformance, AWrittenJpegCarriesTheSourceExifBlock) {
    const std::string root = testdataDir();
    if (root.empty()) GTEST_SKIP() << "no conformance data";
    TempDir dir;
    Exif source;
    source.loadFromJPG(root + "/exif-orientation/Portrait_5.jpg");
    ASSERT_TRUE(source.loaded);
    ASSERT_TRUE(source.setField(274, 1));
    CPicture pic;
    fillPicture(pic, 12, 10, patternSamples(12, 10, 3));
    pic.exifBlock = source.exifBlock;
    ASSERT_TRUE(pic.saveToJPG(dir.file("out.jpg"), 90));
    Exif back;
    back.loadFromJPG(dir.file("out.jpg"));
    EXPECT_TRUE(back.loaded);
    EXPECT_EQ(back.exifBlock, source.exifBlock);
    EXPECT_EQ(back.getField(274), "1");
}

// Writes jpeg_fuzz's seeds when PIXMILL_WRITE_FUZZ_SEEDS names the corpus folder (fuzz/corpus).
TEST(FuzzSeeds, WrittenOnRequest) {
    const char* folder = getenv("PIXMILL_WRITE_FUZZ_SEEDS");
    if (!folder) GTEST_SKIP() << "set PIXMILL_WRITE_FUZZ_SEEDS=fuzz/corpus to write the seeds";
    const std::string out = std::string(folder) + "/jpeg_fuzz/";
    CPicture pic;
    fillPicture(pic, 16, 16, patternSamples(16, 16, 3));
    pic.exifBlock = exifBlockWithOrientation(6);
    ASSERT_TRUE(pic.saveToJPG(out + "rgb_exif.jpg", 50));
    EncodeOptions grey;
    grey.components = 1;
    grey.input = JCS_GRAYSCALE;
    ASSERT_TRUE(writeBytes(out + "grey.jpg", oracleEncode(8, 8, patternSamples(8, 8, 1), grey)));
    EncodeOptions progressive;
    progressive.progressive = true;
    progressive.quality = 50;
    ASSERT_TRUE(
        writeBytes(out + "progressive.jpg", oracleEncode(17, 9, patternSamples(17, 9, 3), progressive)));
    EncodeOptions ycck;
    ycck.components = 4;
    ycck.input = JCS_CMYK;
    ycck.stored = JCS_YCCK;
    ycck.quality = 50;
    ASSERT_TRUE(writeBytes(out + "ycck.jpg", oracleEncode(8, 8, patternSamples(8, 8, 4), ycck)));
}
