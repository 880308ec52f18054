// SPDX-License-Identifier: MIT
// Colour conversion to sRGB: LittleCMS 2 does the colour science; here only the picture layout and
// the error handling, which stays per call (LittleCMS reports to a handler of its context).
#include "picture/ColourConvert.h"

#include <lcms2.h>

#include <cmath>
#include <memory>

namespace {

// A context whose errors are swallowed: a bad profile is a result, never a message on stderr.
void quietErrors(cmsContext, cmsUInt32Number, const char*) {}

struct Context {
    cmsContext id = cmsCreateContext(nullptr, nullptr);
    Context() {
        if (id) cmsSetLogErrorHandlerTHR(id, quietErrors);
    }
    ~Context() {
        if (id) cmsDeleteContext(id);
    }
};

struct Profile {
    cmsHPROFILE handle;
    ~Profile() {
        if (handle) cmsCloseProfile(handle);
    }
};

bool near(double a, double b, double tolerance) {
    return std::fabs(a - b) <= tolerance;
}

// Colorants and tone curves of an RGB matrix-shaper profile against sRGB's.
bool sameAsSrgb(cmsHPROFILE profile, cmsHPROFILE srgb) {
    if (cmsGetColorSpace(profile) != cmsSigRgbData || !cmsIsMatrixShaper(profile)) return false;
    const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                          cmsSigBlueColorantTag};
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int c = 0; c < 3; ++c) {
        const cmsCIEXYZ* a = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, colorants[c]));
        const cmsCIEXYZ* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, colorants[c]));
        const cmsToneCurve* ca = static_cast<const cmsToneCurve*>(cmsReadTag(profile, curves[c]));
        const cmsToneCurve* cb = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, curves[c]));
        if (!a || !b || !ca || !cb) return false;
        if (!near(a->X, b->X, 0.002) || !near(a->Y, b->Y, 0.002) || !near(a->Z, b->Z, 0.002)) return false;
        for (int i = 0; i <= 32; ++i) {
            const float x = float(i) / 32;
            if (!near(cmsEvalToneCurveFloat(ca, x), cmsEvalToneCurveFloat(cb, x), 0.5 / 255)) return false;
        }
    }
    return true;
}

}  // namespace

bool isSrgbProfile(const std::string& profile) {
    Context context;
    if (!context.id) return false;
    Profile source{cmsOpenProfileFromMemTHR(context.id, profile.data(), cmsUInt32Number(profile.size()))};
    Profile srgb{cmsCreate_sRGBProfileTHR(context.id)};
    return source.handle && srgb.handle && sameAsSrgb(source.handle, srgb.handle);
}

ColourResult convertToSrgb(CPicture& picture, const std::string& profile) {
    if (profile.empty() || picture.isEmpty()) return ColourResult::Unchanged;
    Context context;
    if (!context.id) return ColourResult::Unreadable;
    Profile source{cmsOpenProfileFromMemTHR(context.id, profile.data(), cmsUInt32Number(profile.size()))};
    Profile srgb{cmsCreate_sRGBProfileTHR(context.id)};
    if (!source.handle || !srgb.handle || cmsGetColorSpace(source.handle) != cmsSigRgbData)
        return ColourResult::Unreadable;
    if (sameAsSrgb(source.handle, srgb.handle)) return ColourResult::Unchanged;
    cmsHTRANSFORM transform = cmsCreateTransformTHR(context.id, source.handle, TYPE_BGRA_8, srgb.handle,
                                                    TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
    if (!transform) return ColourResult::Unreadable;
    picture.undoPreMultiplication();
    // In place, row by row: the fourth byte is an extra channel the transform does not write.
    for (int y = 0; y < picture.height; ++y)
        cmsDoTransform(transform, picture.pixelAt(0, y), picture.pixelAt(0, y),
                       cmsUInt32Number(picture.width));
    cmsDeleteTransform(transform);
    return ColourResult::Converted;
}

CmykToSrgb::CmykToSrgb(const std::string& profile, bool inverted, bool sixteenBits) {
    if (profile.empty()) return;
    cmsContext id = cmsCreateContext(nullptr, nullptr);
    if (!id) return;
    cmsSetLogErrorHandlerTHR(id, quietErrors);
    context = id;
    Profile source{cmsOpenProfileFromMemTHR(id, profile.data(), cmsUInt32Number(profile.size()))};
    Profile srgb{cmsCreate_sRGBProfileTHR(id)};
    if (!source.handle || !srgb.handle || cmsGetColorSpace(source.handle) != cmsSigCmykData) return;
    const cmsUInt32Number format = sixteenBits ? TYPE_CMYK_16 : inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
    transform =
        cmsCreateTransformTHR(id, source.handle, format, srgb.handle, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
}

CmykToSrgb::~CmykToSrgb() {
    if (transform) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform));
    if (context) cmsDeleteContext(static_cast<cmsContext>(context));
}

void CmykToSrgb::convert(const void* samples, uint8_t* pixels, int width) const {
    if (transform && width > 0)
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform), samples, pixels, cmsUInt32Number(width));
}
