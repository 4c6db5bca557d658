// Bilinear grid sampling with border padding and align_corners 0, over output rows of one image.
//
// Per output pixel, in float32, each product and sum rounded on its own, in this order:
//   px = ((gx + 1) * 0.5) * W - 0.5;  a NaN px becomes -1 (the border)
//   fl = floor(px), fx = px - fl
//   fl < 0: c0 = c1 = 0; else c0 = min(fl, W - 1), c1 = min(fl + 1, W - 1), clamped in float before
//   the conversion, so that no coordinate, however large or infinite, makes an index outside X
//   rows likewise from gy and H: py, fy, r0, r1
//   w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy
//   y = ((w00 * X[r0][c0] + w01 * X[r0][c1]) + w10 * X[r1][c0]) + w11 * X[r1][c1]
//
// Lanes hold neighbouring output columns. Weights and tap offsets are computed once per block of
// lanes and serve every channel. Where every lane's two tap columns are adjacent (c1 = c0 + 1),
// each tap row is one 64-bit load per lane (qo_lane_loads-inl.h); at the image border (and for
// W = 1) the taps are gathered. The last block of a row goes through stack buffers, so nothing is
// read or written past the row. Tap offsets are int32: a plane holds fewer than 2^31 floats.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_gridsample_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_lane_loads-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using D = hn::CappedTag<float, 8>;
using DI = hn::RebindToSigned<D>;
using V = hn::Vec<D>;
constexpr int kLanes = int(hn::MaxLanes(D()));
constexpr int kTailChannels = 16;  // channels per pass through the tail buffer

struct Image {
  const float* HWY_RESTRICT x;
  ptrdiff_t plane;  // H * W
  int C, W;
  float width, height, lastColumn, lastRow;
};

// Fraction and the two tap indices (as floats) of one axis.
HWY_INLINE void AxisTaps(D d, V g, float size, float last, V& frac, V& i0, V& i1) {
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f);
  V p = hn::Sub(hn::Mul(hn::Mul(hn::Add(g, one), half), hn::Set(d, size)), half);
  p = hn::IfThenElse(hn::IsNaN(p), hn::Set(d, -1.0f), p);
  const V fl = hn::Floor(p);
  frac = hn::Sub(p, fl);
  const auto below = hn::Lt(fl, hn::Zero(d));
  const V vLast = hn::Set(d, last);
  i0 = hn::IfThenZeroElse(below, hn::Min(fl, vLast));
  i1 = hn::IfThenZeroElse(below, hn::Min(hn::Add(fl, one), vLast));
}

HWY_INLINE V Bilinear(V w00, V w01, V w10, V w11, V t00, V t01, V t10, V t11) {
  return hn::Add(hn::Add(hn::Add(hn::Mul(w00, t00), hn::Mul(w01, t01)), hn::Mul(w10, t10)), hn::Mul(w11, t11));
}

// kLanes output columns from their grid pairs g, channels [cBegin, cEnd); channel c of the first
// column goes to out[(c - cBegin) * outPlane].
HWY_INLINE void Block(const Image& im, const float* HWY_RESTRICT g, float* HWY_RESTRICT out, ptrdiff_t outPlane,
                      int cBegin, int cEnd) {
  const D d;
  const DI di;
  V gx, gy;
  hn::LoadInterleaved2(d, g, gx, gy);
  V fx, col0, col1, fy, row0, row1;
  AxisTaps(d, gx, im.width, im.lastColumn, fx, col0, col1);
  AxisTaps(d, gy, im.height, im.lastRow, fy, row0, row1);
  const V one = hn::Set(d, 1.0f);
  const V ex = hn::Sub(one, fx), ey = hn::Sub(one, fy);
  const V w00 = hn::Mul(ex, ey), w01 = hn::Mul(fx, ey), w10 = hn::Mul(ex, fy), w11 = hn::Mul(fx, fy);

  const auto width = hn::Set(di, im.W);
  const auto top = hn::Mul(hn::ConvertTo(di, row0), width);
  const auto bottom = hn::Mul(hn::ConvertTo(di, row1), width);
  const auto left = hn::ConvertTo(di, col0);
  if (kRunLoads<D> && hn::AllTrue(d, hn::Eq(col1, hn::Add(col0, one)))) {
    alignas(64) int32_t offTop[kLanes], offBottom[kLanes];
    hn::Store(hn::Add(top, left), di, offTop);
    hn::Store(hn::Add(bottom, left), di, offBottom);
    for (int c = cBegin; c < cEnd; ++c) {
      const float* HWY_RESTRICT p = im.x + c * im.plane;
      V t00, t01, t10, t11;
      LoadPairs(d, p, offTop, t00, t01);
      LoadPairs(d, p, offBottom, t10, t11);
      hn::StoreU(Bilinear(w00, w01, w10, w11, t00, t01, t10, t11), d, out + (c - cBegin) * outPlane);
    }
    return;
  }
  const auto right = hn::ConvertTo(di, col1);
  const auto i00 = hn::Add(top, left), i01 = hn::Add(top, right);
  const auto i10 = hn::Add(bottom, left), i11 = hn::Add(bottom, right);
  for (int c = cBegin; c < cEnd; ++c) {
    const float* HWY_RESTRICT p = im.x + c * im.plane;
    const V t00 = hn::GatherIndex(d, p, i00), t01 = hn::GatherIndex(d, p, i01);
    const V t10 = hn::GatherIndex(d, p, i10), t11 = hn::GatherIndex(d, p, i11);
    hn::StoreU(Bilinear(w00, w01, w10, w11, t00, t01, t10, t11), d, out + (c - cBegin) * outPlane);
  }
}

// Output row whose grid pairs start at g and whose channel 0 starts at out.
void Row(const Image& im, const float* HWY_RESTRICT g, int Wg, float* HWY_RESTRICT out, ptrdiff_t outPlane) {
  int j = 0;
  for (; j + kLanes <= Wg; j += kLanes) Block(im, g + 2 * j, out + j, outPlane, 0, im.C);
  if (kLanes == 1 || j >= Wg) return;  // one lane leaves no tail
  const int n = Wg - j;
  alignas(64) float pairs[2 * kLanes] = {};  // unused lanes sample the image centre
  alignas(64) float samples[kTailChannels * kLanes];
  std::memcpy(pairs, g + 2 * j, sizeof(float) * 2 * size_t(n));
  for (int c0 = 0; c0 < im.C; c0 += kTailChannels) {
    const int c1 = std::min(im.C, c0 + kTailChannels);
    Block(im, pairs, samples, kLanes, c0, c1);
    for (int c = c0; c < c1; ++c) {
      std::memcpy(out + c * outPlane + j, samples + (c - c0) * kLanes, sizeof(float) * size_t(n));
    }
  }
}

}  // namespace

void GridSampleRows(const float* HWY_RESTRICT x, const float* HWY_RESTRICT grid, float* HWY_RESTRICT y, int C, int H,
                    int W, int Hg, int Wg, int rowBegin, int rowEnd) {
  if (C < 1 || H < 1 || W < 1 || Wg < 1) return;
  const Image im{x, ptrdiff_t(H) * W, C, W, float(W), float(H), float(W - 1), float(H - 1)};
  const ptrdiff_t outPlane = ptrdiff_t(Hg) * Wg;
  for (int i = std::max(rowBegin, 0); i < std::min(rowEnd, Hg); ++i) {
    Row(im, grid + 2 * ptrdiff_t(i) * Wg, Wg, y + ptrdiff_t(i) * Wg, outPlane);
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(GridSampleRows);

void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int rowBegin,
                    int rowEnd) {
  HWY_DYNAMIC_DISPATCH(GridSampleRows)(x, grid, y, C, H, W, Hg, Wg, rowBegin, rowEnd);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
