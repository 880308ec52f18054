// SPDX-License-Identifier: MIT
// Resampling speed: the product's resizeStatic against the literal resampler, per output megapixel.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "literal_resize.h"
#include "picture/Picture.h"

namespace {

// Smooth gradients with some noise and hard edges, like a photograph with text in it.
std::unique_ptr<CPicture> syntheticPicture(int w, int h) {
    std::unique_ptr<CPicture> p(new CPicture(w, h));
    uint32_t s = 12345;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            uint8_t* px = p->pixelAt(x, y);
            px[0] = uint8_t(x * 255 / w + (s >> 29));
            px[1] = uint8_t(y * 255 / h + (s >> 28));
            px[2] = ((x / 37 + y / 23) & 1) ? 230 : 20;
            px[3] = 255;
        }
    return p;
}

// The calling thread's processor time.
double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The best of a few runs, in processor time: the machine is shared, and the first run also faults
// the pages in.
template <class F>
double secondsOf(F run, int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = threadSeconds();
        run();
        best = std::min(best, threadSeconds() - start);
    }
    return best;
}

}  // namespace

int main() {
    const int srcW = 4000, srcH = 3000, dstW = 1024, dstH = 768;
    // The literal resampler is slow: it runs the same scale on a picture a quarter the size each way.
    const int litSrcW = 1000, litSrcH = 750, litDstW = 256, litDstH = 192;
    auto big = syntheticPicture(srcW, srcH);
    auto small = syntheticPicture(litSrcW, litSrcH);
    std::printf("resize %dx%d -> %dx%d (literal: %dx%d -> %dx%d), ms per output megapixel\n", srcW, srcH,
                dstW, dstH, litSrcW, litSrcH, litDstW, litDstH);
    for (int filter = 1; filter <= 3; ++filter) {
        CPicture out(dstW, dstH), lit(litDstW, litDstH);
        double product = secondsOf([&] { CPicture::resizeStatic(big.get(), &out, filter); }, 5);
        double literalTime = secondsOf([&] { literal::resizeStatic(small.get(), &lit, filter); }, 3);
        double productMs = product * 1e3 / (dstW * dstH / 1e6);
        double literalMs = literalTime * 1e3 / (litDstW * litDstH / 1e6);
        double ratio = literalMs / productMs;
        double target = filter == 3 ? 30 : filter == 2 ? 3 : 0;
        std::printf("filter %d: product %8.1f ms/MP  literal %9.1f ms/MP  ratio %6.1fx%s\n", filter,
                    productMs, literalMs, ratio,
                    target > 0 ? (ratio >= target ? "  (target met)" : "  (BELOW TARGET)") : "");
        // Same scale, so the product on the small picture must equal the literal byte for byte.
        CPicture check(litDstW, litDstH);
        CPicture::resizeStatic(small.get(), &check, filter);
        if (memcmp(check.pixels, lit.pixels, size_t(litDstW) * litDstH * 4) != 0) {
            std::printf("filter %d: product differs from the literal resampler\n", filter);
            return 1;
        }
    }
    return 0;
}
