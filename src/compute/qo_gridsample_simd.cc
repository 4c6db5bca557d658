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
// Lanes hold neighbouring output columns. Weights and taps are computed once per block of lanes
// and serve every channel. The taps of a block are read one of three ways:
// - spans, where the block's taps lie within N + 1 columns and two or three rows, as smooth grids
//   give: each row piece is loaded whole and every lane picks its taps with a table lookup;
// - pairs, where only each lane's two tap columns are adjacent: one 64-bit load per lane and tap
//   row (qo_lane_loads-inl.h);
// - gathers otherwise (image borders, W = 1), the slowest: an AVX2 gather of 8 floats costs
//   about 11 cycles on the processors measured.
// Every way reads the same tap values, so the sums are the same. The last block of a row goes
// through stack buffers, so nothing is read or written past the row. Tap offsets are int32 and
// indices go through float: a plane holds fewer than 2^31 floats, H and W are below 2^23.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hwy/cache_control.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_gridsample_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"
#include "compute/qo_lane_loads-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using D = hn::CappedTag<float, 8>;
using DI = hn::RebindToSigned<D>;
using V = hn::Vec<D>;
constexpr int kMaxLanes = int(hn::MaxLanes(D()));
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

struct Weights {
  Held<D> w00, w01, w10, w11;
  HWY_INLINE V Sample(V t00, V t01, V t10, V t11) const {
    return hn::Add(hn::Add(hn::Add(hn::Mul(w00, t00), hn::Mul(w01, t01)), hn::Mul(w10, t10)), hn::Mul(w11, t11));
  }
};

// All taps of the block lie on rows top and top + 1 (or, where twoRowPairs, on top and top + 1
// for the lanes on row top, on top + 1 and top + 2 for the others), in columns start .. start + N:
// read those row pieces whole and move each lane's taps into place.
HWY_INLINE void Spans(D d, const Image im, const Weights& w, V lane, V row0, ptrdiff_t start, float top,
                      bool twoRowPairs, float* HWY_RESTRICT out, ptrdiff_t outPlane, int cBegin, int cEnd) {
  const auto index = hn::IndicesFromVec(d, IndexOf(d, lane));
  const auto upper = hn::Eq(row0, hn::Set(d, top));
  const ptrdiff_t W = im.W;
  const float* HWY_RESTRICT origin = im.x + ptrdiff_t(top) * W + start;
  // The row under the pieces, which the next output rows read: on frames larger than the caches
  // the hardware prefetchers miss these short diagonal streams (3x1080x1920: 15 -> 7 ms).
  const ptrdiff_t ahead = ptrdiff_t(std::min(top + 3.0f, im.lastRow) - top) * W;
  for (int c = cBegin; c < cEnd; ++c) {
    const float* HWY_RESTRICT p = origin + c * im.plane;
    hwy::Prefetch(p + ahead);
    const V a0 = hn::TableLookupLanes(hn::LoadU(d, p), index);
    const V a1 = hn::TableLookupLanes(hn::LoadU(d, p + 1), index);
    const V b0 = hn::TableLookupLanes(hn::LoadU(d, p + W), index);
    const V b1 = hn::TableLookupLanes(hn::LoadU(d, p + W + 1), index);
    V y;
    if (!twoRowPairs) {
      y = w.Sample(a0, a1, b0, b1);
    } else {
      const V c0 = hn::TableLookupLanes(hn::LoadU(d, p + 2 * W), index);
      const V c1 = hn::TableLookupLanes(hn::LoadU(d, p + 2 * W + 1), index);
      y = w.Sample(hn::IfThenElse(upper, a0, b0), hn::IfThenElse(upper, a1, b1), hn::IfThenElse(upper, b0, c0),
                   hn::IfThenElse(upper, b1, c1));
    }
    hn::StoreU(y, d, out + (c - cBegin) * outPlane);
  }
}

// N output columns from their grid pairs g, channels [cBegin, cEnd); channel c of the first
// column goes to out[(c - cBegin) * outPlane].
HWY_INLINE void Block(const Image im, const float* HWY_RESTRICT g, float* HWY_RESTRICT out, ptrdiff_t outPlane,
                      int cBegin, int cEnd) {
  const D d;
  const DI di;
  const int N = int(hn::Lanes(d));
  V gx, gy;
  hn::LoadInterleaved2(d, g, gx, gy);
  V fx, col0, col1, fy, row0, row1;
  AxisTaps(d, gx, im.width, im.lastColumn, fx, col0, col1);
  AxisTaps(d, gy, im.height, im.lastRow, fy, row0, row1);
  const V one = hn::Set(d, 1.0f), zero = hn::Zero(d);
  const V ex = hn::Sub(one, fx), ey = hn::Sub(one, fy);
  const Weights w{hn::Mul(ex, ey), hn::Mul(fx, ey), hn::Mul(ex, fy), hn::Mul(fx, fy)};

  const auto adjacentColumns = hn::Eq(col1, hn::Add(col0, one));
  if (N > 1 && im.lastColumn >= float(N) &&
      hn::AllTrue(d, hn::And(adjacentColumns, hn::Eq(row1, hn::Add(row0, one))))) {
    // Smooth grids: neighbouring lanes sample neighbouring pixels. The row pieces hold N + 1
    // columns from the first lane's left tap (kept inside the row); rows go from the first
    // lane's upper tap row, or from the one above it.
    const float start = std::min(hn::GetLane(col0), im.lastColumn - float(N));
    const V lane = hn::Sub(col0, hn::Set(d, start));
    if (hn::AllTrue(d, hn::And(hn::Ge(lane, zero), hn::Le(lane, hn::Set(d, float(N - 1)))))) {
      float top = hn::GetLane(row0);
      const V below = hn::Sub(row0, hn::Set(d, top));
      if (hn::AllTrue(d, hn::Eq(below, zero))) {
        return Spans(d, im, w, lane, row0, ptrdiff_t(start), top, false, out, outPlane, cBegin, cEnd);
      }
      if (hn::AllTrue(d, hn::Le(hn::Abs(below), one))) {
        if (!hn::AllTrue(d, hn::Ge(below, zero))) top -= 1.0f;
        if (hn::AllTrue(d, hn::Le(hn::Sub(row0, hn::Set(d, top)), one))) {
          return Spans(d, im, w, lane, row0, ptrdiff_t(start), top, true, out, outPlane, cBegin, cEnd);
        }
      }
    }
  }

  const auto width = hn::Set(di, im.W);
  const auto upper = hn::Mul(IndexOf(d, row0), width);
  const auto lower = hn::Mul(IndexOf(d, row1), width);
  const auto left = IndexOf(d, col0);
  if (kRunLoads<D> && hn::AllTrue(d, adjacentColumns)) {
    alignas(64) int32_t offUpper[kMaxLanes], offLower[kMaxLanes];
    hn::Store(hn::Add(upper, left), di, offUpper);
    hn::Store(hn::Add(lower, left), di, offLower);
    for (int c = cBegin; c < cEnd; ++c) {
      const float* HWY_RESTRICT p = im.x + c * im.plane;
      V t00, t01, t10, t11;
      LoadPairs(d, p, offUpper, t00, t01);
      LoadPairs(d, p, offLower, t10, t11);
      hn::StoreU(w.Sample(t00, t01, t10, t11), d, out + (c - cBegin) * outPlane);
    }
    return;
  }
  const auto right = IndexOf(d, col1);
  const auto i00 = hn::Add(upper, left), i01 = hn::Add(upper, right);
  const auto i10 = hn::Add(lower, left), i11 = hn::Add(lower, right);
  for (int c = cBegin; c < cEnd; ++c) {
    const float* HWY_RESTRICT p = im.x + c * im.plane;
    const V t00 = hn::GatherIndex(d, p, i00), t01 = hn::GatherIndex(d, p, i01);
    const V t10 = hn::GatherIndex(d, p, i10), t11 = hn::GatherIndex(d, p, i11);
    hn::StoreU(w.Sample(t00, t01, t10, t11), d, out + (c - cBegin) * outPlane);
  }
}

// Output row whose grid pairs start at g and whose channel 0 starts at out.
void Row(const Image im, const float* HWY_RESTRICT g, int Wg, float* HWY_RESTRICT out, ptrdiff_t outPlane) {
  const int N = int(hn::Lanes(D()));
  int j = 0;
  for (; j + N <= Wg; j += N) Block(im, g + 2 * j, out + j, outPlane, 0, im.C);
  if (N == 1 || j >= Wg) return;  // one lane leaves no tail
  const int n = Wg - j;
  alignas(64) float pairs[2 * kMaxLanes] = {};  // unused lanes sample the image centre
  alignas(64) float samples[kTailChannels * kMaxLanes];
  std::memcpy(pairs, g + 2 * j, sizeof(float) * 2 * size_t(n));
  for (int c0 = 0; c0 < im.C; c0 += kTailChannels) {
    const int c1 = std::min(im.C, c0 + kTailChannels);
    Block(im, pairs, samples, N, c0, c1);
    for (int c = c0; c < c1; ++c) {
      std::memcpy(out + c * outPlane + j, samples + (c - c0) * N, sizeof(float) * size_t(n));
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
