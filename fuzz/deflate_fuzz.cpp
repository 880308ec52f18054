// SPDX-License-Identifier: MIT
// libFuzzer target: the deflate compressor; its stream of any bytes must inflate to those bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "picture/Deflate.h"
#include "picture/kppng.h"

namespace {

class Collect : public KpGenericPngDecoder {
  public:
    int Output(unsigned char byte) override {
        bytes.push_back(byte);
        return 1;
    }
    std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kpPngMessage = [](const char*) {};
    // The first byte repeats the rest that many times, so long matches and stored blocks come up.
    const size_t copies = size > 0 ? 1 + data[0] % 8 : 1;
    std::vector<uint8_t> input;
    for (size_t i = 0; i < copies && size > 1; i++) input.insert(input.end(), data + 1, data + size);
    std::vector<uint8_t> z = zlibCompress(input.data(), input.size());
    Collect sink;
    KpPngUncompressor inflater(&sink);
    if (inflater.Uncompress(unsigned(z.size()), z.data()) != 1 || sink.bytes != input) __builtin_trap();
    if (updateAdler32(1, input.data(), input.size()) !=
        (uint32_t(z[z.size() - 4]) << 24 | uint32_t(z[z.size() - 3]) << 16 | uint32_t(z[z.size() - 2]) << 8 |
         z[z.size() - 1]))
        __builtin_trap();
    return 0;
}
