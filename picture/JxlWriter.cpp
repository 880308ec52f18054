// SPDX-License-Identifier: MIT
// JPEG XL writing through libjxl: lossy at a distance taken from the quality, lossless at 100;
// alpha kept; the ICC profile (else sRGB) as the colour encoding; EXIF and XMP in boxes.
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <lcms2.h>

#include <cstring>
#include <vector>

#include "picture/ImageWriter.h"
#include "picture/WriterSupport.h"

namespace {

// Effort 7 ("squirrel") is the library's default and vips's jxlsave's.
const int kEffort = 7;
const size_t kOutputChunk = size_t(1) << 16;

// The Butteraugli distance of a quality, as cjxl maps its --quality: 90 gives 1.0 (visually
// lossless), 30 gives 6.4, below that it rises faster up to 25 at 0.
float distanceOf(int quality) {
    const double q = quality;
    if (q >= 30) return float(0.1 + (100 - q) * 0.09);
    return float(53.0 / 3000.0 * q * q - 23.0 / 20.0 * q + 25.0);
}

void quietCms(cmsContext, cmsUInt32Number, const char*) {}

// Whether the library can take the profile: it parses the profile with LittleCMS and, when that
// fails, prints its complaint on the standard error. So the profile is tried first, silently: an
// RGB profile from which a transform to sRGB can be built (which reads its colour tags).
bool iccUsable(const std::string& icc) {
    if (icc.size() < 132 || icc.size() > UINT32_MAX) return false;
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (!context) return false;
    cmsSetLogErrorHandlerTHR(context, quietCms);
    bool usable = false;
    if (cmsHPROFILE profile = cmsOpenProfileFromMemTHR(context, icc.data(), cmsUInt32Number(icc.size()))) {
        if (cmsGetColorSpace(profile) == cmsSigRgbData) {
            if (cmsHPROFILE srgb = cmsCreate_sRGBProfileTHR(context)) {
                cmsHTRANSFORM transform = cmsCreateTransformTHR(context, profile, TYPE_RGB_8, srgb,
                                                                TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
                usable = transform != nullptr;
                if (transform) cmsDeleteTransform(transform);
                cmsCloseProfile(srgb);
            }
        }
        cmsCloseProfile(profile);
    }
    cmsDeleteContext(context);
    return usable;
}

bool good(JxlEncoderStatus status) {
    return status == JXL_ENC_SUCCESS;
}

bool setImageInfo(JxlEncoder* encoder, const CPicture& picture, bool alpha, bool lossless,
                  const std::string& icc) {
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(picture.width);
    info.ysize = uint32_t(picture.height);
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    // Lossless keeps the samples as they are; lossy works in the format's own colour space.
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    if (alpha) {
        info.alpha_bits = 8;
        info.num_extra_channels = 1;
    }
    if (!good(JxlEncoderSetBasicInfo(encoder, &info))) return false;
    if (alpha) {
        JxlExtraChannelInfo channel;
        JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
        channel.bits_per_sample = 8;
        if (!good(JxlEncoderSetExtraChannelInfo(encoder, 0, &channel))) return false;
    }
    if (iccUsable(icc) &&
        good(JxlEncoderSetICCProfile(encoder, reinterpret_cast<const uint8_t*>(icc.data()), icc.size())))
        return true;
    // No profile, or one that cannot be used: the pixels are taken as sRGB, as every output without
    // a profile takes them.
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    return good(JxlEncoderSetColorEncoding(encoder, &srgb));
}

bool addBox(JxlEncoder* encoder, const char* type, const std::string& contents) {
    if (contents.empty()) return true;
    JxlBoxType box;
    std::memcpy(box, type, 4);
    return good(JxlEncoderAddBox(encoder, box, reinterpret_cast<const uint8_t*>(contents.data()),
                                 contents.size(), JXL_FALSE));
}

bool addMetadata(JxlEncoder* encoder, const OutputMetadata& metadata) {
    if (metadata.exif.empty() && metadata.xmp.empty()) return true;
    if (!good(JxlEncoderUseBoxes(encoder))) return false;
    const bool added =
        addBox(encoder, "Exif", exifWithOffset(metadata.exif)) && addBox(encoder, "xml ", metadata.xmp);
    JxlEncoderCloseBoxes(encoder);
    return added;
}

bool addFrame(JxlEncoder* encoder, const CPicture& picture, bool alpha, const WriteOptions& options) {
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    if (!settings || !good(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kEffort)))
        return false;
    if (options.quality >= 100) {
        if (!good(JxlEncoderSetFrameLossless(settings, JXL_TRUE))) return false;
    } else if (!good(JxlEncoderSetFrameDistance(settings,
                                                distanceOf(options.quality < 1 ? 1 : options.quality)))) {
        return false;
    }
    const int channels = alpha ? 4 : 3;
    const std::vector<uint8_t> rgb = rgbPicture(picture, channels);
    if (rgb.empty()) return false;
    const JxlPixelFormat format = {uint32_t(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    return good(JxlEncoderAddImageFrame(settings, &format, rgb.data(), rgb.size()));
}

// Takes the encoded bytes a chunk at a time into the stream.
bool drain(JxlEncoder* encoder, FILE* file) {
    std::vector<uint8_t> chunk(kOutputChunk);
    for (;;) {
        uint8_t* next = chunk.data();
        size_t room = chunk.size();
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &room);
        const size_t size = chunk.size() - room;
        if (size > 0 && fwrite(chunk.data(), 1, size, file) != size) return false;
        if (status == JXL_ENC_SUCCESS) return true;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) return false;
    }
}

bool encodeInto(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file) {
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    if (!encoder) return false;
    const bool alpha = straightenAlpha(picture);
    const bool lossless = options.quality >= 100;
    if (!setImageInfo(encoder.get(), picture, alpha, lossless, metadata.icc) ||
        !addMetadata(encoder.get(), metadata) || !addFrame(encoder.get(), picture, alpha, options))
        return false;
    JxlEncoderCloseInput(encoder.get());
    return drain(encoder.get(), file);
}

}  // namespace

bool writeJxl(CPicture& picture, const OutputMetadata& metadata, const WriteOptions& options, FILE* file) {
    return encodeAndClose(file, [&] { return !picture.isEmpty() && encodeInto(picture, metadata, options, file); });
}
