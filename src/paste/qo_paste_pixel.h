// Per-column steps shared by the composite rows: where a frame pixel lands in the crop, its
// mask coverage and the blend into the frame byte. Products and sums are those of the SIMD
// Lanczos kernel, so every sampling mode covers and blends alike.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "paste/qo_paste_tables.h"

namespace qo::paste {

inline constexpr int kOne = 1 << kFracBits;

// Integer pixel and phases of a fixed-point crop position.
struct CropPos {
  int ix, iy, fx, fy;
};

// False when the position is more than a pixel before the crop or at/after its far edge.
inline bool cropPosition(int px, int py, int side, CropPos* pos) {
  const int ix = px >> kFracBits, iy = py >> kFracBits;
  if (!(px >= -kOne && ix < side && py >= -kOne && iy < side)) return false;
  *pos = {ix, iy, (px & (kOne - 1)) >> kPhaseShift, (py & (kOne - 1)) >> kPhaseShift};
  return true;
}

// The 2 x 2 mask samples at (ix, iy) .. (ix + 1, iy + 1), read from a copy of the mask inside a
// 1-pixel ring of zeros, so samples outside the crop are 0 without tests.
struct MaskQuad {
  const uint8_t* at;
  size_t stride;
  uint8_t m00() const { return at[0]; }
  uint8_t m10() const { return at[1]; }
  uint8_t m01() const { return at[stride]; }
  uint8_t m11() const { return at[stride + 1]; }
  bool empty() const { return (m00() | m10() | m01() | m11()) == 0; }
};

inline MaskQuad maskQuad(const uint8_t* maskBordered, int side, int ix, int iy) {
  const size_t stride = size_t(side) + 2;
  return {maskBordered + size_t(iy + 1) * stride + size_t(ix + 1), stride};
}

// Bilinear mask coverage, rounded to whole 1/255 steps.
inline float coverageAlpha(const MaskQuad& q, const float* bilin, const CropPos& p) {
  const float a0 = bilin[2 * p.fx], a1 = bilin[2 * p.fx + 1];
  const float b0 = bilin[2 * p.fy], b1 = bilin[2 * p.fy + 1];
  const float top = (a0 * float(q.m00()) + a1 * float(q.m10())) * b0;
  const float m = (a0 * float(q.m01()) + a1 * float(q.m11())) * b1 + top;
  return std::rint(m) / 255.0f;
}

inline uint8_t blendByte(uint8_t old, float sample, float alpha) {
  const float o = float(old) * (1.0f - alpha) + alpha * sample;
  if (!(o >= 0.0f)) return 0;  // negative or not a number
  if (o > 255.0f) return 255;
  return uint8_t(o);
}

}  // namespace qo::paste
