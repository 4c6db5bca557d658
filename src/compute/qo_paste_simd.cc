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
  // Weights of column k in block 0 and of column k + 1 in block 1, broadcast within blocks.
  const auto weightPairs = [&](int f0, int f1, hn::Vec<DRows>* w) {
    for (int half = 0; half < kTaps; half += 4) {
      const auto both = hn::Combine(d, hn::LoadU(d4, lanczosTab + kTaps * f1 + half),
                                    hn::LoadU(d4, lanczosTab + kTaps * f0 + half));
      w[half + 0] = hn::Broadcast<0>(both);
      w[half + 1] = hn::Broadcast<1>(both);
      w[half + 2] = hn::Broadcast<2>(both);
      w[half + 3] = hn::Broadcast<3>(both);
    }
  };
  hn::Vec<DRows> wx[kTaps], wy[kTaps];
  weightPairs(fx0, fx1, wx);
  weightPairs(fy0, fy1, wy);
  const auto rowSum = [&](int s) {
    const float* HWY_RESTRICT p = base + s * rowStride;
    auto r = hn::Mul(hn::LoadU(d, p), wx[0]);
    for (int t = 1; t < kTaps; ++t) r = hn::Add(r, hn::Mul(hn::LoadU(d, p + t * kPixelFloats), wx[t]));
    return r;
  };
  auto acc = hn::Mul(rowSum(0), wy[0]);
  for (int s = 1; s < kTaps; ++s) acc = hn::Add(acc, hn::Mul(rowSum(s), wy[s]));
  hn::Store(acc, d, samples);
}

#endif  // HWY_TARGET == HWY_SCALAR

// Position, phases and coverage of one output column.
struct Column {
  int ix, iy, fx, fy;
  float alpha;
  bool live;  // inside the crop with coverage above zero
};

HWY_INLINE Column Locate(const uint8_t* HWY_RESTRICT mask, int side, const float* HWY_RESTRICT bilinTab, int px,
                         int py) {
  Column c{px >> 10, py >> 10, (px & 1023) >> 5, (py & 1023) >> 5, 0.0f, false};
  if (!(px >= -1024 && c.ix < side && py >= -1024 && c.iy < side)) return c;
  c.alpha = CoverageAlpha(mask, side, bilinTab, c.ix, c.iy, c.fx, c.fy);
  c.live = !(c.alpha <= 0.0f);
  return c;
}

HWY_INLINE bool Interior(const Column& c, int side) {
  return c.ix >= kTapsBefore && c.ix + (kTaps - kTapsBefore) < side && c.iy >= kTapsBefore &&
         c.iy + (kTaps - kTapsBefore) < side;
}

HWY_INLINE void Blend(uint8_t* HWY_RESTRICT out, const float* HWY_RESTRICT sample, float alpha) {
  const float keep = 1.0f - alpha;
  out[0] = BlendToByte(out[0], sample[0], alpha, keep);
  out[1] = BlendToByte(out[1], sample[1], alpha, keep);
  out[2] = BlendToByte(out[2], sample[2], alpha, keep);
}

}  // namespace

void PasteLanczos8Row(const float* HWY_RESTRICT crop, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT bilinTab,
                      const int* HWY_RESTRICT mapX, const int* HWY_RESTRICT mapY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT outRow) {
  const int columns = x1 - x0 + 1;
  const auto locate = [&](int k) { return Locate(mask, side, bilinTab, mapX[k] + offX, mapY[k] + offY); };
  Column cur = columns > 0 ? locate(0) : Column{};
  for (int k = 0; k < columns;) {
    uint8_t* HWY_RESTRICT out = outRow + 3 * ptrdiff_t(x0 + k);
    if (!cur.live) {
      if (++k < columns) cur = locate(k);
      continue;
    }
    const float* HWY_RESTRICT wx = lanczosTab + kTaps * cur.fx;
    const float* HWY_RESTRICT wy = lanczosTab + kTaps * cur.fy;
    alignas(32) float samples[2 * kPixelFloats];
#if HWY_TARGET == HWY_SCALAR
    LanczosSample(crop, side, wx, wy, cur.ix, cur.iy, samples);
#else
    const bool interior = Interior(cur, side);
    if constexpr (hn::MaxLanes(RowsTag()) == 2 * kPixelFloats) {
      if (interior && k + 1 < columns) {
        const Column next = locate(k + 1);
        if (next.live && next.iy == cur.iy && next.ix == cur.ix + 1 && Interior(next, side)) {
          LanczosInteriorPair(RowsTag(), crop, side, lanczosTab, cur.ix, cur.iy, cur.fx, cur.fy, next.fx, next.fy,
                              samples);
          Blend(out, samples, cur.alpha);
          Blend(out + 3, samples + kPixelFloats, next.alpha);
          k += 2;
          if (k < columns) cur = locate(k);
          continue;
        }
        hn::Store(LanczosInterior(RowsTag(), crop, side, wx, wy, cur.ix, cur.iy), PixelTag(), samples);
        Blend(out, samples, cur.alpha);
        ++k;
        cur = next;
        continue;
      }
    }
    hn::Store(interior ? LanczosInterior(RowsTag(), crop, side, wx, wy, cur.ix, cur.iy)
                       : LanczosTested(crop, side, wx, wy, cur.ix, cur.iy),
              PixelTag(), samples);
#endif
    Blend(out, samples, cur.alpha);
    if (++k < columns) cur = locate(k);
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
