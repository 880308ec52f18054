// SPDX-License-Identifier: MIT
// Pictures as a stream of rows: decoders that can deliver rows in order hand them to a RowSink, so
// a job never needs to hold the whole decoded picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "picture/Picture.h"

// Receives the rows of a picture of known size, top row first, each row exactly once and in
// order: rows y .. y + count - 1, each width * 4 bytes in the picture layout, stride bytes apart.
// A stride of 0 puts one row count times (a picture's plain background); a sink may treat it once.
class RowSink {
  public:
    virtual ~RowSink() = default;
    virtual void putRows(int y, int count, const uint8_t* rows, size_t stride) = 0;
    // False when byte 3 of opaque rows does not matter to the sink, so a decoder that leaves
    // something else there (JPEG's 255) need not clear it.
    virtual bool needsByte3() const { return true; }
};

// Hands every row of a picture to a sink.
void putPictureRows(const CPicture& picture, RowSink& sink);

// Writes the rows it receives into a picture of their size (created by the caller).
class PictureRows final : public RowSink {
  public:
    explicit PictureRows(CPicture& picture) : picture(picture) {}
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;

  private:
    CPicture& picture;
};

// A rectangle of the rows it receives, passed on as rows of their own: rows y0 .. y0 + h - 1 from
// column x0, w pixels wide, every byte as it is.
class RowWindow final : public RowSink {
  public:
    RowWindow(RowSink& next, int x0, int y0, int w, int h);
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;
    bool needsByte3() const override { return next.needsByte3(); }

  private:
    RowSink& next;
    int x0, y0, w, h;
};

// Hands every row it receives to each of its sinks in turn (several outputs from one decode); byte 3
// matters when it matters to any of them.
class FanOutRows final : public RowSink {
  public:
    explicit FanOutRows(std::vector<RowSink*> sinks) : sinks(std::move(sinks)) {}
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override {
        for (RowSink* sink : sinks) sink->putRows(y, count, rows, stride);
    }
    bool needsByte3() const override {
        for (const RowSink* sink : sinks)
            if (sink->needsByte3()) return true;
        return false;
    }

  private:
    std::vector<RowSink*> sinks;
};

// Turns the picture whose rows it receives by a quarter or half turn (EXIF codes 6, 8 and 3, as
// CPicture::rotate90 does) into `turned`, which it creates. Rows are gathered in strips so the
// turned picture is written a cache line at a time.
class TurningRows final : public RowSink {
  public:
    // Throws std::bad_alloc when the turned picture cannot be had.
    TurningRows(CPicture& turned, int code, int width, int height);
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;

    static constexpr int kStrip = 16;

  private:
    void turnStrip(int y, int count, const uint8_t* rows, size_t stride);

    CPicture& turned;
    int code, width, height;
    std::unique_ptr<uint8_t[]> strip;  // rows gathered until a strip is full
    int stripFirst = 0, stripCount = 0;
};
