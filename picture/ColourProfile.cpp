// SPDX-License-Identifier: MIT
// ICC profiles built with LittleCMS from H.273 colour primaries and transfer characteristics.
#include "picture/ColourProfile.h"

#include <lcms2.h>

#include <memory>

namespace {

// H.273 code points used below.
enum : int {
    kPrimariesBt709 = 1,
    kPrimariesUnspecified = 2,
    kTransferBt709 = 1,
    kTransferUnspecified = 2,
    kTransferGamma22 = 4,
    kTransferGamma28 = 5,
    kTransferBt601 = 6,
    kTransferSmpte240 = 7,
    kTransferLinear = 8,
    kTransferSrgb = 13,
    kTransferBt2020Ten = 14,
    kTransferBt2020Twelve = 15,
    kTransferPq = 16,
    kTransferHlg = 18,
};

bool isSrgbLikeTransfer(int transfer) {
    switch (transfer) {
        case 0:
        case kTransferBt709:
        case kTransferUnspecified:
        case kTransferBt601:
        case kTransferSrgb:
        case kTransferBt2020Ten:
        case kTransferBt2020Twelve:
            return true;
        default:
            return false;
    }
}

// LittleCMS's parametric curve type 4: Y = (aX + b)^g for X >= d, Y = cX below.
cmsToneCurve* curveOfTransfer(cmsContext context, int transfer) {
    switch (transfer) {
        case kTransferGamma22:
            return cmsBuildGamma(context, 2.2);
        case kTransferGamma28:
            return cmsBuildGamma(context, 2.8);
        case kTransferLinear:
            return cmsBuildGamma(context, 1.0);
        case kTransferBt709:
        case kTransferBt601:
        case kTransferBt2020Ten:
        case kTransferBt2020Twelve: {
            const cmsFloat64Number p[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
            return cmsBuildParametricToneCurve(context, 4, p);
        }
        case kTransferSmpte240: {
            const cmsFloat64Number p[5] = {1 / 0.45, 1 / 1.1115, 0.1115 / 1.1115, 1 / 4.0, 0.0913};
            return cmsBuildParametricToneCurve(context, 4, p);
        }
        default: {
            // sRGB, and what the description leaves open.
            const cmsFloat64Number p[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
            return cmsBuildParametricToneCurve(context, 4, p);
        }
    }
}

struct ContextFree {
    void operator()(cmsContext c) const { cmsDeleteContext(c); }
};
struct ProfileClose {
    void operator()(cmsHPROFILE p) const { cmsCloseProfile(p); }
};
struct CurveFree {
    void operator()(cmsToneCurve* c) const { cmsFreeToneCurve(c); }
};

// Messages of LittleCMS stay with the call that failed; its result says enough.
void dropMessage(cmsContext, cmsUInt32Number, const char*) {}

bool validChromaticities(const float xy[8]) {
    for (int i = 0; i < 8; i += 2)
        if (!(xy[i] > 0 && xy[i] < 1 && xy[i + 1] > 0 && xy[i + 1] < 1)) return false;
    return true;
}

std::string savedProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0) return std::string();
    std::string bytes(size, '\0');
    if (!cmsSaveProfileToMem(profile, &bytes[0], &size)) return std::string();
    bytes.resize(size);
    return bytes;
}

void describe(cmsContext context, cmsHPROFILE profile, int primaries, int transfer) {
    const std::string text =
        "RGB from nclx: primaries " + std::to_string(primaries) + ", transfer " + std::to_string(transfer);
    cmsMLU* mlu = cmsMLUalloc(context, 1);
    if (!mlu) return;
    if (cmsMLUsetASCII(mlu, "en", "US", text.c_str())) cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
}

}  // namespace

bool isRgbProfile(const std::string& icc) {
    return icc.size() >= 128 && icc.compare(16, 4, "RGB ") == 0;
}

bool isHdrTransfer(int transfer) {
    return transfer == kTransferPq || transfer == kTransferHlg;
}

std::string iccProfileForNclx(int primaries, int transfer, const float xy[8]) {
    if (isHdrTransfer(transfer)) return std::string();
    const bool srgbPrimaries = primaries == kPrimariesBt709 || primaries == kPrimariesUnspecified;
    if (srgbPrimaries && isSrgbLikeTransfer(transfer)) return std::string();
    if (!validChromaticities(xy)) return std::string();
    std::unique_ptr<_cmsContext_struct, ContextFree> context(cmsCreateContext(nullptr, nullptr));
    if (!context) return std::string();
    cmsSetLogErrorHandlerTHR(context.get(), dropMessage);
    std::unique_ptr<cmsToneCurve, CurveFree> curve(curveOfTransfer(context.get(), transfer));
    if (!curve) return std::string();
    const cmsCIExyY white = {xy[6], xy[7], 1.0};
    const cmsCIExyYTRIPLE rgb = {{xy[0], xy[1], 1.0}, {xy[2], xy[3], 1.0}, {xy[4], xy[5], 1.0}};
    cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    std::unique_ptr<void, ProfileClose> profile(cmsCreateRGBProfileTHR(context.get(), &white, &rgb, curves));
    if (!profile) return std::string();
    describe(context.get(), profile.get(), primaries, transfer);
    return savedProfile(profile.get());
}
