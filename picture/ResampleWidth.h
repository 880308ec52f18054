// How many output pixels the resampler computes at once. Every width gives the same bytes; the
// choice only changes the speed. PIXMILL_SIMD=plain|sse2|avx2 in the environment caps it.
#pragma once

// The widest this processor and the environment allow: 8 (AVX2), 4 (SSE2) or 1 (plain).
int resampleWidthAvailable();
// 0 goes back to the widest available; tests set each width in turn. Wider than available is capped.
void setResampleWidth(int width);
int resampleWidth();
