// SPDX-License-Identifier: MIT
// GIF files as a stream of rows: only the last image's indices are held; the rest of the screen is
// made row by row as it is put, and the rows below the image are one background row put once.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "picture/CGif.h"
#include "picture/ImageSource.h"
#include "tools/modTools.h"

namespace {

class GifSource final : public ImageSource {
  public:
    explicit GifSource(const std::string& path) : gif(new CGif(path)) {
        if (!gif->hasPicture()) {
            failureText = gifFailure(*gif);
            gif.reset();
            return;
        }
        gifColours(*gif, colours);
        const imagedescriptorblock* image = gif->images.back();
        imageW = gif->indexBuffer ? image->width : 0;
        imageH = gif->indexBuffer ? image->height : 0;
        width = gif->canvasWidth;
        height = gif->canvasHeight;
        warningText = gif->warning;
        // A transparent picture is a mask when some pixel is transparent: one of the image's, or
        // the outside when the image does not cover the screen.
        if (gif->frameControls.front()->transparent) {
            bool clear = (imageW < width || imageH < height) && colours.outside[3] == 0;
            const int64_t count = int64_t(imageW) * imageH;
            for (int64_t i = 0; i < count && !clear; ++i) clear = colours.lut[gif->indexBuffer[i]][3] == 0;
            if (clear) mode = TRANSPARENCY_MASK;
        }
    }

    bool streams() const override { return true; }

    bool putRows(RowSink& sink) override {
        if (!gif) return false;
        const size_t rowBytes = size_t(width) * 4;
        std::vector<uint8_t> row(rowBytes);
        for (int x = 0; x < width; ++x) memcpy(row.data() + size_t(x) * 4, colours.outside, 4);
        for (int y = 0; y < imageH; ++y) {
            const uint8_t* src = gif->indexBuffer + size_t(y) * size_t(imageW);
            uint8_t* dst = row.data();
            for (int x = 0; x < imageW; ++x, dst += 4) memcpy(dst, colours.lut[src[x]], 4);
            sink.putRows(y, 1, row.data(), rowBytes);
        }
        if (imageH < height) {
            for (int x = 0; x < imageW; ++x) memcpy(row.data() + size_t(x) * 4, colours.outside, 4);
            sink.putRows(imageH, height - imageH, row.data(), 0);
        }
        gif.reset();
        return true;
    }

  private:
    std::unique_ptr<CGif> gif;
    GifColours colours;
    int imageW = 0, imageH = 0;
};

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

// Reads data sub-blocks up to and including the terminator.
bool skipBlocks(GifReader& in) {
    uint8_t length;
    while (in.readByte(length)) {
        if (length == 0) return true;
        if (!in.skipBytes(length)) return false;
    }
    return false;
}

}  // namespace

std::unique_ptr<ImageSource> openGifSource(const std::string& path) {
    return std::unique_ptr<ImageSource>(new GifSource(path));
}

bool gifLayout(const std::string& path, int32_t& width, int32_t& height, uint64_t& heldBytes) {
    std::unique_ptr<FILE, FileCloser> file(fileOpen(path, "rb", nullptr));
    if (!file) return false;
    std::unique_ptr<GifReader> in(new GifReader(file.get()));
    uint8_t head[13];
    if (!in->readBytes(head, 13) || memcmp(head, "GIF", 3) != 0) return false;
    width = head[6] | head[7] << 8;
    height = head[8] | head[9] << 8;
    uint64_t largest = 0;
    uint8_t tag = 0;
    const bool table = head[10] & 0x80;
    if (table && !in->skipBytes(size_t(3) << ((head[10] & 7) + 1))) tag = 0x3B;
    while (tag != 0x3B && in->readByte(tag) && tag != 0x3B) {
        if (tag == 0x21) {
            if (!in->skipBytes(1) || !skipBlocks(*in)) break;
        } else if (tag == 0x2C) {
            uint8_t d[10];
            if (!in->readBytes(d, 9)) break;
            const int w = d[4] | d[5] << 8, h = d[6] | d[7] << 8;
            width = std::max(width, w);
            height = std::max(height, h);
            // The indices, and as much again while an interlaced image is put in row order.
            largest = std::max<uint64_t>(largest, uint64_t(w) * uint64_t(h) * ((d[8] & 0x40) ? 2 : 1));
            if ((d[8] & 0x80) && !in->skipBytes(size_t(3) << ((d[8] & 7) + 1))) break;
            if (!in->readBytes(d + 9, 1) || !skipBlocks(*in)) break;
        }
    }
    heldBytes = sizeof(CGif) + largest;
    return true;
}
