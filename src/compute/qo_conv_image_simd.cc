// The native conv engine's image-path rows at full size: the refine row (the sub-pixel output of
// the last correction layer added to the warped image, then the image interleaved with the warped
// image and the occlusion as the 8-channel fp16 input of the tile layers) and the feathered add of
// a tile's output into the image. Lanes hold neighbouring pixels; the channel-last values are
// gathered. Every sum and product is the scalar formula's, in its order, so all targets give the
// same bits.
#include <cstddef>
#include <cstdint>

#include "compute/qo_convf16.h"
#include "qo/qo_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_conv_image_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/qo_half-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using D = hn::ScalableTag<float>;
using DU = hn::RebindToUnsigned<D>;

// The binary16 value in the low half of each lane (bits 16..31 are ignored).
HWY_INLINE hn::Vec<D> FromLowHalf(hn::Vec<DU> v) {
  return F32FromHalfBits(D(), hn::And(v, hn::Set(DU(), 0xFFFFu)));
}

// The binary16 bits of v (round to nearest even) in the low half of each lane.
HWY_INLINE hn::Vec<DU> HalfBits(hn::Vec<D> v) {
#if QO_HALF_F16C
  const hn::Rebind<hwy::float16_t, D> df16;
  const hn::Rebind<uint16_t, D> du16;
  return hn::PromoteTo(DU(), hn::BitCast(du16, hn::DemoteTo(df16, v)));
#else
  return HalfBitsFromF32Int(D(), v);
#endif
}

}  // namespace

void ConvRefineRow(const ConvRefineRowArgs& a) {
  const D d;
  const DU du;
  using VF = hn::Vec<D>;
  using VU = hn::Vec<DU>;
  const size_t N = hn::Lanes(d);
  const uint16_t* k2 = a.k2 + 2 * a.phase;
  // Halves from pixel x: ((x >> 1) * 16 + (x & 1)) into the row, as byte offsets.
  const VU lane = hn::Iota(du, 0);
  int x = 0;
  for (; x + int(N) <= a.side; x += int(N)) {
    const VU px = hn::Add(lane, hn::Set(du, uint32_t(x)));
    const VU at = hn::ShiftLeft<1>(hn::Add(hn::ShiftLeft<4>(hn::ShiftRight<1>(px)), hn::And(px, hn::Set(du, 1u))));
    const auto gather = [&](int c) {
      const hn::RebindToSigned<DU> di;
      return FromLowHalf(hn::GatherOffset(du, reinterpret_cast<const uint32_t*>(k2 + 4 * c), hn::BitCast(di, at)));
    };
    const VF w0 = hn::LoadU(d, a.warped[0] + x), w1 = hn::LoadU(d, a.warped[1] + x), w2 = hn::LoadU(d, a.warped[2] + x);
    const VF r0 = hn::Add(w0, gather(0)), r1 = hn::Add(w1, gather(1)), r2 = hn::Add(w2, gather(2));
    hn::StoreU(r0, d, a.refined[0] + x);
    hn::StoreU(r1, d, a.refined[1] + x);
    hn::StoreU(r2, d, a.refined[2] + x);
    // Per pixel four 32-bit words: (r0, r1), (r2, w0), (w1, w2), (occ, 0).
    const VU p0 = hn::Or(HalfBits(r0), hn::ShiftLeft<16>(HalfBits(r1)));
    const VU p1 = hn::Or(HalfBits(r2), hn::ShiftLeft<16>(HalfBits(w0)));
    const VU p2 = hn::Or(HalfBits(w1), hn::ShiftLeft<16>(HalfBits(w2)));
    const VU p3 = HalfBits(hn::LoadU(d, a.occ + x));
    hn::StoreInterleaved4(p0, p1, p2, p3, du, reinterpret_cast<uint32_t*>(a.row8 + size_t(x) * 8));
  }
  for (; x < a.side; ++x) {
    const uint16_t* k = k2 + (x / 2) * 16 + (x % 2);
    uint16_t* o = a.row8 + size_t(x) * 8;
    for (int c = 0; c < 3; ++c) {
      const float w = a.warped[c][x], r = w + qo::halfToFloat(k[4 * c]);
      a.refined[c][x] = r;
      o[c] = qo::f32ToF16(r);
      o[3 + c] = qo::f32ToF16(w);
    }
    o[6] = qo::f32ToF16(a.occ[x]);
    o[7] = 0;
  }
}

void ConvFeatherRow(const uint16_t* tile, int c, const float* w, float* out, int n) {
  const D d;
  const DU du;
  const hn::RebindToSigned<DU> di;
  const size_t N = hn::Lanes(d);
  const auto at = hn::ShiftLeft<4>(hn::Iota(di, 0));  // 16 bytes per pixel
  const uint32_t* base = reinterpret_cast<const uint32_t*>(tile + c);
  int x = 0;
  for (; x + int(N) <= n; x += int(N)) {
    const hn::Vec<D> t = FromLowHalf(hn::GatherOffset(du, base + size_t(x) * 4, at));
    hn::StoreU(hn::Add(hn::LoadU(d, out + x), hn::Mul(t, hn::LoadU(d, w + x))), d, out + x);
  }
  for (; x < n; ++x) out[x] = out[x] + qo::halfToFloat(tile[size_t(x) * 8 + c]) * w[x];
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qo::simd {

HWY_EXPORT(ConvRefineRow);
HWY_EXPORT(ConvFeatherRow);

void convRefineRow(const ConvRefineRowArgs& args) { HWY_DYNAMIC_DISPATCH(ConvRefineRow)(args); }
void convFeatherRow(const uint16_t* tile, int c, const float* w, float* out, int n) {
  HWY_DYNAMIC_DISPATCH(ConvFeatherRow)(tile, c, w, out, n);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
