// Vector loops of the unsharp mask and the crop interleave, compiled per processor target and dispatched at run time.
// Every lane sums its taps in tap order from 0 with products and sums rounded separately, so
// each target gives the bits of the plain scalar loop.
#pragma once

#include <cstddef>

namespace qo::paste {

// dst[x] = sum over k of g[k] * src[x + k], for x in [0, n).
void gaussRow(const float* src, const float* g, int taps, float* dst, size_t n);

// One sharpened row: blur = sum over k of g[k] * rows[k * stride + x]; row[x] becomes
// clamp(row[x] * gain - blur * amount, 0, 255).
void gaussColumnSharpen(const float* rows, size_t stride, const float* g, int taps, float gain, float amount, float* row,
                        size_t n);

// out[4 x .. 4 x + 3] = (r[x], g[x], b[x], 0) for x in [0, n).
void interleaveRow(const float* r, const float* g, const float* b, float* out, size_t n);

}  // namespace qo::paste
