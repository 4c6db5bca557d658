// Per-target Lanczos tap sums of the paste kernel: the 8x8 taps of one crop position, or of two
// neighbouring positions at once. Each row of taps is summed left to right, then the rows are
// weighted and summed top to bottom, every product and sum rounded on its own. The channels ride
// in the lanes of one 4-float pixel, so every lane keeps that order whatever the path.

// Per-target include guard, toggled by foreach_target.h.
#if defined(QO_COMPUTE_QO_LANCZOS_TAPS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QO_COMPUTE_QO_LANCZOS_TAPS_INL_H_
#undef QO_COMPUTE_QO_LANCZOS_TAPS_INL_H_
#else
#define QO_COMPUTE_QO_LANCZOS_TAPS_INL_H_
#endif

#include <cstddef>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int kTaps = 8;
constexpr int kTapsBefore = 3;  // taps run from ix - 3 to ix + 4
constexpr int kPixelFloats = 4;

// All 64 taps of position (ix, iy) lie inside the crop.
HWY_INLINE bool Interior(int ix, int iy, int side) {
  return ix >= kTapsBefore && ix + (kTaps - kTapsBefore) < side && iy >= kTapsBefore &&
         iy + (kTaps - kTapsBefore) < side;
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

// Two neighbouring columns k, k + 1 whose integer positions are (ix, iy) and (ix + 1, iy),
// both interior: tap t of column k + 1 is the pixel right of tap t of column k, so one 8-float
// load per tap serves both (column k in lanes 0-3, k + 1 in lanes 4-7) and each lane sums in the
// single-column order. Only for targets with 8-lane vectors.
template <class DRows>
HWY_INLINE void LanczosInteriorPair(DRows d, const float* HWY_RESTRICT crop, int side,
                                    const float* HWY_RESTRICT lanczosTab, int ix, int iy, int fx0, int fy0, int fx1,
                                    int fy1, float* HWY_RESTRICT samples) {
  const PixelTag d4;
  const ptrdiff_t rowStride = ptrdiff_t(side) * kPixelFloats;
  const float* HWY_RESTRICT base =
      crop + (ptrdiff_t(iy - kTapsBefore) * side + (ix - kTapsBefore)) * kPixelFloats;
  // Weights of column k in block 0 and of column k + 1 in block 1; tap i is lane i of each
  // block broadcast within the block.
  const auto weights = [&](int f0, int f1, int first) {
    return hn::Combine(d, hn::LoadU(d4, lanczosTab + kTaps * f1 + first), hn::LoadU(d4, lanczosTab + kTaps * f0 + first));
  };
  const auto tap = [](hn::Vec<DRows> four, int i) {
    switch (i & 3) {
      case 0: return hn::Broadcast<0>(four);
      case 1: return hn::Broadcast<1>(four);
      case 2: return hn::Broadcast<2>(four);
      default: return hn::Broadcast<3>(four);
    }
  };
  const auto wxLow = weights(fx0, fx1, 0), wxHigh = weights(fx0, fx1, 4);
  hn::Vec<DRows> wx[kTaps];
  for (int t = 0; t < kTaps; ++t) wx[t] = tap(t < 4 ? wxLow : wxHigh, t);
  // The row weights are made as needed: all sixteen weight vectors do not fit in registers.
  const auto wyLow = weights(fy0, fy1, 0), wyHigh = weights(fy0, fy1, 4);
  const auto rowSum = [&](int s) {
    const float* HWY_RESTRICT p = base + s * rowStride;
    auto r = hn::Mul(hn::LoadU(d, p), wx[0]);
    for (int t = 1; t < kTaps; ++t) r = hn::Add(r, hn::Mul(hn::LoadU(d, p + t * kPixelFloats), wx[t]));
    return r;
  };
  auto acc = hn::Mul(rowSum(0), tap(wyLow, 0));
  for (int s = 1; s < kTaps; ++s) acc = hn::Add(acc, hn::Mul(rowSum(s), tap(s < 4 ? wyLow : wyHigh, s)));
  hn::StoreU(acc, d, samples);
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
