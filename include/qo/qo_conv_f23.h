// 3x3 convolution, stride 1, zero padding 1, of one image by the 2x2-output minimal-filtering
// transform: 16 products per 2x2 output tile and input-output channel pair instead of 36.
//
//   std::vector<float> u(qo::simd::conv3x3F23WeightFloats(cin, cout));
//   qo::simd::conv3x3F23Weights(weights, cin, cout, u.data());          // once per weight set
//   qo::simd::conv3x3F23(in, cin, H, W, u.data(), bias, cout, true, out);  // per image
//
// The sums are not those of conv3x3Range (the transform reassociates them): expect agreement to
// a few units in the last place of the largest partial sums, not bit equality. Every target
// returns the same bits (lanes hold neighbouring tiles, each sum is rounded on its own in one
// fixed order), so results do not depend on the processor. Pure functions: no allocation, no
// failure, any number of threads at once; inputs and outputs must not overlap.
#pragma once

#include <cstddef>

#include "qo/qo_export.h"

namespace qo::simd {

// Largest input channel count conv3x3F23 takes.
inline constexpr int kConv3x3F23MaxCin = 16;

// Floats of the transformed weights of a cin -> cout layer: 16 * cout * cin.
QO_API size_t conv3x3F23WeightFloats(int cin, int cout);

// weights [cout][cin][3][3] -> u [16][cout][cin], the transformed 4x4 kernels (computed in double,
// rounded once).
QO_API void conv3x3F23Weights(const float* weights, int cin, int cout, float* u);

// in [cin][H][W] -> out [cout][H][W]: bias[oc] plus the convolution, then max(., 0) when relu.
// cin must be 1 .. kConv3x3F23MaxCin; cin, cout, H or W out of range writes nothing.
QO_API void conv3x3F23(const float* in, int cin, int H, int W, const float* u, const float* bias, int cout, bool relu,
                       float* out);

}  // namespace qo::simd
