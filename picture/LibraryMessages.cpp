// SPDX-License-Identifier: MIT
// Drops what the codec libraries print. Debian's libjxl prints a line for every check that fails
// inside it, dav1d prints its complaints about damaged AV1 data, and libde265 and libheif print
// some too, all through the C library's __fprintf_chk and __vfprintf_chk, with no switch to turn
// it off. The functions below stand in for the C library's: a write to stderr or stdout whose
// caller's code lies in one of those libraries is dropped (the library's status becomes the
// job's cause or warning); every other call is passed on unchanged.
#include "picture/LibraryMessages.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// True when `address` lies in the code of a codec library whose messages are dropped.
bool insideCodecLibrary(const void* address) {
    static const char* const kLibraries[] = {"/libjxl", "/libdav1d", "/libde265", "/libheif", "/libaom"};
    Dl_info info;
    if (dladdr(address, &info) == 0 || !info.dli_fname) return false;
    for (const char* name : kLibraries)
        if (strstr(info.dli_fname, name)) return true;
    return false;
}

using Print = int (*)(FILE*, int, const char*, va_list);

int printOn(FILE* stream, int flag, const char* format, va_list args) {
    static const Print next = reinterpret_cast<Print>(dlsym(RTLD_NEXT, "__vfprintf_chk"));
    return next ? next(stream, flag, format, args) : vfprintf(stream, format, args);
}

}  // namespace

extern "C" int __vfprintf_chk(FILE* stream, int flag, const char* format, va_list args) {
    if ((stream == stderr || stream == stdout) && insideCodecLibrary(__builtin_return_address(0))) return 0;
    return printOn(stream, flag, format, args);
}

extern "C" int __fprintf_chk(FILE* stream, int flag, const char* format, ...) {
    if ((stream == stderr || stream == stdout) && insideCodecLibrary(__builtin_return_address(0))) return 0;
    va_list args;
    va_start(args, format);
    const int written = printOn(stream, flag, format, args);
    va_end(args);
    return written;
}

void keepLibrariesQuiet() {}
