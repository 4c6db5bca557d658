// The half-precision rounding every stored speech feature goes through, so both frontend
// deployments and the cached silence give the numbers of the reference half-precision graphs.
#pragma once

#include <cstddef>

namespace qo::audio {

// binary32 -> binary16 -> binary32 with round to nearest, ties to even; magnitudes below the
// half normal range (2^-14) become signed zero, magnitudes past it and NaN signed infinity.
float roundFeature(float v);

// dst[i] = roundFeature(src[i]); src and dst may be the same array.
void roundFeatures(const float* src, float* dst, size_t count);

}  // namespace qo::audio
