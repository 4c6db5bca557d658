#include "audio/qo_feature_half.h"

#include <bit>
#include <cstdint>

#include "compute/qo_half_bits.h"

namespace qo::audio {

float roundFeature(float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  const uint32_t sign = bits & 0x80000000u, mag = bits & 0x7FFFFFFFu;
  if (mag > 0x7F800000u) return std::bit_cast<float>(sign | 0x7F800000u);  // NaN -> infinity
  if (mag < 0x38800000u) return std::bit_cast<float>(sign);               // below 2^-14 -> zero
  // Normal range: the integer conversion rounds to nearest even and overflows to infinity.
  return std::bit_cast<float>(halfbits::toFloat(halfbits::fromFloat(bits)));
}

void roundFeatures(const float* src, float* dst, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = roundFeature(src[i]);
}

}  // namespace qo::audio
