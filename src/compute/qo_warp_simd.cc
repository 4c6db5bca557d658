// The director's curvature-corrected bilinear warp of a 3-channel image, over output rows.
//
// Per output pixel, in float32, each product and sum rounded on its own, in this order:
//   px = ((gx + 1) * W - 1) * 0.5;  a NaN px becomes -1 (the border)
//   tx = px - floor(px), qx = ((1 - tx) * tx) * 0.5        (from the unclamped px)
//   px < 0: x0 = x1 = 0, fx = 0; else xc = min(px, W - 1), x0 = floor(xc), fx = xc - x0,
//   x1 = min(x0 + 1, W - 1); rows likewise from gy and H: qy, y0, y1, fy
//   w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy
// At each tap point (r, q) of (y0, x0), (y0, x1), (y1, x0), (y1, x1), over its edge-clamped 3 x 3
// neighbourhood p[dr][dq], with s(a, b, c) = (a - 2 * b) + c:
//   v = p[0][0], dxx = s(p[0][-1], p[0][0], p[0][1]), dyy = s(p[-1][0], p[0][0], p[1][0]),
//   dxxyy = s(col(-1), col(0), col(1)) with col(k) = s(p[-1][k], p[0][k], p[1][k])
// each interpolated as ((w00 * a00 + w01 * a01) + w10 * a10) + w11 * a11 into V, Dxx, Dyy, Dxxyy;
//   y = ((qx * qy) * Dxxyy) + ((V - qx * Dxx) - qy * Dyy)
//
// Lanes hold neighbouring output columns. When every lane's four neighbourhoods lie inside the
// image (1 <= x0 <= W - 3, 1 <= y0 <= H - 3), together they are the 4 x 4 block at rows y0 - 1 ..
// y0 + 2, columns x0 - 1 .. x0 + 2. Where all the blocks start on one row within N columns, as
// smooth grids give, four row pieces are loaded whole and each lane picks its columns with a
// table lookup; other interior blocks are read as four 128-bit rows per lane and transposed
// (qo_lane_loads-inl.h). The neighbouring taps share their second differences, which are the same
// sums either way. Blocks with a lane near the border gather each tap's neighbourhood with clamped
// indices. The last block of a row goes through stack buffers, so nothing is read or written past
// the row. Indices go through float and offsets are int32: H and W below 2^23, planes below 2^31.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hwy/cache_control.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_warp_simd.cc"
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
using VI = hn::Vec<DI>;
using VH = Held<D>;  // as member or array element
using VIH = Held<DI>;
constexpr int kMaxLanes = int(hn::MaxLanes(D()));
constexpr int kChannels = 3;

struct Image {
  const float* HWY_RESTRICT x;
  ptrdiff_t plane;  // H * W
  int W;
  float width, height, lastColumn, lastRow;
  bool spans;  // rows hold pieces of N + 3 columns
};

struct Axis {
  VH q;       // correction weight
  VH frac;    // bilinear fraction
  VH t0, t1;  // tap indices, as floats
};

HWY_INLINE Axis AxisTaps(D d, V g, float size, float last) {
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f);
  V p = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(d, size)), one), half);
  p = hn::IfThenElse(hn::IsNaN(p), hn::Set(d, -1.0f), p);
  const V t = hn::Sub(p, hn::Floor(p));
  const V q = hn::Mul(hn::Mul(hn::Sub(one, t), t), half);
  const auto below = hn::Lt(p, hn::Zero(d));
  const V vLast = hn::Set(d, last);
  const V clamped = hn::Min(p, vLast);
  const V fl = hn::Floor(clamped);
  return Axis{q, hn::IfThenZeroElse(below, hn::Sub(clamped, fl)), hn::IfThenZeroElse(below, fl),
              hn::IfThenZeroElse(below, hn::Min(hn::Add(fl, one), vLast))};
}

// (a - 2 b) + c
HWY_INLINE V Second(V a, V b, V c) {
  const D d;
  return hn::Add(hn::Sub(a, hn::Mul(hn::Set(d, 2.0f), b)), c);
}

struct Weights {
  VH w00, w01, w10, w11, qx, qy;
  HWY_INLINE V Interpolate(V a00, V a01, V a10, V a11) const {
    return hn::Add(hn::Add(hn::Add(hn::Mul(w00, a00), hn::Mul(w01, a01)), hn::Mul(w10, a10)), hn::Mul(w11, a11));
  }
  HWY_INLINE V Correct(V v, V dxx, V dyy, V dxxyy) const {
    return hn::Add(hn::Mul(hn::Mul(qx, qy), dxxyy), hn::Sub(hn::Sub(v, hn::Mul(qx, dxx)), hn::Mul(qy, dyy)));
  }
};

// One channel from its 4 x 4 blocks: b[a][k] holds rows y0 - 1 + a, columns x0 - 1 + k.
HWY_INLINE V InteriorChannel(const Weights& w, const VH (&b)[4][4]) {
  // Vertical second differences of the columns, centred on rows y0 (top) and y1 (bottom).
  VH top[4], bottom[4];
  for (int k = 0; k < 4; ++k) {
    top[k] = Second(b[0][k], b[1][k], b[2][k]);
    bottom[k] = Second(b[1][k], b[2][k], b[3][k]);
  }
  const V v = w.Interpolate(b[1][1], b[1][2], b[2][1], b[2][2]);
  const V dxx = w.Interpolate(Second(b[1][0], b[1][1], b[1][2]), Second(b[1][1], b[1][2], b[1][3]),
                              Second(b[2][0], b[2][1], b[2][2]), Second(b[2][1], b[2][2], b[2][3]));
  const V dyy = w.Interpolate(top[1], top[2], bottom[1], bottom[2]);
  const V dxxyy = w.Interpolate(Second(top[0], top[1], top[2]), Second(top[1], top[2], top[3]),
                                Second(bottom[0], bottom[1], bottom[2]), Second(bottom[1], bottom[2], bottom[3]));
  return w.Correct(v, dxx, dyy, dxxyy);
}

// The blocks of a channel whose lanes' blocks start at p[offset[l]].
HWY_INLINE void LoadBlocks(D d, const float* HWY_RESTRICT p, ptrdiff_t W, const int32_t* HWY_RESTRICT offset,
                           VH (&b)[4][4]) {
  for (int a = 0; a < 4; ++a) LoadQuads(d, p + a * W, offset, b[a]);
}

// The blocks of a channel whose lanes' blocks all start on one row, within N columns from p:
// four row pieces of N + 3 columns, each lane picking its columns with a table lookup.
template <class Index>
HWY_INLINE void LoadSpans(D d, const float* HWY_RESTRICT p, ptrdiff_t W, Index lane, VH (&b)[4][4]) {
  for (int a = 0; a < 4; ++a) {
    for (int k = 0; k < 4; ++k) b[a][k] = hn::TableLookupLanes(hn::LoadU(d, p + a * W + k), lane);
  }
}

// Row and column offsets of one tap point's clamped neighbourhood.
struct Neighbourhood {
  VIH row[3], col[3];
};

HWY_INLINE Neighbourhood Around(D d, V r, V q, const Image& im) {
  const DI di;
  const V one = hn::Set(d, 1.0f), zero = hn::Zero(d);
  const auto width = hn::Set(di, im.W);
  return Neighbourhood{{hn::Mul(IndexOf(d, hn::Max(hn::Sub(r, one), zero)), width), hn::Mul(IndexOf(d, r), width),
                        hn::Mul(IndexOf(d, hn::Min(hn::Add(r, one), hn::Set(d, im.lastRow))), width)},
                       {IndexOf(d, hn::Max(hn::Sub(q, one), zero)), IndexOf(d, q),
                        IndexOf(d, hn::Min(hn::Add(q, one), hn::Set(d, im.lastColumn)))}};
}

// Value and second differences of one channel at one tap point. These structs are built whole:
// GCC compiles their default constructors without the target's options, which then fail to
// inline the vectors' constructors on NEON.
struct TapTerms {
  VH v, dxx, dyy, dxxyy;
};

HWY_INLINE TapTerms Clamped(D d, const float* HWY_RESTRICT p, const Neighbourhood& n) {
  VH s[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) s[i][k] = hn::GatherIndex(d, p, hn::Add(n.row[i], n.col[k]));
  }
  return TapTerms{
      s[1][1], Second(s[1][0], s[1][1], s[1][2]), Second(s[0][1], s[1][1], s[2][1]),
      Second(Second(s[0][0], s[1][0], s[2][0]), Second(s[0][1], s[1][1], s[2][1]), Second(s[0][2], s[1][2], s[2][2]))};
}

// N output columns from their grid pairs g; channel c of the first column goes to
// out[c * outPlane].
HWY_INLINE void Block(const Image& im, const float* HWY_RESTRICT g, float* HWY_RESTRICT out, ptrdiff_t outPlane) {
  const D d;
  const DI di;
  V gx, gy;
  hn::LoadInterleaved2(d, g, gx, gy);
  const Axis ax = AxisTaps(d, gx, im.width, im.lastColumn);
  const Axis ay = AxisTaps(d, gy, im.height, im.lastRow);
  const V one = hn::Set(d, 1.0f);
  const V ex = hn::Sub(one, ax.frac), ey = hn::Sub(one, ay.frac);
  const Weights w{hn::Mul(ex, ey), hn::Mul(ax.frac, ey), hn::Mul(ex, ay.frac), hn::Mul(ax.frac, ay.frac), ax.q, ay.q};

  const V col0 = ax.t0, row0 = ay.t0;
  const auto inside = hn::And(hn::And(hn::Ge(col0, one), hn::Le(col0, hn::Set(d, im.width - 3.0f))),
                              hn::And(hn::Ge(row0, one), hn::Le(row0, hn::Set(d, im.height - 3.0f))));
  if (hn::AllTrue(d, inside)) {
    const int N = int(hn::Lanes(d));
    if (im.spans) {
      // Smooth grids: the lanes' blocks start on one row, within N columns of the first lane's.
      // (Blocks across two rows take lookups in five row pieces and blends, which measured
      // slower than the transposing loads below.)
      const V x0 = hn::Sub(ax.t0, one), y0 = hn::Sub(ay.t0, one);
      const float start = std::min(hn::GetLane(x0), im.width - float(N + 3)), top = hn::GetLane(y0);
      const V lane = hn::Sub(x0, hn::Set(d, start));
      const auto inSpan = hn::And(hn::Ge(lane, hn::Zero(d)), hn::Le(lane, hn::Set(d, float(N - 1))));
      if (hn::AllTrue(d, hn::And(inSpan, hn::Eq(y0, hn::Set(d, top))))) {
        const auto index = hn::IndicesFromVec(d, IndexOf(d, lane));
        const ptrdiff_t origin = ptrdiff_t(top) * im.W + ptrdiff_t(start);
        // The row under the block rows, for the next output rows (see qo_gridsample_simd.cc).
        const ptrdiff_t ahead = ptrdiff_t(std::min(top + 4.0f, im.lastRow) - top) * im.W;
        for (int c = 0; c < kChannels; ++c) {
          hwy::Prefetch(im.x + c * im.plane + origin + ahead);
          VH b[4][4];
          LoadSpans(d, im.x + c * im.plane + origin, im.W, index, b);
          hn::StoreU(InteriorChannel(w, b), d, out + c * outPlane);
        }
        return;
      }
    }
    alignas(64) int32_t offset[kMaxLanes];
    const auto corner =
        hn::Add(hn::Mul(IndexOf(d, hn::Sub(ay.t0, one)), hn::Set(di, im.W)), IndexOf(d, hn::Sub(ax.t0, one)));
    hn::Store(corner, di, offset);
    for (int c = 0; c < kChannels; ++c) {
      VH b[4][4];
      LoadBlocks(d, im.x + c * im.plane, im.W, offset, b);
      hn::StoreU(InteriorChannel(w, b), d, out + c * outPlane);
    }
    return;
  }
  const Neighbourhood n00 = Around(d, ay.t0, ax.t0, im), n01 = Around(d, ay.t0, ax.t1, im);
  const Neighbourhood n10 = Around(d, ay.t1, ax.t0, im), n11 = Around(d, ay.t1, ax.t1, im);
  for (int c = 0; c < kChannels; ++c) {
    const float* HWY_RESTRICT p = im.x + c * im.plane;
    const TapTerms a = Clamped(d, p, n00), b = Clamped(d, p, n01), e = Clamped(d, p, n10), f = Clamped(d, p, n11);
    const V v = w.Interpolate(a.v, b.v, e.v, f.v);
    const V dxx = w.Interpolate(a.dxx, b.dxx, e.dxx, f.dxx);
    const V dyy = w.Interpolate(a.dyy, b.dyy, e.dyy, f.dyy);
    const V dxxyy = w.Interpolate(a.dxxyy, b.dxxyy, e.dxxyy, f.dxxyy);
    hn::StoreU(w.Correct(v, dxx, dyy, dxxyy), d, out + c * outPlane);
  }
}

void Row(const Image& im, const float* HWY_RESTRICT g, int Wg, float* HWY_RESTRICT out, ptrdiff_t outPlane) {
  const int N = int(hn::Lanes(D()));
  int j = 0;
  for (; j + N <= Wg; j += N) Block(im, g + 2 * j, out + j, outPlane);
  if (N == 1 || j >= Wg) return;  // one lane leaves no tail
  const int n = Wg - j;
  alignas(64) float pairs[2 * kMaxLanes] = {};  // unused lanes sample the image centre
  alignas(64) float samples[kChannels * kMaxLanes];
  std::memcpy(pairs, g + 2 * j, sizeof(float) * 2 * size_t(n));
  Block(im, pairs, samples, N);
  for (int c = 0; c < kChannels; ++c) {
    std::memcpy(out + c * outPlane + j, samples + c * N, sizeof(float) * size_t(n));
  }
}

}  // namespace

void WarpDirectorRows(const float* HWY_RESTRICT x, const float* HWY_RESTRICT grid, float* HWY_RESTRICT y, int H, int W,
                      int Hg, int Wg, int rowBegin, int rowEnd) {
  if (H < 1 || W < 1 || Wg < 1) return;
  const Image im{x, ptrdiff_t(H) * W, W, float(W), float(H), float(W - 1), float(H - 1), W >= int(hn::Lanes(D())) + 3};
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

HWY_EXPORT(WarpDirectorRows);

void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg, int rowBegin,
                      int rowEnd) {
  HWY_DYNAMIC_DISPATCH(WarpDirectorRows)(x, grid, y, H, W, Hg, Wg, rowBegin, rowEnd);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
