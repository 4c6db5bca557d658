// Per-pixel softmax over planes, for the blend head's candidate weights.
//
//   qo::simd::softmaxPlanes(weights, n, H * W, 0, H * W);  // plane k at weights + k * H * W
//
// For every pixel p of [begin, end): m = the largest planes[k * stride + p] (starting from -1e30),
// e_k = exp(v_k - m) with arguments below -87.3 taken as -87.3 (results below 2^-126 are not
// needed: they vanish beside the largest term, which is 1), the e_k summed in plane order from 0,
// and planes[k * stride + p] = e_k / sum. exp is a degree-6 polynomial after reduction by ln 2,
// within 2 units in the last place of the exact value, products and sums rounded on their own,
// so every target gives the same bits. Pure: no allocation, no failure, any number of threads on
// disjoint pixel ranges.
#pragma once

#include <cstddef>

#include "qo/qo_export.h"

namespace qo::simd {

QO_API void softmaxPlanes(float* planes, size_t n, size_t stride, size_t begin, size_t end);

}  // namespace qo::simd
