// Per-target Lanczos tap sums of the paste kernel: the 8x8 taps of one crop position, or of any
// two interior positions at once. Each row of taps is summed left to right, then the rows are
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
#include <cstdint>
#include <type_traits>
#include <utility>

#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

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
// per load and gain nothing. SVE's length-agnostic targets take one row: there the cap's MaxLanes
// is 8 even when the hardware's vectors hold 4.
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2
using RowsTag = hn::FixedTag<float, kPixelFloats>;
#else
using RowsTag = hn::CappedTag<float, 2 * kPixelFloats>;
#endif

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
    Held<DRows> w[kTaps];
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
    Held<PixelTag> w[kTaps];
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

// Calls f(std::integral_constant<int, i>) for i = 0 .. N - 1, unrolled at compile time, so that
// lane indices derived from i are constants.
template <int N, class F>
HWY_INLINE void Unrolled(F&& f) {
  [&]<int... I>(std::integer_sequence<int, I...>) { (f(std::integral_constant<int, I>()), ...); }
  (std::make_integer_sequence<int, N>());
}

// How the taps of two columns A and B relate: B one pixel right of A in the same row, B on A's
// very pixel, or anywhere else.
enum class Taps2 { kAdjacent, kSame, kApart };

// Two interior columns A and B in one 8-float vector, A in lanes 0-3 and B in lanes 4-7, each
// lane summing in the single-column order. A's first tap is at baseA, its weights at
// wxA / wyA; likewise for B. Adjacent: tap t of B is the pixel right of tap t of A, so one
// 8-float load serves both. Same: one 4-float load fills both halves. Apart: two 4-float loads
// per tap. Only for targets with 8-lane vectors.
template <Taps2 kShare, class DRows>
HWY_INLINE void LanczosInteriorTwo(DRows d, const float* HWY_RESTRICT baseA, const float* HWY_RESTRICT baseB,
                                   ptrdiff_t rowStride, const float* HWY_RESTRICT wxA, const float* HWY_RESTRICT wyA,
                                   const float* HWY_RESTRICT wxB, const float* HWY_RESTRICT wyB,
                                   float* HWY_RESTRICT sampleA, float* HWY_RESTRICT sampleB) {
  const PixelTag d4;
  // Weights of A in block 0 and of B in block 1; tap i is lane i of each block broadcast
  // within the block.
  const auto weights = [&](const float* HWY_RESTRICT wA, const float* HWY_RESTRICT wB, int first) {
    return hn::Combine(d, hn::LoadU(d4, wB + first), hn::LoadU(d4, wA + first));
  };
  const auto wxLow = weights(wxA, wxB, 0), wxHigh = weights(wxA, wxB, 4);
  Held<DRows> wx[kTaps];
  Unrolled<kTaps>([&](auto t) { wx[t] = hn::Broadcast<t & 3>(t < 4 ? wxLow : wxHigh); });
  // The row weights are made as needed: all sixteen weight vectors do not fit in registers.
  const auto wyLow = weights(wyA, wyB, 0), wyHigh = weights(wyA, wyB, 4);
  hn::Vec<DRows> acc;
  Unrolled<kTaps>([&](auto s) {
    const float* HWY_RESTRICT rowA = baseA + s * rowStride;
    const float* HWY_RESTRICT rowB = baseB + s * rowStride;
    const auto pixels = [&](auto t) {
      if constexpr (kShare == Taps2::kAdjacent) {
        return hn::LoadU(d, rowA + t * kPixelFloats);
      } else if constexpr (kShare == Taps2::kSame) {
        return hn::LoadDup128(d, rowA + t * kPixelFloats);
      } else {
        return hn::Combine(d, hn::LoadU(d4, rowB + t * kPixelFloats), hn::LoadU(d4, rowA + t * kPixelFloats));
      }
    };
    auto r = hn::Mul(pixels(std::integral_constant<int, 0>()), wx[0]);
    Unrolled<kTaps - 1>([&](auto t) {
      r = hn::Add(r, hn::Mul(pixels(std::integral_constant<int, t + 1>()), wx[t + 1]));
    });
    const auto weighted = hn::Mul(r, hn::Broadcast<s & 3>(s < 4 ? wyLow : wyHigh));
    acc = s == 0 ? weighted : hn::Add(acc, weighted);
  });
  hn::StoreU(hn::LowerHalf(d4, acc), d4, sampleA);
  hn::StoreU(hn::UpperHalf(d4, acc), d4, sampleB);
}

// Any two interior columns, through the variant that their positions allow. offsetA / offsetB
// are the crop offsets of the columns' first taps, ((iy - 3) * side + ix - 3) * 4: interior
// columns cannot wrap a row, so offsets one pixel apart mean the same tap row.
template <class DRows>
HWY_INLINE void LanczosInteriorPair(DRows d, const float* HWY_RESTRICT crop, int side, int32_t offsetA,
                                    int32_t offsetB, const float* HWY_RESTRICT wxA, const float* HWY_RESTRICT wyA,
                                    const float* HWY_RESTRICT wxB, const float* HWY_RESTRICT wyB,
                                    float* HWY_RESTRICT sampleA, float* HWY_RESTRICT sampleB) {
  const ptrdiff_t rowStride = ptrdiff_t(side) * kPixelFloats;
  const float* HWY_RESTRICT baseA = crop + offsetA;
  const float* HWY_RESTRICT baseB = crop + offsetB;
  if (offsetB == offsetA + kPixelFloats) {
    LanczosInteriorTwo<Taps2::kAdjacent>(d, baseA, baseB, rowStride, wxA, wyA, wxB, wyB, sampleA, sampleB);
  } else if (offsetB == offsetA) {
    LanczosInteriorTwo<Taps2::kSame>(d, baseA, baseB, rowStride, wxA, wyA, wxB, wyB, sampleA, sampleB);
  } else {
    LanczosInteriorTwo<Taps2::kApart>(d, baseA, baseB, rowStride, wxA, wyA, wxB, wyB, sampleA, sampleB);
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
