// SPDX-License-Identifier: MIT
// The resampler fed row by row: each output row is computed as soon as the source rows its taps
// read have arrived, so a decoder can feed it without the whole source picture ever existing.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "picture/RowSink.h"

namespace resample {
struct AxisTable;
class RowKernel;
}  // namespace resample

// Where the outputs of one axis sample the source: output o at start + o * step, in source pixels
// (pixel i's centre at i). By default start is 0 and step the source size over the output size.
struct SampleAxis {
    double start = 0, step = 1;
};
struct SampleGrid {
    SampleAxis x, y;  // of the turned picture's columns and rows
};

class RowResampler final : public RowSink {
  public:
    // Fills `dst` (created by the caller, any size) with filter 1, 2 or 3 from a source of
    // srcW x srcH whose rows are then put in order. `channels` is 3 for an opaque source (byte 3
    // of the output is left alone) and 4 otherwise. The output's transparency mode is the caller's.
    // With `turn` (EXIF code 6, 8 or 3) the output is the source turned so and then resampled, byte
    // for byte, computed from the source's own rows: the turned picture is never made. With `grid`
    // the outputs sample where it says instead (a draft decoded at a reduced scale samples the
    // places the full picture's outputs would).
    RowResampler(int srcW, int srcH, CPicture& dst, int filter, int channels, int turn = 0,
                 const SampleGrid* grid = nullptr);
    ~RowResampler() override;
    void putRows(int y, int count, const uint8_t* rows, size_t stride) override;
    bool needsByte3() const override { return channels == 4; }

  private:
    void convertRow(const uint8_t* bytes, uint8_t* prepared);
    void takeBackRepeated();
    void produceRowsUpTo(int lastSourceRow);

    int srcW, srcH;
    CPicture& dst;
    int channels;
    int taps;
    std::unique_ptr<resample::AxisTable> rowTable;
    std::unique_ptr<resample::RowKernel> kernel;
    std::vector<uint8_t> rowNeeded;  // source rows some output row reads
    // The last `taps` needed rows as the kernel prepared them, row y in slot y % taps.
    struct AlignedFree {
        void operator()(uint8_t* p) const { operator delete[](p, std::align_val_t(64)); }
    };
    std::unique_ptr<uint8_t[], AlignedFree> ring;
    size_t preparedBytes = 0;
    // Where each ring slot's prepared row is: its own slot, or `repeated` for a row put with
    // stride 0 (one row standing for many), which is prepared once however often it is needed.
    std::vector<const uint8_t*> slot;
    std::unique_ptr<uint8_t[], AlignedFree> repeated;
    std::vector<int> order;          // output rows in the order they can be made
    std::vector<int> ready;          // the source row after which order[n] can be made
    size_t nextOutput = 0;
    bool quarter = false;            // output rows are the picture's columns
    bool backColumns = false;        // source rows are reversed before use
    std::vector<uint8_t> turnedRow;  // one output row of a quarter turn
    std::vector<uint8_t> reversed;   // one reversed source row
};
