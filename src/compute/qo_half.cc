// Single-value half-float helpers of the public API.
#include <bit>

#include "compute/qo_half_bits.h"
#include "qo/qo_simd.h"

namespace qo {

uint16_t f32ToF16(float f) { return halfbits::fromFloat(std::bit_cast<uint32_t>(f)); }

float halfToFloat(uint16_t h) { return std::bit_cast<float>(halfbits::toFloat(h)); }

}  // namespace qo
