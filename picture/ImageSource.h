// SPDX-License-Identifier: MIT
// An image file opened for decoding: its size is known before any pixel is decoded. JPEG and
// non-interlaced PNG files deliver their rows in order into a RowSink without the whole picture
// ever being held; the other formats are decoded whole when opened and deliver the picture's rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "picture/RowSink.h"

class ImageSource {
  public:
    // Chooses the decoder by the file's first bytes (picture/FileKind.h); the name plays no part.
    // The result is never null; check isOpen().
    static std::unique_ptr<ImageSource> open(const std::string& path);
    virtual ~ImageSource() = default;

    // False when the file cannot be read as the picture CPicture::load would give: failed.
    bool isOpen() const { return width > 0 && height > 0; }
    // True when the rows are decoded as they are put, so the picture is never held whole.
    virtual bool streams() const { return false; }
    // Draft decoding: lets the source decode at a reduced scale (JPEG's DCT scaling, a HEIF file's
    // thumbnail) that still leaves at least minWidth x minHeight pixels; width and height then give
    // the reduced size. Called at most once, before any rows are put. False, with nothing changed,
    // where the format or file offers no such scale.
    virtual bool reduceTo(int /*minWidth*/, int /*minHeight*/) { return false; }
    // After reduceTo: how many of the full picture's pixels one reduced pixel spans across and down
    // (its pixel i covers [i * span, (i + 1) * span)); 0 where that is the full size over the
    // reduced size.
    double spanX = 0, spanY = 0;
    // Bytes the decoder allocates for itself while it decodes, beside the picture it gives (HEIF's
    // planes at their stored size, before any crop); the job reserves them too. 0 for most sources.
    virtual uint64_t decoderBytes() const { return 0; }
    // Asks a CMYK source that carries a CMYK profile to give its rows in sRGB, converted through
    // that profile as they are decoded; its profile then reads as empty. False, with nothing
    // changed, for every other source and for a profile that cannot be used. Before any row.
    virtual bool convertCmykToSrgb() { return false; }
    // Puts every row, top first, into the sink, exactly once; rows the file does not hold come as
    // the zero rows CPicture::load gives for them. False when the decode fails part way (the load
    // would leave an empty picture); the rows put by then are not to be used. Called once.
    virtual bool putRows(RowSink& sink) = 0;
    // Puts the rows turned by a quarter or half turn (codes 6, 8, 3) into `turned`, which keeps
    // the picture's transparency mode. False as above.
    virtual bool putTurned(CPicture& turned, int code);

    int width = 0;
    int height = 0;
    // The picture's transparency mode; when modeKnown is false it is only known once the rows
    // have been put (it is then set), and until then every mode is possible.
    int32_t mode = TRANSPARENCY_NONE;
    bool modeKnown = true;
    // Why the file could not be opened or decoded ("" when it could), and what a decode that
    // succeeded noticed (truncated or corrupt data; "" for a sound file). A streamed decode knows
    // its warning only once its rows have been put.
    virtual const std::string& failure() const { return failureText; }
    virtual const std::string& warning() const { return warningText; }
    // The source's ICC colour profile, whole; empty when it has none (CPicture's iccProfile).
    const std::string& iccProfile() const { return profile; }

    // What the file carries besides the pixels; each "" when it has none.
    // exifBlock: the EXIF block from its TIFF header on, as a JPEG APP1 segment holds it after
    // "Exif\0\0". xmpPacket: the XMP packet (XML text). iptcBlock: the IPTC-NAA records (as a
    // Photoshop APP13 resource 0x0404 holds them).
    std::string exifBlock, xmpPacket, iptcBlock;
    // True when the decoder has already turned the picture as the file asks (HEIF's transforms,
    // JPEG XL's orientation): the EXIF orientation must not turn it again.
    bool oriented = false;
    // The orientation the file declares outside any EXIF block (TIFF's Orientation tag), 1 to 8 as
    // EXIF counts; 0 when it declares none. The job turns by it in place of the EXIF block's.
    int orientation = 0;
    // Frames or pages the file holds (1 for most files); the job resizes the first and says so.
    int frameCount = 1;
    // Something the job should tell the user that is not damage ("HDR picture: tones not mapped");
    // "" when there is nothing.
    std::string note;

  protected:
    std::string failureText;
    std::string warningText;
    std::string profile;
};

// The picture size a PNG, GIF or BMP file declares in its header, read before anything is decoded,
// and whether its source decodes it whole when opened (BMP, interlaced PNG). False for other
// files and headers that cannot be read; opening the file then tells. heldBytes, when given, is
// what a streaming source holds besides its rows (a GIF's image indices), else 0.
bool declaredSize(const std::string& path, int32_t& width, int32_t& height, bool& whole,
                  uint64_t* heldBytes = nullptr);
// A GIF file's picture size (its screen, raised to its largest image) and the bytes its streaming
// source holds, from the file's blocks without decoding them. False when it is no GIF file.
bool gifLayout(const std::string& path, int32_t& width, int32_t& height, uint64_t& heldBytes);

// A picture decoded whole, delivered row by row.
class PictureSource final : public ImageSource {
  public:
    explicit PictureSource(std::unique_ptr<CPicture> picture);
    bool putRows(RowSink& sink) override;
    CPicture& picture() { return *held; }

  private:
    std::unique_ptr<CPicture> held;
};

// JPEG through libjpeg, straight into the picture layout.
std::unique_ptr<ImageSource> openJpegSource(const std::string& path);
// GIF; streams the screen around the last image.
std::unique_ptr<ImageSource> openGifSource(const std::string& path);
// PNG; non-interlaced files stream.
std::unique_ptr<ImageSource> openPngSource(const std::string& path);
// The formats read through their own libraries, each in its own file.
std::unique_ptr<ImageSource> openHeifSource(const std::string& path);  // HEIF, HEIC and AVIF (libheif)
std::unique_ptr<ImageSource> openWebpSource(const std::string& path);  // libwebp
std::unique_ptr<ImageSource> openTiffSource(const std::string& path);  // libtiff
std::unique_ptr<ImageSource> openJxlSource(const std::string& path);   // libjxl
// A source that failed to open, saying why.
std::unique_ptr<ImageSource> failedSource(const std::string& why);
