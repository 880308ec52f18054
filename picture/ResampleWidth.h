// SPDX-License-Identifier: MIT
// How many output pixels the resampler computes at once. Every width gives the same bytes; the
// choice only changes the speed. PIXMILL_SIMD=plain|sse2|avx2|avx512|avx512vbmi in the environment
// caps the width used unless a caller sets one (so one test run can keep to the plain path).
#pragma once

// The widest this processor runs: 32 (AVX-512 with byte permutes: sixteen pixels of one channel
// per vector), 16 (AVX-512), 8 (AVX2), 4 (SSE2) or 1 (plain).
int resampleWidthAvailable();
// 0 goes back to the default; tests set each width in turn. Wider than available is capped.
void setResampleWidth(int width);
int resampleWidth();
