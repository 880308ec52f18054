// SPDX-License-Identifier: MIT
// libFuzzer target: the deflate decoder alone, with a sink that refuses at a point the input picks;
// the stream read in pieces must give what the stream in memory gives.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "picture/kppng.h"

namespace {

class CountingSink : public KpGenericPngDecoder {
  public:
    explicit CountingSink(size_t refuseAt) : refuseAt(refuseAt) {}
    int Output(unsigned char byte) override {
        sum += byte;
        return ++count == refuseAt ? 0 : 1;
    }
    size_t count = 0;
    unsigned sum = 0;

  private:
    size_t refuseAt;
};

// The stream in pieces of 1 to 64 bytes.
class PieceInput : public KpInflateInput {
  public:
    PieceInput(const uint8_t* data, size_t size) : data(data), size(size) {}
    size_t Read(unsigned char* buffer, size_t capacity) override {
        size_t n = 1 + (at * 7 + size) % 64;
        if (n > capacity) n = capacity;
        if (n > size - at) n = size - at;
        if (n > 0) memcpy(buffer, data + at, n);
        at += n;
        return n;
    }

  private:
    const uint8_t* data;
    size_t size, at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kpPngMessage = [](const char*) {};
    if (size < 1) return 0;
    // The first byte picks where the sink refuses (0: never), the rest is the stream.
    size_t refuseAt = size_t(data[0]) * 97;
    std::unique_ptr<unsigned char[]> stream(new unsigned char[size - 1]);
    if (size > 1) memcpy(stream.get(), data + 1, size - 1);
    CountingSink sink(refuseAt);
    KpPngUncompressor inflater(&sink);
    int result = inflater.Uncompress(static_cast<unsigned>(size - 1), size > 1 ? stream.get() : nullptr);
    if (result != 0 && result != 1) __builtin_trap();
    if (refuseAt != 0 && sink.count > refuseAt) __builtin_trap();  // bytes after a refusal
    if (size > 2) {
        CountingSink pieces(refuseAt);
        KpPngUncompressor streamed(&pieces);
        PieceInput input(data + 1, size - 1);
        if (streamed.Uncompress(input) != result || pieces.count != sink.count || pieces.sum != sink.sum)
            __builtin_trap();
    }
    return 0;
}
