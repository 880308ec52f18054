// SPDX-License-Identifier: MIT
// JPEG XL files through libjxl: the first frame, turned as the file's orientation says, decoded
// whole into the picture layout; the colour profile, Exif and XMP boxes and the frame count come
// from a first pass over the file that skips the frames' pixels.
#include <jxl/decode.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "picture/ColourProfile.h"
#include "picture/ImageSource.h"
#include "picture/LibraryMessages.h"
#include "tools/modTools.h"

namespace {

// A picture holds fewer than 2^31 pixels; libjxl's own limits are far larger.
const uint64_t kMaxPixels = uint64_t(1) << 31;
// Metadata boxes larger than this are not carried.
const size_t kMaxBoxBytes = size_t(16) << 20;
// Rows handed to the sink at once.
const int kStripRows = 64;

struct DecoderDestroy {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
using DecoderPtr = std::unique_ptr<JxlDecoder, DecoderDestroy>;

// The whole file, or false with the system's reason.
bool readWholeFile(const std::string& path, std::string& bytes, std::string& why) {
    FILE* f = fileOpen(path, "rb");
    if (!f) {
        why = strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, got);
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) why = "the file cannot be read";
    return !failed;
}

uint32_t u32be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The Exif box starts with the big-endian offset of the TIFF header after its own four bytes.
std::string exifFromBox(const std::string& box) {
    if (box.size() < 4) return std::string();
    const uint64_t start = 4 + uint64_t(u32be(reinterpret_cast<const uint8_t*>(box.data())));
    if (start >= box.size()) return std::string();
    std::string block = box.substr(size_t(start));
    if (block.compare(0, 6, std::string("Exif\0\0", 6)) == 0) block.erase(0, 6);
    return block;
}

// A metadata box being received: libjxl fills the buffer it is given and asks for more.
class BoxReader {
  public:
    // Starts on a box of interest; `kind` names where it goes when done.
    void start(JxlDecoder* dec, char which) {
        kind = which;
        JxlBoxType raw;
        compressed =
            JxlDecoderGetBoxType(dec, raw, JXL_FALSE) == JXL_DEC_SUCCESS && memcmp(raw, "brob", 4) == 0;
        if (JxlDecoderGetBoxSizeRaw(dec, &rawSize) != JXL_DEC_SUCCESS) rawSize = 0;
        bytes.assign(4096, '\0');
        filled = 0;
        JxlDecoderSetBoxBuffer(dec, reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size());
    }
    // libjxl wants more room; false when the box grows past the limit (it is then dropped).
    bool grow(JxlDecoder* dec) {
        filled = bytes.size() - JxlDecoderReleaseBoxBuffer(dec);
        if (bytes.size() * 2 > kMaxBoxBytes) {
            kind = 0;
            return false;
        }
        bytes.resize(bytes.size() * 2);
        JxlDecoderSetBoxBuffer(dec, reinterpret_cast<uint8_t*>(&bytes[filled]), bytes.size() - filled);
        return true;
    }
    // Ends the box in progress; its kind ('E' Exif, 'X' XMP, 0 none) and its bytes. At the end of
    // the input (atEnd) a box counts only when all its bytes came, which is known for boxes
    // stored uncompressed.
    char finish(JxlDecoder* dec, std::string& out, bool atEnd) {
        char was = kind;
        if (kind) {
            bytes.resize(bytes.size() - JxlDecoderReleaseBoxBuffer(dec));
            if (atEnd && (compressed || bytes.size() != rawSize)) was = 0;
            if (was) out.swap(bytes);
        }
        kind = 0;
        bytes.clear();
        return was;
    }

  private:
    char kind = 0;
    bool compressed = false;
    uint64_t rawSize = 0;
    std::string bytes;
    size_t filled = 0;
};

// A grey pixel of the image callback's format widened to the picture layout.
void storePixels(const uint8_t* in, uint8_t* out, size_t count, int channels, bool alpha) {
    for (size_t i = 0; i < count; ++i, out += 4) {
        if (channels <= 2) {
            out[0] = out[1] = out[2] = in[0];
        } else {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        out[3] = alpha ? in[channels - 1] : 0;
        in += channels;
    }
}

class JxlSource final : public ImageSource {
  public:
    bool open(const std::string& path);
    bool streams() const override { return false; }
    uint64_t decoderBytes() const override;
    bool putRows(RowSink& sink) override;

  private:
    bool fail(const std::string& why) {
        failureText = why;
        width = height = 0;
        return false;
    }
    bool takeBasicInfo(JxlDecoder* dec);
    void takeColour(JxlDecoder* dec);
    // Decodes the first frame into `pixels`; false when nothing could be decoded.
    bool decodeFirstFrame();
    static void storeRows(void* opaque, size_t x, size_t y, size_t count, const void* pixels);

    std::string file;
    std::unique_ptr<uint8_t[]> pixels;  // the decoded picture, rows of width * 4 bytes
    int channels = 3;                   // samples per pixel libjxl hands over
    bool alpha = false;
};

bool JxlSource::takeBasicInfo(JxlDecoder* dec) {
    JxlBasicInfo info;
    if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) return fail("the image header cannot be read");
    // Orientations 5 to 8 swap the sides.
    const bool swapped = info.orientation >= JXL_ORIENT_TRANSPOSE;
    const uint64_t w = swapped ? info.ysize : info.xsize, h = swapped ? info.xsize : info.ysize;
    if (w == 0 || h == 0) return fail("the image has no size");
    if (w * h >= kMaxPixels)
        return fail("the picture is too large: " + std::to_string(w) + "x" + std::to_string(h) + " pixels");
    width = int(w);
    height = int(h);
    alpha = info.alpha_bits > 0;
    mode = alpha ? TRANSPARENCY_ALPHA : TRANSPARENCY_NONE;
    channels = (info.num_color_channels == 1 ? 1 : 3) + (alpha ? 1 : 0);
    oriented = true;
    return true;
}

// The profile of the pixels as decoded; none for grey pictures (written as RGB) and for plain
// sRGB, which every reader assumes.
void JxlSource::takeColour(JxlDecoder* dec) {
    JxlColorEncoding encoding;
    if (JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
        JXL_DEC_SUCCESS) {
        const bool hdr = encoding.transfer_function == JXL_TRANSFER_FUNCTION_PQ ||
                         encoding.transfer_function == JXL_TRANSFER_FUNCTION_HLG;
        if (hdr) note = "HDR picture: tones not mapped";
        if (encoding.color_space == JXL_COLOR_SPACE_GRAY) return;
        if (encoding.color_space == JXL_COLOR_SPACE_RGB && encoding.white_point == JXL_WHITE_POINT_D65 &&
            encoding.primaries == JXL_PRIMARIES_SRGB &&
            encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB)
            return;
    }
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > kMaxBoxBytes)
        return;
    std::string icc(size, '\0');
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t*>(&icc[0]), size) != JXL_DEC_SUCCESS)
        return;
    if (isRgbProfile(icc)) profile = icc;
}

// The first pass: header, colour, metadata boxes and frames, without decoding any pixels.
bool JxlSource::open(const std::string& path) {
    std::string why;
    if (!readWholeFile(path, file, why)) return fail(why);
    DecoderPtr dec(JxlDecoderCreate(nullptr));
    if (!dec) return fail("out of memory");
    const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_BOX;
    if (JxlDecoderSubscribeEvents(dec.get(), events) != JXL_DEC_SUCCESS)
        return fail("libjxl refuses the decoder");
    JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE);
    // The input is left open: libjxl reports the end of a file as a want of more input, where a
    // closed input would make it print a message.
    JxlDecoderSetInput(dec.get(), reinterpret_cast<const uint8_t*>(file.data()), file.size());
    BoxReader box;
    int frames = 0;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        if (status == JXL_DEC_BASIC_INFO) {
            if (!takeBasicInfo(dec.get())) return false;
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            takeColour(dec.get());
        } else if (status == JXL_DEC_FRAME) {
            ++frames;
        } else if (status == JXL_DEC_BOX || status == JXL_DEC_SUCCESS || status == JXL_DEC_NEED_MORE_INPUT) {
            std::string bytes;
            const char done = box.finish(dec.get(), bytes, status == JXL_DEC_NEED_MORE_INPUT);
            if (done == 'E' && exifBlock.empty()) exifBlock = exifFromBox(bytes);
            if (done == 'X' && xmpPacket.empty()) xmpPacket = bytes;
            if (status != JXL_DEC_BOX) break;
            JxlBoxType type;
            if (JxlDecoderGetBoxType(dec.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS) continue;
            if (memcmp(type, "Exif", 4) == 0) box.start(dec.get(), 'E');
            if (memcmp(type, "xml ", 4) == 0) box.start(dec.get(), 'X');
        } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            if (!box.grow(dec.get())) JxlDecoderReleaseBoxBuffer(dec.get());
        } else {
            // What was learnt before an error stands; the pixel pass tells whether rows can be had.
            break;
        }
    }
    if (width == 0)
        return fail(JxlSignatureCheck(reinterpret_cast<const uint8_t*>(file.data()), file.size()) ==
                            JXL_SIG_INVALID
                        ? "not a JPEG XL file"
                        : "the image header cannot be read");
    frameCount = std::max(1, frames);
    return true;
}

uint64_t JxlSource::decoderBytes() const {
    // The file held in memory, and libjxl's working image: three planes of 32-bit floats.
    return uint64_t(file.size()) + uint64_t(width) * uint64_t(height) * 12;
}

void JxlSource::storeRows(void* opaque, size_t x, size_t y, size_t count, const void* in) {
    JxlSource* self = static_cast<JxlSource*>(opaque);
    if (y >= size_t(self->height) || x >= size_t(self->width)) return;
    count = std::min(count, size_t(self->width) - x);
    uint8_t* out = self->pixels.get() + (y * size_t(self->width) + x) * 4;
    storePixels(static_cast<const uint8_t*>(in), out, count, self->channels, self->alpha);
}

bool JxlSource::decodeFirstFrame() {
    DecoderPtr dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS) {
        failureText = "out of memory";
        return false;
    }
    // Associated alpha comes out straight, as the picture keeps it.
    JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE);
    JxlDecoderSetInput(dec.get(), reinterpret_cast<const uint8_t*>(file.data()), file.size());
    const JxlPixelFormat format = {uint32_t(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool outputSet = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            if (outputSet ||
                JxlDecoderSetImageOutCallback(dec.get(), &format, storeRows, this) != JXL_DEC_SUCCESS) {
                failureText = "libjxl cannot give the pixels as 8-bit samples";
                return false;
            }
            outputSet = true;
        } else if (status == JXL_DEC_FULL_IMAGE) {
            return true;
        } else if (status == JXL_DEC_NEED_MORE_INPUT) {
            // The file ends early: the rows decoded so far, where libjxl can give them.
            if (outputSet && JxlDecoderFlushImage(dec.get()) == JXL_DEC_SUCCESS) {
                warningText = "the file ends early: the picture is incomplete";
                return true;
            }
            failureText = "the file ends early: no rows could be decoded";
            return false;
        } else {
            failureText = "libjxl cannot decode the image: the data is corrupt or unsupported";
            return false;
        }
    }
}

bool JxlSource::putRows(RowSink& sink) {
    if (width == 0) return false;
    const size_t stride = size_t(width) * 4;
    pixels.reset(new uint8_t[stride * size_t(height)]());
    const bool decoded = decodeFirstFrame();
    file.clear();
    file.shrink_to_fit();
    if (!decoded) {
        pixels.reset();
        return false;
    }
    for (int y = 0; y < height; y += kStripRows)
        sink.putRows(y, std::min(kStripRows, height - y), pixels.get() + size_t(y) * stride, stride);
    pixels.reset();
    return true;
}

}  // namespace

std::unique_ptr<ImageSource> openJxlSource(const std::string& path) {
    keepLibrariesQuiet();
    std::unique_ptr<JxlSource> source(new JxlSource());
    source->open(path);
    return std::unique_ptr<ImageSource>(std::move(source));
}
