// The native conv engine's warp of the source image: per output pixel, the 64 x 64 grid resized
// linearly (taps given per column, one pair of grid rows per output row), then a bilinear sample
// of three planes with zeros outside (align_corners 0), scaled by the occlusion of the pixel's
// 8 x 8 cell. Lanes hold neighbouring output pixels; the taps are gathered. Every product and sum
// is the scalar formula's, in its order, so all targets give the same bits.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "compute/qo_convf16.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_conv_warp_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// Sample position from the normalised grid value: ((q + 1) * side - 1) / 2, held to
// [-2, side + 1] first. Past that range every tap is outside, which the held value keeps (the
// sample stays 0), and the integer tap index stays in range; NaN goes to -2 on x86 (and to a
// finite tap on other targets, where the sample is NaN as the grid is).
template <class D>
HWY_INLINE hn::Vec<D> Position(D d, hn::Vec<D> q, float side) {
  const hn::Vec<D> one = hn::Set(d, 1.0f);
  const hn::Vec<D> p = hn::Div(hn::Sub(hn::Mul(hn::Add(q, one), hn::Set(d, side)), one), hn::Set(d, 2.0f));
  return hn::Min(hn::Max(p, hn::Set(d, -2.0f)), hn::Set(d, side + 1.0f));
}

// One pixel of the row, for the columns a whole vector does not cover: the same formula.
HWY_INLINE void Pixel(const ConvWarpRowArgs& a, int x) {
  const int side = a.side;
  const size_t plane = size_t(side) * size_t(side);
  const int xa = a.colA[x], xb = a.colB[x];
  const float dxa = a.colDa[x], dxb = a.colDb[x], dya = a.dya, dyb = a.dyb;
  float q[2];
  for (int c = 0; c < 2; ++c) {
    const float v11 = a.gridA[2 * xa + c], v21 = a.gridA[2 * xb + c];
    const float v12 = a.gridB[2 * xa + c], v22 = a.gridB[2 * xb + c];
    q[c] = dxb * dyb * v11 + dxa * dyb * v21 + dxb * dya * v12 + dxa * dya * v22;
  }
  const auto position = [&](float v) {
    float p = ((v + 1.0f) * float(side) - 1.0f) / 2.0f;
    p = p > -2.0f ? p : -2.0f;
    return p < float(side) + 1.0f ? p : float(side) + 1.0f;
  };
  const float ix = position(q[0]), iy = position(q[1]);
  const float fx = std::floor(ix), fy = std::floor(iy);
  const int x0 = int(fx), y0 = int(fy);
  const float wx1 = ix - fx, wx0 = 1.0f - wx1, wy1 = iy - fy, wy0 = 1.0f - wy1;
  const bool inX0 = x0 >= 0 && x0 < side, inX1 = x0 + 1 >= 0 && x0 + 1 < side;
  const bool inY0 = y0 >= 0 && y0 < side, inY1 = y0 + 1 >= 0 && y0 + 1 < side;
  const float occ = a.occRow[x >> 3];
  a.occOut[x] = occ;
  for (int c = 0; c < 3; ++c) {
    const float* p = a.planes + size_t(c) * plane;
    const float v00 = inY0 && inX0 ? p[size_t(y0) * side + x0] : 0.0f;
    const float v01 = inY0 && inX1 ? p[size_t(y0) * side + x0 + 1] : 0.0f;
    const float v10 = inY1 && inX0 ? p[size_t(y0 + 1) * side + x0] : 0.0f;
    const float v11 = inY1 && inX1 ? p[size_t(y0 + 1) * side + x0 + 1] : 0.0f;
    const float s = wy0 * (wx0 * v00 + wx1 * v01) + wy1 * (wx0 * v10 + wx1 * v11);
    a.out[size_t(c) * plane + x] = s * occ;
  }
}

}  // namespace

void ConvWarpRow(const ConvWarpRowArgs& a) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using VF = hn::Vec<decltype(d)>;
  using VI = hn::Vec<decltype(di)>;
  const int side = a.side;
  const size_t plane = size_t(side) * size_t(side);
  const VF dya = hn::Set(d, a.dya), dyb = hn::Set(d, a.dyb);
  const VF one = hn::Set(d, 1.0f);
  const VI zero = hn::Zero(di), last = hn::Set(di, side - 1), sideV = hn::Set(di, side);
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + N <= size_t(side); x += N) {
    // Grid row resize: the column taps and weights, two grid rows, both components.
    const VI ca = hn::LoadU(di, a.colA + x), cb = hn::LoadU(di, a.colB + x);
    const VF dxa = hn::LoadU(d, a.colDa + x), dxb = hn::LoadU(d, a.colDb + x);
    const VI ia = hn::Add(ca, ca), ib = hn::Add(cb, cb);  // component 0 of columns a and b
    // Component c of the resized grid (named vectors, not an array: SVE vectors cannot be elements).
    const auto component = [&](int c) {
      const VI oa = hn::Add(ia, hn::Set(di, c)), ob = hn::Add(ib, hn::Set(di, c));
      const VF v11 = hn::GatherIndex(d, a.gridA, oa), v21 = hn::GatherIndex(d, a.gridA, ob);
      const VF v12 = hn::GatherIndex(d, a.gridB, oa), v22 = hn::GatherIndex(d, a.gridB, ob);
      VF s = hn::Add(hn::Mul(hn::Mul(dxb, dyb), v11), hn::Mul(hn::Mul(dxa, dyb), v21));
      s = hn::Add(s, hn::Mul(hn::Mul(dxb, dya), v12));
      return hn::Add(s, hn::Mul(hn::Mul(dxa, dya), v22));
    };
    const VF ix = Position(d, component(0), float(side)), iy = Position(d, component(1), float(side));
    const VF fx = hn::Floor(ix), fy = hn::Floor(iy);
    const VI x0 = hn::ConvertTo(di, fx), y0 = hn::ConvertTo(di, fy);
    const VI x1 = hn::Add(x0, hn::Set(di, 1)), y1 = hn::Add(y0, hn::Set(di, 1));
    const VF wx1 = hn::Sub(ix, fx), wx0 = hn::Sub(one, wx1), wy1 = hn::Sub(iy, fy), wy0 = hn::Sub(one, wy1);
    const VI minusOne = hn::Set(di, -1);
    const auto inside = [&](VI v) { return hn::And(hn::Gt(v, minusOne), hn::Lt(v, sideV)); };
    const auto mX0 = inside(x0), mX1 = inside(x1), mY0 = inside(y0), mY1 = inside(y1);
    // Tap offsets with every index held inside the plane; taps outside read a real pixel and
    // are then replaced by zero.
    const VI cx0 = hn::Min(hn::Max(x0, zero), last), cx1 = hn::Min(hn::Max(x1, zero), last);
    const VI ry0 = hn::Mul(hn::Min(hn::Max(y0, zero), last), sideV);
    const VI ry1 = hn::Mul(hn::Min(hn::Max(y1, zero), last), sideV);
    const VI o00 = hn::Add(ry0, cx0), o01 = hn::Add(ry0, cx1), o10 = hn::Add(ry1, cx0), o11 = hn::Add(ry1, cx1);
    const auto m00 = hn::RebindMask(d, hn::And(mY0, mX0)), m01 = hn::RebindMask(d, hn::And(mY0, mX1));
    const auto m10 = hn::RebindMask(d, hn::And(mY1, mX0)), m11 = hn::RebindMask(d, hn::And(mY1, mX1));
    const VI cell = hn::ShiftRight<3>(hn::Add(hn::Iota(di, 0), hn::Set(di, int32_t(x))));
    const VF occ = hn::GatherIndex(d, a.occRow, cell);
    hn::StoreU(occ, d, a.occOut + x);
    for (int c = 0; c < 3; ++c) {
      const float* p = a.planes + size_t(c) * plane;
      const VF v00 = hn::IfThenElseZero(m00, hn::GatherIndex(d, p, o00));
      const VF v01 = hn::IfThenElseZero(m01, hn::GatherIndex(d, p, o01));
      const VF v10 = hn::IfThenElseZero(m10, hn::GatherIndex(d, p, o10));
      const VF v11 = hn::IfThenElseZero(m11, hn::GatherIndex(d, p, o11));
      const VF s = hn::Add(hn::Mul(wy0, hn::Add(hn::Mul(wx0, v00), hn::Mul(wx1, v01))),
                           hn::Mul(wy1, hn::Add(hn::Mul(wx0, v10), hn::Mul(wx1, v11))));
      hn::StoreU(hn::Mul(s, occ), d, a.out + size_t(c) * plane + x);
    }
  }
  for (; x < size_t(side); ++x) Pixel(a, int(x));
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qo::simd {

HWY_EXPORT(ConvWarpRow);

void convWarpRow(const ConvWarpRowArgs& args) { HWY_DYNAMIC_DISPATCH(ConvWarpRow)(args); }

}  // namespace qo::simd
#endif  // HWY_ONCE
