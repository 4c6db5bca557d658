// 3x3 convolution, stride 1, zero padding 1, over output planes [lo, hi) of a batch.
//
// Every output pixel sums its taps in one fixed order: tap row, tap column, input channel, each
// product and sum rounded on its own, starting from +0; the bias is added last. Lanes hold
// neighbouring columns, so a vector sums exactly like each of its columns alone. Columns whose
// taps all lie inside the plane go in blocks of 16 (then 4) with no tests; the first and the
// last columns go one at a time with tests. Several output planes of one image share each input
// load, which gives the adds enough independent chains to keep the pipes busy.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_conv3x3_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

#if HWY_ARCH_X86
using Block16Tag = hn::CappedTag<float, 16>;
#else
using Block16Tag = hn::FixedTag<float, 4>;  // lane count known at compile time
#endif
using Block4Tag = hn::CappedTag<float, 4>;

constexpr size_t kVectorsPer16 = 16 / hn::MaxLanes(Block16Tag());
// Planes computed together: about eight accumulators in flight.
constexpr int kPlaneGroup = int(kVectorsPer16 >= 8 ? 1 : 8 / kVectorsPer16);

// Geometry of one image and one output row.
struct Rows {
  const float* HWY_RESTRICT in;  // image nb, channel 0
  ptrdiff_t plane;               // H * W
  int cin, width;
  int y, kyFirst, kyLast;  // tap rows inside the plane
};

// One column with per-tap tests, for `planes` output planes.
void ColumnTested(const Rows& r, const float* HWY_RESTRICT weights, const float* HWY_RESTRICT bias, int planes,
                  float* HWY_RESTRICT out, int x) {
  const ptrdiff_t wPlane = ptrdiff_t(r.cin) * 9;
  for (int g = 0; g < planes; ++g) {
    const float* HWY_RESTRICT w = weights + g * wPlane;
    float acc = 0.0f;
    for (int ky = r.kyFirst; ky <= r.kyLast; ++ky) {
      for (int kx = 0; kx < 3; ++kx) {
        const int col = x + kx - 1;
        if (col < 0 || col >= r.width) continue;
        const float* HWY_RESTRICT src = r.in + ptrdiff_t(r.y + ky - 1) * r.width + col;
        for (int ci = 0; ci < r.cin; ++ci) acc = acc + w[ci * 9 + ky * 3 + kx] * src[ci * r.plane];
      }
    }
    out[g * r.plane + ptrdiff_t(r.y) * r.width + x] = bias[g] + acc;
  }
}

// kVectors vectors of columns from x on, all taps inside the plane, for kPlanes output planes.
template <int kPlanes, size_t kVectors, class D>
HWY_INLINE void ColumnsInterior(D d, const Rows& r, const float* HWY_RESTRICT weights,
                                const float* HWY_RESTRICT bias, float* HWY_RESTRICT out, int x) {
  const size_t L = hn::Lanes(d);
  const ptrdiff_t wPlane = ptrdiff_t(r.cin) * 9;
  hn::Vec<D> acc[kPlanes][kVectors];
  for (int g = 0; g < kPlanes; ++g) {
    for (size_t j = 0; j < kVectors; ++j) acc[g][j] = hn::Zero(d);
  }
  for (int ky = r.kyFirst; ky <= r.kyLast; ++ky) {
    for (int kx = 0; kx < 3; ++kx) {
      const float* HWY_RESTRICT src = r.in + ptrdiff_t(r.y + ky - 1) * r.width + (x + kx - 1);
      const float* HWY_RESTRICT w = weights + ky * 3 + kx;
      for (int ci = 0; ci < r.cin; ++ci) {
        hn::Vec<D> v[kVectors];
        for (size_t j = 0; j < kVectors; ++j) v[j] = hn::LoadU(d, src + ci * r.plane + j * L);
        for (int g = 0; g < kPlanes; ++g) {
          const auto wv = hn::Set(d, w[g * wPlane + ci * 9]);
          for (size_t j = 0; j < kVectors; ++j) acc[g][j] = hn::Add(acc[g][j], hn::Mul(wv, v[j]));
        }
      }
    }
  }
  for (int g = 0; g < kPlanes; ++g) {
    const auto b = hn::Set(d, bias[g]);
    float* HWY_RESTRICT dst = out + g * r.plane + ptrdiff_t(r.y) * r.width + x;
    for (size_t j = 0; j < kVectors; ++j) hn::StoreU(hn::Add(b, acc[g][j]), d, dst + j * L);
  }
}

template <int kPlanes>
void PlaneGroup(const Rows& image, int height, const float* HWY_RESTRICT weights, const float* HWY_RESTRICT bias,
                float* HWY_RESTRICT out) {
  const Block16Tag d16;
  const Block4Tag d4;
  const int W = image.width;
  for (int y = 0; y < height; ++y) {
    Rows r = image;
    r.y = y;
    r.kyFirst = y == 0 ? 1 : 0;
    r.kyLast = y == height - 1 ? 1 : 2;
    ColumnTested(r, weights, bias, kPlanes, out, 0);
    int x = 1;
    if (W >= 18) {
      for (; x + 16 <= W - 1; x += 16) ColumnsInterior<kPlanes, kVectorsPer16>(d16, r, weights, bias, out, x);
    }
    for (; x + 3 <= W - 2; x += 4) {
      ColumnsInterior<kPlanes, 4 / hn::MaxLanes(Block4Tag())>(d4, r, weights, bias, out, x);
    }
    for (; x < W; ++x) ColumnTested(r, weights, bias, kPlanes, out, x);
  }
}

template <int kPlanes>
void PlaneGroupUpTo(int planes, const Rows& image, int height, const float* HWY_RESTRICT weights,
                    const float* HWY_RESTRICT bias, float* HWY_RESTRICT out) {
  if constexpr (kPlanes > 1) {
    if (planes < kPlanes) return PlaneGroupUpTo<kPlanes - 1>(planes, image, height, weights, bias, out);
  }
  PlaneGroup<kPlanes>(image, height, weights, bias, out);
}

}  // namespace

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W, const float* HWY_RESTRICT weights,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int lo, int hi) {
  if (Cout < 1 || H < 1 || W < 1) return;
  const ptrdiff_t plane = ptrdiff_t(H) * W;
  const ptrdiff_t wPlane = ptrdiff_t(Cin) * 9;
  for (int k = lo; k < hi;) {
    const int nb = k / Cout, oc = k % Cout;
    const int planes = std::min({kPlaneGroup, hi - k, Cout - oc});  // one image per group
    Rows image{in + ptrdiff_t(nb) * Cin * plane, plane, Cin, W, 0, 0, 0};
    PlaneGroupUpTo<kPlaneGroup>(planes, image, H, weights + oc * wPlane, bias + oc, out + ptrdiff_t(k) * plane);
    k += planes;
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(Conv3x3Range);

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int lo, int hi) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weights, bias, Cout, out, lo, hi);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
