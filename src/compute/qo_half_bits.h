// binary16 <-> binary32 bit conversions in plain integer code. The kernels' scalar tails and the
// single-value helpers share these, so every path rounds exactly like the vector bodies whatever
// the FP environment (rounding mode, flush-to-zero) of the calling thread.
#pragma once

#include <cstdint>

namespace qo::halfbits {

// Round to nearest, ties to even. NaNs keep their top 10 payload bits and become quiet.
constexpr uint16_t fromFloat(uint32_t bits) {
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t mag = bits & 0x7FFFFFFFu;
  if (mag > 0x7F800000u) return uint16_t(sign | 0x7E00u | ((mag >> 13) & 0x3FFu));
  if (mag >= 0x477FF000u) return uint16_t(sign | 0x7C00u);  // >= 65520 rounds past 65504
  if (mag >= 0x38800000u) {
    // Rebias the exponent; adding 0xFFF plus the kept lsb rounds half to even, and a carry out
    // of the mantissa correctly bumps the exponent.
    return uint16_t(sign | ((mag - 0x38000000u + 0xFFFu + ((mag >> 13) & 1u)) >> 13));
  }
  // Subnormal half (or zero): the shift that lands the hidden bit on 2^-24 units.
  const uint32_t exponent = mag >> 23;
  const uint32_t shift = exponent >= 101u ? 126u - exponent : 25u;
  const uint32_t mant = (mag & 0x7FFFFFu) | 0x800000u;
  return uint16_t(sign | ((mant + (1u << (shift - 1)) - 1u + ((mant >> shift) & 1u)) >> shift));
}

// Exact; NaN payloads are kept as they are (a signalling NaN stays signalling).
constexpr uint32_t toFloat(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000u) << 16;
  const uint32_t mag = h & 0x7FFFu;
  if (mag >= 0x7C00u) return sign | 0x7F800000u | ((mag & 0x3FFu) << 13);
  if (mag >= 0x0400u) return sign | ((mag << 13) + 0x38000000u);
  if (mag == 0) return sign;
  uint32_t exponent = 113;  // of 2^-14, the weight of mantissa bit 10 once normalised
  uint32_t mant = mag;
  while ((mant & 0x400u) == 0) {
    mant <<= 1;
    --exponent;
  }
  return sign | (exponent << 23) | ((mant & 0x3FFu) << 13);
}

}  // namespace qo::halfbits
