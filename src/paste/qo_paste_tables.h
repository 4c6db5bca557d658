// Filter tables of the compositor, computed in double precision and stored as float.
#pragma once

#include <vector>

namespace qo::paste {

// Crop positions carry 10 fractional bits; a phase is the fraction's top 5 bits.
inline constexpr int kFracBits = 10;
inline constexpr int kPhases = 32;
inline constexpr int kPhaseShift = kFracBits - 5;

// 32 phases x 8 taps at offsets -3..+4: Lanczos a = 4, normalised; phase 0 is exactly tap 3.
std::vector<float> lanczosTable();
// 32 phases x 2 taps at offsets 0, +1: (1 - p, p).
std::vector<float> bilinearTable();
// 32 phases x 4 taps at offsets -1..+2: Keys cubic convolution with a = -0.75.
std::vector<float> cubicTable();
// ksize normalised Gaussian weights centred on (ksize - 1) / 2.
std::vector<float> gaussianWeights(int ksize, float sigma);

}  // namespace qo::paste
