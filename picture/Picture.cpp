// CPicture core: creation, emptying, alpha premultiplication, block copy and quarter turns.
#include "picture/Picture.h"

#include <cstdlib>
#include <cstring>
#include <new>

CPicture::CPicture() {}

CPicture::CPicture(int w, int h) { create(w, h); }

CPicture::~CPicture() { close(); }

void CPicture::create(int w, int h) {
    close();
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    uint64_t count = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    // width * height must stay a positive signed 32-bit product everywhere pixels are indexed.
    if (count >= (uint64_t(1) << 31)) throw std::bad_alloc();
    uint8_t* buffer = static_cast<uint8_t*>(calloc(count, 4));
    if (!buffer) throw std::bad_alloc();
    pixels = buffer;
    width = w;
    height = h;
}

void CPicture::close() {
    free(pixels);
    pixels = nullptr;
    width = 0;
    height = 0;
    transparencyMode = TRANSPARENCY_NONE;
}

// TODO(picture): preMultiplyAlpha, bitblt, rotate90.
void CPicture::preMultiplyAlpha() {}
void CPicture::bitblt(CPicture*, int, int, int, int, CPicture*, int, int) {}
CPicture* CPicture::rotate90(int) { return nullptr; }
