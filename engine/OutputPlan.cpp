// SPDX-License-Identifier: MIT
// The size words and the geometry of one output: fit, centre crop, stretch, never enlarge.
#include "engine/OutputPlan.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/OutputSettings.h"
#include "engine/Settings.h"
#include "picture/MetadataFilter.h"
#include "tools/modTools.h"

// Truncates toward zero like a C cast, but saturates instead of overflowing; NaN gives 0.
int32_t truncateToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

namespace {

// An integer product of two sizes as a double; 64-bit so that large pictures cannot overflow.
double product(int32_t a, int32_t b) {
    return static_cast<double>(static_cast<int64_t>(a) * b);
}

bool isNumber(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Shrinks one side of the box so that it has the picture's aspect ratio.
void fitInside(int32_t w, int32_t h, int32_t& W, int32_t& H) {
    const double e = (static_cast<double>(W) / w) * h;
    if (e > H)
        W = truncateToInt(product(w, H) / h + 0.5);
    else
        H = truncateToInt(e + 0.5);
}

// Cuts the centre of the picture to the aspect ratio of W by H; the box itself stays. The
// offsets use the size the cut really gets (a picture is at least one pixel wide and high).
void cropToAspect(Plan& plan) {
    const int32_t W = plan.W, H = plan.H, w = plan.w, h = plan.h;
    if (W == 0 && H == 0) return;
    if (static_cast<double>(w) / h > static_cast<double>(W) / H) {
        const int32_t nw = truncateToInt(product(h, W) / H);
        if (nw >= w) return;
        plan.w = std::max(nw, 1);
        plan.x = w / 2 - plan.w / 2;
    } else {
        const int32_t nh = truncateToInt(product(w, H) / W);
        if (nh >= h) return;
        plan.h = std::max(nh, 1);
        plan.y = h / 2 - plan.h / 2;
    }
    plan.cut = true;
}

// A box larger than the part on either side would enlarge it: the part keeps its own size. A
// stretch changes each side on its own, so each side is held to the part's.
void neverEnlarge(Plan& plan, bool stretch) {
    if (stretch) {
        plan.W = std::min(plan.W, plan.w);
        plan.H = std::min(plan.H, plan.h);
    } else if (plan.W > plan.w || plan.H > plan.h) {
        plan.W = plan.w;
        plan.H = plan.h;
    }
}

}  // namespace

SizeWord parseSizeWord(const std::string& text) {
    SizeWord word;
    const std::vector<std::string> pieces = strsplit(text, "x");
    if (pieces.size() == 2) {
        const std::string first = strtrim(pieces[0]), second = strtrim(pieces[1]);
        word.width = strToInt(first);
        word.height = strToInt(second);
        word.kind = first.empty() && isNumber(second)   ? SizeWord::Height
                    : second.empty() && isNumber(first) ? SizeWord::Width
                                                        : SizeWord::Box;
    } else if (pieces.size() == 1 && isRight(strtrim(text), "x") && isNumber(strtrim(pieces[0]))) {
        // strsplit gives no empty piece after a final "x".
        word.kind = SizeWord::Width;
        word.width = strToInt(strtrim(pieces[0]));
    } else if (isRight(text, "%")) {
        word.kind = SizeWord::Percent;
        word.percent = strToDbl(text);
    } else if (pieces.size() == 1 && isNumber(strtrim(text)) && strToInt(strtrim(text)) > 0) {
        word.kind = SizeWord::Long;
        word.width = word.height = strToInt(strtrim(text));
    }
    return word;
}

Plan planFor(const std::string& resolution, int32_t cropMode, bool noEnlarge, int32_t w, int32_t h) {
    Plan plan;
    plan.w = w;
    plan.h = h;
    const SizeWord word = parseSizeWord(resolution);
    bool fit = cropMode == CropMode::NoCrop;
    switch (word.kind) {
        case SizeWord::Box:
        case SizeWord::Long:
            plan.W = word.width;
            plan.H = word.height;
            fit = fit || word.kind == SizeWord::Long;
            break;
        case SizeWord::Percent:
            plan.W = truncateToInt(w * word.percent / 100);
            plan.H = truncateToInt(h * word.percent / 100);
            break;
        case SizeWord::Width:
            plan.W = word.width;
            plan.H = INT32_MAX;
            fit = true;
            break;
        case SizeWord::Height:
            plan.W = INT32_MAX;
            plan.H = word.height;
            fit = true;
            break;
        default:
            break;
    }
    if (fit)
        fitInside(w, h, plan.W, plan.H);
    else if (cropMode == CropMode::Crop)
        cropToAspect(plan);
    if (noEnlarge) neverEnlarge(plan, !fit && cropMode == CropMode::Stretch);
    // A box of the part's own size is a plain copy.
    plan.copy = plan.W == plan.w && plan.H == plan.h;
    return plan;
}

namespace {

void addNote(std::string& note, const std::string& text) {
    note += (note.empty() ? "" : "; ") + text;
}

const char* typeName(OutputType type) {
    switch (type) {
        case OutputType::Jpeg:
            return "JPEG";
        case OutputType::Png:
            return "PNG";
        case OutputType::Bmp:
            return "BMP";
        case OutputType::Webp:
            return "WebP";
        case OutputType::Avif:
            return "AVIF";
        case OutputType::Jxl:
            return "JPEG XL";
        case OutputType::Tiff:
            return "TIFF";
        default:
            return "this type";
    }
}

}  // namespace

OutputMetadata chooseMetadata(int32_t mode, OutputType type, const SourceBlocks& blocks, std::string& note) {
    OutputMetadata out;
    if (mode == MetadataMode::None) return out;
    const bool strip = mode == MetadataMode::NoLocation;
    out.exif = blocks.exif;
    out.xmp = blocks.xmp;
    out.iptc = blocks.iptc;
    if (!out.exif.empty() && strip && !stripExifLocation(out.exif)) {
        out.exif.clear();
        addNote(note, "EXIF block unreadable: left out");
    }
    if (!out.xmp.empty() && strip && !stripXmpLocation(out.xmp)) {
        out.xmp.clear();
        addNote(note, "XMP packet unreadable: left out");
    }
    if (!out.iptc.empty() && !(strip ? stripIptcLocation(out.iptc) : iptcIsSound(out.iptc))) {
        out.iptc.clear();
        addNote(note, "IPTC records unreadable: left out");
    }
    // BMP never held EXIF; only the blocks that were never dropped before are noted.
    if (!outputHolds(type, MetadataBlock::Exif)) out.exif.clear();
    if (!out.xmp.empty() && !outputHolds(type, MetadataBlock::Xmp)) {
        out.xmp.clear();
        addNote(note, std::string("XMP left out: ") + typeName(type) + " has no place for it");
    }
    if (!out.iptc.empty() && !outputHolds(type, MetadataBlock::Iptc)) {
        out.iptc.clear();
        addNote(note, std::string("IPTC left out: ") + typeName(type) + " has no place for it");
    }
    return out;
}
