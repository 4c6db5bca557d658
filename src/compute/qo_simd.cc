// Half-float and RGB8 conversion kernels, their dispatch tables and entry points, and target().
//
// This file is compiled once per Highway target: foreach_target.h re-includes it with each
// HWY_TARGET, and HWY_EXPORT (below, under HWY_ONCE) collects the members into tables.
#include <bit>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_half-inl.h"
#include "compute/qo_half_bits.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t count) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint16_t, decltype(df)> du16;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= count; i += N) {
    hn::StoreU(F32FromHalfBits(df, hn::PromoteTo(du, hn::LoadU(du16, src + i))), df, dst + i);
  }
  for (; i < count; ++i) dst[i] = std::bit_cast<float>(halfbits::toFloat(src[i]));
}

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t count) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= count; i += N) StoreAsHalves(df, hn::LoadU(df, src + i), dst + i);
  for (; i < count; ++i) dst[i] = halfbits::fromFloat(std::bit_cast<uint32_t>(src[i]));
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT planes, size_t planeStride,
                     size_t count) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> du8;
  const size_t N = hn::Lanes(df);
  const auto k255 = hn::Set(df, 255.0f);
  uint16_t* HWY_RESTRICT r = planes;
  uint16_t* HWY_RESTRICT g = planes + planeStride;
  uint16_t* HWY_RESTRICT b = planes + 2 * planeStride;
  size_t i = 0;
  for (; i + N <= count; i += N) {
    hn::Vec<decltype(du8)> vr, vg, vb;
    hn::LoadInterleaved3(du8, rgb + 3 * i, vr, vg, vb);
    StoreAsHalves(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, vr)), k255), r + i);
    StoreAsHalves(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, vg)), k255), g + i);
    StoreAsHalves(df, hn::Div(hn::ConvertTo(df, hn::PromoteTo(di, vb)), k255), b + i);
  }
  for (; i < count; ++i) {
    r[i] = halfbits::fromFloat(std::bit_cast<uint32_t>(float(rgb[3 * i]) / 255.0f));
    g[i] = halfbits::fromFloat(std::bit_cast<uint32_t>(float(rgb[3 * i + 1]) / 255.0f));
    b[i] = halfbits::fromFloat(std::bit_cast<uint32_t>(float(rgb[3 * i + 2]) / 255.0f));
  }
}

// Scalar form of one value: min(v, 1) x 255 to nearest, ties to even (1.5 x 2^23 added and
// removed in the default rounding mode); 0 for v <= 0 and NaN.
inline uint8_t QuantiseOne(float v) {
  if (!(v > 0.0f)) return 0;
  constexpr float kRound = 12582912.0f;
  const float x = (v < 1.0f ? v : 1.0f) * 255.0f;
  return uint8_t(int((x + kRound) - kRound));
}

void PlanarF32ToRgb8(const float* HWY_RESTRICT planes, size_t planeStride, uint8_t* HWY_RESTRICT rgb,
                     size_t count) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> du8;
  const size_t N = hn::Lanes(df);
  const auto zero = hn::Zero(df), one = hn::Set(df, 1.0f), k255 = hn::Set(df, 255.0f);
  const float* HWY_RESTRICT r = planes;
  const float* HWY_RESTRICT g = planes + planeStride;
  const float* HWY_RESTRICT b = planes + 2 * planeStride;
  auto bytes = [&](const float* p) {
    const auto v = hn::LoadU(df, p);
    const auto q = hn::IfThenElseZero(hn::Gt(v, zero), hn::Round(hn::Mul(hn::Min(v, one), k255)));
    return hn::DemoteTo(du8, hn::ConvertTo(di, q));
  };
  size_t i = 0;
  for (; i + N <= count; i += N) hn::StoreInterleaved3(bytes(r + i), bytes(g + i), bytes(b + i), du8, rgb + 3 * i);
  for (; i < count; ++i) {
    rgb[3 * i] = QuantiseOne(r[i]);
    rgb[3 * i + 1] = QuantiseOne(g[i]);
    rgb[3 * i + 2] = QuantiseOne(b[i]);
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(PlanarF32ToRgb8);

const char* target() {
  // The member the tables dispatch to: the best target both compiled here and supported.
  const int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(usable & -usable);
}

void f16ToF32(const uint16_t* src, float* dst, size_t count) { HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, count); }

void f32ToF16(const float* src, uint16_t* dst, size_t count) { HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, count); }

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t count) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, planes, planeStride, count);
}

void planarF32ToRgb8(const float* planes, size_t planeStride, uint8_t* rgb, size_t count) {
  HWY_DYNAMIC_DISPATCH(PlanarF32ToRgb8)(planes, planeStride, rgb, count);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
