// Row kernel of the Lanczos paste: composites output columns x0..x1 of one RGB24 frame row from a
// square float crop (4 floats per pixel) under a byte mask with bilinear coverage.
//
// The crop sample of a column is an 8x8 tap sum with a fixed order: each tap row is summed
// left to right, then the rows are weighted and summed top to bottom, every product and sum
// rounded on its own. The channels ride in the lanes of one 4-float pixel; wider targets put two
// tap rows side by side in one 8-lane vector, which keeps each lane's order intact.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_paste_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kTaps = 8;
constexpr int kTapsBefore = 3;  // taps run from ix - 3 to ix + 4
constexpr int kPixelFloats = 4;

HWY_INLINE uint8_t BlendToByte(uint8_t old, float sample, float alpha, float keep) {
  const float o = float(old) * keep + sample * alpha;
  if (!(o >= 0.0f)) return 0;  // negative or not a number
  if (o > 255.0f) return 255;
  return uint8_t(o);
}

HWY_INLINE float MaskAt(const uint8_t* HWY_RESTRICT mask, int side, int cx, int cy) {
  return (cx >= 0 && cx < side && cy >= 0 && cy < side) ? float(mask[ptrdiff_t(cy) * side + cx]) : 0.0f;
}

// Bilinear mask coverage at (ix + fx/32, iy + fy/32), rounded to an alpha in units of 1/255.
HWY_INLINE float CoverageAlpha(const uint8_t* HWY_RESTRICT mask, int side, const float* HWY_RESTRICT bilinTab, int ix,
                               int iy, int fx, int fy) {
  float m00, m10, m01, m11;
  if (ix >= 0 && ix + 1 < side && iy >= 0 && iy + 1 < side) {
    const uint8_t* HWY_RESTRICT p = mask + ptrdiff_t(iy) * side + ix;
    m00 = float(p[0]);
    m10 = float(p[1]);
    m01 = float(p[side]);
    m11 = float(p[side + 1]);
  } else {
    m00 = MaskAt(mask, side, ix, iy);
    m10 = MaskAt(mask, side, ix + 1, iy);
    m01 = MaskAt(mask, side, ix, iy + 1);
    m11 = MaskAt(mask, side, ix + 1, iy + 1);
  }
  const float a0 = bilinTab[2 * fx], a1 = bilinTab[2 * fx + 1];
  const float b0 = bilinTab[2 * fy], b1 = bilinTab[2 * fy + 1];
  const float top = (a1 * m10 + a0 * m00) * b0;
  const float m = (a1 * m11 + a0 * m01) * b1 + top;
  return std::rint(m) / 255.0f;
}

#if HWY_TARGET == HWY_SCALAR

// Tap sum with per-tap bounds tests, one channel at a time.
void LanczosSample(const float* HWY_RESTRICT crop, int side, const float* HWY_RESTRICT wx,
                   const float* HWY_RESTRICT wy, int ix, int iy, float* HWY_RESTRICT sample) {
  float acc[3] = {0.0f, 0.0f, 0.0f};
  for (int s = 0; s < kTaps; ++s) {
    const int row = iy - kTapsBefore + s;
    if (row < 0 || row >= side) continue;
    float r[3] = {0.0f, 0.0f, 0.0f};
    for (int t = 0; t < kTaps; ++t) {
      const int col = ix - kTapsBefore + t;
      if (col < 0 || col >= side) continue;
      const float* HWY_RESTRICT px = crop + (ptrdiff_t(row) * side + col) * kPixelFloats;
      for (int c = 0; c < 3; ++c) r[c] = r[c] + px[c] * wx[t];
    }
    for (int c = 0; c < 3; ++c) acc[c] = acc[c] + r[c] * wy[s];
  }
  for (int c = 0; c < 3; ++c) sample[c] = acc[c];
}

#else

using PixelTag = hn::FixedTag<float, kPixelFloats>;
// Two tap rows per vector where vectors hold 8 floats; 512-bit vectors would need three inserts
// per load and gain nothing.
using RowsTag = hn::CappedTag<float, 2 * kPixelFloats>;

// Tap sum with per-tap bounds tests, for columns near the crop edge: missing taps drop out.
HWY_INLINE hn::Vec<PixelTag> LanczosTested(const float* HWY_RESTRICT crop, int side, const float* HWY_RESTRICT wx,
                                           const float* HWY_RESTRICT wy, int ix, int iy) {
  const PixelTag d;
  auto acc = hn::Zero(d);
  for (int s = 0; s < kTaps; ++s) {
    const int row = iy - kTapsBefore + s;
    if (row < 0 || row >= side) continue;
    auto r = hn::Zero(d);
    for (int t = 0; t < kTaps; ++t) {
      const int col = ix - kTapsBefore + t;
      if (col < 0 || col >= side) continue;
      const auto px = hn::LoadU(d, crop + (ptrdiff_t(row) * side + col) * kPixelFloats);
      r = hn::Add(r, hn::Mul(px, hn::Set(d, wx[t])));
    }
    acc = hn::Add(acc, hn::Mul(r, hn::Set(d, wy[s])));
  }
  return acc;
}

// All 64 taps inside the crop: whole-pixel loads, no tests. Sums start from the first product
// rather than from +0, which can only change the sign of a zero sum; the blend cannot tell.
template <class DRows>
HWY_INLINE hn::Vec<PixelTag> LanczosInterior(DRows d, const float* HWY_RESTRICT crop, int side,
                                             const float* HWY_RESTRICT wx, const float* HWY_RESTRICT wy, int ix,
                                             int iy) {
  const PixelTag d4;
  const ptrdiff_t rowStride = ptrdiff_t(side) * kPixelFloats;
  const float* HWY_RESTRICT base =
      crop + (ptrdiff_t(iy - kTapsBefore) * side + (ix - kTapsBefore)) * kPixelFloats;
  if constexpr (hn::MaxLanes(d) == 2 * kPixelFloats) {
    hn::Vec<DRows> w[kTaps];
    for (int t = 0; t < kTaps; ++t) w[t] = hn::Set(d, wx[t]);
    // Lanes 0-3 hold tap row s, lanes 4-7 row s + 1.
    const auto rows = [&](const float* HWY_RESTRICT p, int t) {
      return hn::Combine(d, hn::LoadU(d4, p + rowStride + t * kPixelFloats), hn::LoadU(d4, p + t * kPixelFloats));
    };
    hn::Vec<decltype(d4)> acc;
    for (int s = 0; s < kTaps; s += 2) {
      const float* HWY_RESTRICT p = base + s * rowStride;
      auto r = hn::Mul(rows(p, 0), w[0]);
      for (int t = 1; t < kTaps; ++t) r = hn::Add(r, hn::Mul(rows(p, t), w[t]));
      const auto weighted = hn::Mul(r, hn::Combine(d, hn::Set(d4, wy[s + 1]), hn::Set(d4, wy[s])));
      acc = s == 0 ? hn::LowerHalf(d4, weighted) : hn::Add(acc, hn::LowerHalf(d4, weighted));
      acc = hn::Add(acc, hn::UpperHalf(d4, weighted));
    }
    return acc;
  } else {
    hn::Vec<PixelTag> w[kTaps];
    for (int t = 0; t < kTaps; ++t) w[t] = hn::Set(d4, wx[t]);
    hn::Vec<PixelTag> acc;
    for (int s = 0; s < kTaps; ++s) {
      const float* HWY_RESTRICT p = base + s * rowStride;
      auto r = hn::Mul(hn::LoadU(d4, p), w[0]);
      for (int t = 1; t < kTaps; ++t) r = hn::Add(r, hn::Mul(hn::LoadU(d4, p + t * kPixelFloats), w[t]));
      const auto weighted = hn::Mul(r, hn::Set(d4, wy[s]));
      acc = s == 0 ? weighted : hn::Add(acc, weighted);
    }
    return acc;
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace

void PasteLanczos8Row(const float* HWY_RESTRICT crop, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT bilinTab,
                      const int* HWY_RESTRICT mapX, const int* HWY_RESTRICT mapY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT outRow) {
  for (int k = 0; k <= x1 - x0; ++k) {
    const int px = mapX[k] + offX;
    const int py = mapY[k] + offY;
    const int ix = px >> 10, iy = py >> 10;
    if (!(px >= -1024 && ix < side && py >= -1024 && iy < side)) continue;
    const int fx = (px & 1023) >> 5, fy = (py & 1023) >> 5;

    const float alpha = CoverageAlpha(mask, side, bilinTab, ix, iy, fx, fy);
    if (alpha <= 0.0f) continue;

    const float* HWY_RESTRICT wx = lanczosTab + kTaps * fx;
    const float* HWY_RESTRICT wy = lanczosTab + kTaps * fy;
    alignas(16) float sample[kPixelFloats];
#if HWY_TARGET == HWY_SCALAR
    LanczosSample(crop, side, wx, wy, ix, iy, sample);
#else
    const bool interior = ix >= kTapsBefore && ix + (kTaps - kTapsBefore) < side && iy >= kTapsBefore &&
                          iy + (kTaps - kTapsBefore) < side;
    hn::Store(interior ? LanczosInterior(RowsTag(), crop, side, wx, wy, ix, iy) : LanczosTested(crop, side, wx, wy, ix, iy),
              PixelTag(), sample);
#endif
    const float keep = 1.0f - alpha;
    uint8_t* HWY_RESTRICT out = outRow + 3 * ptrdiff_t(x0 + k);
    out[0] = BlendToByte(out[0], sample[0], alpha, keep);
    out[1] = BlendToByte(out[1], sample[1], alpha, keep);
    out[2] = BlendToByte(out[2], sample[2], alpha, keep);
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab, const float* bilinTab,
                      const int* mapX, const int* mapY, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)
  (crop, side, mask, lanczosTab, bilinTab, mapX, mapY, offX, offY, x0, x1, outRow);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
