// Vector loops of the unsharp mask, compiled per processor target and dispatched at run time.
// Every lane sums its taps in tap order from 0 with products and sums rounded separately, so
// each target gives the bits of the plain scalar loop.
#pragma once

#include <cstddef>

namespace qo::paste {

// dst[x] = src[x] * scale, for x in [0, n).
void scaleRow(const float* src, float scale, float* dst, size_t n);

// dst[x] = sum over k of g[k] * src[x + k], for x in [0, n).
void gaussRow(const float* src, const float* g, int taps, float* dst, size_t n);

// One sharpened crop row of all three channels, written interleaved. For channel c,
// blur = sum over k of g[k] * rows[c * taps + k][x] and v = crop[c][x] * scale;
// out[4 x + c] = clamp(v * gain - blur * amount, 0, 255) and out[4 x + 3] = 0, for x in [0, n).
void sharpenInterleaveRow(const float* const* rows, const float* g, int taps, const float* const* crop, float scale,
                          float gain, float amount, float* out, size_t n);

}  // namespace qo::paste
