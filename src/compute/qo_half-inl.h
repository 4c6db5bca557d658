// Per-target binary16 <-> binary32 vector conversions shared by the kernels.
//
// Highway's own f16 ops are not used as such: without F16C its demotion truncates instead of
// rounding, and the F16C widening quiets signalling NaNs. The integer versions below give the
// exact bits of qo_half_bits.h on every target; the F16C instructions are used only where they
// give those same bits (demotion with an immediate ties-to-even rounding, and widening of values
// that go straight into arithmetic, where a NaN is quieted anyway).

// Per-target include guard, toggled by foreach_target.h.
#if defined(QO_COMPUTE_QO_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QO_COMPUTE_QO_HALF_INL_H_
#undef QO_COMPUTE_QO_HALF_INL_H_
#else
#define QO_COMPUTE_QO_HALF_INL_H_
#endif

#include "hwy/highway.h"

#undef QO_HALF_F16C
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2 && !defined(HWY_DISABLE_F16C)
#define QO_HALF_F16C 1
#else
#define QO_HALF_F16C 0
#endif

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Exact binary32 of the binary16 bits held in the low half of each u32 lane; NaN payloads kept.
template <class DF>
HWY_INLINE hn::Vec<DF> F32FromHalfBits(DF df, hn::Vec<hn::RebindToUnsigned<DF>> h) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000u)));
  const auto mag = hn::And(h, hn::Set(du, 0x7FFFu));
  const auto normal = hn::Add(hn::ShiftLeft<13>(mag), hn::Set(du, 0x38000000u));
  const auto infOrNaN = hn::Add(normal, hn::Set(du, 0x38000000u));
  // mantissa * 2^-24 is exact and never subnormal in binary32.
  const auto subnormal =
      hn::BitCast(du, hn::Mul(hn::ConvertTo(df, hn::BitCast(di, mag)), hn::Set(df, 1.0f / 16777216.0f)));
  const auto magI = hn::BitCast(di, mag);
  auto bits = hn::IfThenElse(hn::RebindMask(du, hn::Lt(magI, hn::Set(di, 0x0400))), subnormal, normal);
  bits = hn::IfThenElse(hn::RebindMask(du, hn::Gt(magI, hn::Set(di, 0x7BFF))), infOrNaN, bits);
  return hn::BitCast(df, hn::Or(bits, sign));
}

// binary16 bits (in u32 lanes) of v, round to nearest even; integer lanes only.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> HalfBitsFromF32Int(DF df, hn::Vec<DF> v) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(du, 0x8000u));
  const auto mag = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
  const auto magI = hn::BitCast(di, mag);

  // Normal: rebias (modulo 2^32) and round half to even at bit 13; overflow saturates to inf.
  const auto lsb = hn::And(hn::ShiftRight<13>(mag), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(mag, hn::Set(du, 0xC8000FFFu)), lsb));
  const auto finite = hn::Min(normal, hn::Set(du, 0x7C00u));

  const auto nan = hn::Or(hn::And(hn::ShiftRight<13>(mag), hn::Set(du, 0x3FFu)), hn::Set(du, 0x7E00u));

  // Subnormal: shift the mantissa (with its hidden bit) to units of 2^-24, rounding half to
  // even; the clamps keep every lane's shift in [14, 25] even where the result is not used.
  const auto exponent = hn::Min(hn::ShiftRight<23>(mag), hn::Set(du, 112u));
  const auto shift = hn::Min(hn::Sub(hn::Set(du, 126u), exponent), hn::Set(du, 25u));
  const auto mant = hn::Or(hn::And(mag, hn::Set(du, 0x7FFFFFu)), hn::Set(du, 0x800000u));
  const auto halfUlp = hn::Shl(hn::Set(du, 1u), hn::Sub(shift, hn::Set(du, 1u)));
  const auto kept = hn::And(hn::Shr(mant, shift), hn::Set(du, 1u));
  const auto subnormal = hn::Shr(hn::Add(hn::Sub(hn::Add(mant, halfUlp), hn::Set(du, 1u)), kept), shift);

  auto h = hn::IfThenElse(hn::RebindMask(du, hn::Lt(magI, hn::Set(di, 0x38800000))), subnormal, finite);
  h = hn::IfThenElse(hn::RebindMask(du, hn::Gt(magI, hn::Set(di, 0x7F800000))), nan, h);
  return hn::Or(h, sign);
}

// v rounded to the nearest binary16 value and widened back (the h() of the distance kernels).
template <class DF>
HWY_INLINE hn::Vec<DF> RoundToHalf(DF df, hn::Vec<DF> v) {
#if QO_HALF_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  return hn::PromoteTo(df, hn::DemoteTo(df16, v));
#else
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto sign = hn::And(bits, hn::Set(du, 0x80000000u));
  const auto mag = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
  const auto magI = hn::BitCast(di, mag);

  // Normal: round the mantissa to 10 bits in place; a carry bumps the exponent.
  const auto lsb = hn::And(hn::ShiftRight<13>(mag), hn::Set(du, 1u));
  const auto rounded = hn::And(hn::Add(hn::Add(mag, hn::Set(du, 0xFFFu)), lsb), hn::Set(du, 0xFFFFE000u));
  const auto finite = hn::IfThenElse(hn::RebindMask(du, hn::Gt(hn::BitCast(di, rounded), hn::Set(di, 0x477FE000))),
                                     hn::Set(du, 0x7F800000u), rounded);

  // NaN: quiet, top 10 payload bits kept.
  const auto nan = hn::And(hn::Or(mag, hn::Set(du, 0x00400000u)), hn::Set(du, 0x7FFFE000u));

  // Subnormal half: the rounded count of 2^-24 units, scaled back exactly.
  const auto exponent = hn::Min(hn::ShiftRight<23>(mag), hn::Set(du, 112u));
  const auto shift = hn::Min(hn::Sub(hn::Set(du, 126u), exponent), hn::Set(du, 25u));
  const auto mant = hn::Or(hn::And(mag, hn::Set(du, 0x7FFFFFu)), hn::Set(du, 0x800000u));
  const auto halfUlp = hn::Shl(hn::Set(du, 1u), hn::Sub(shift, hn::Set(du, 1u)));
  const auto kept = hn::And(hn::Shr(mant, shift), hn::Set(du, 1u));
  const auto units = hn::Shr(hn::Add(hn::Sub(hn::Add(mant, halfUlp), hn::Set(du, 1u)), kept), shift);
  const auto subnormal =
      hn::BitCast(du, hn::Mul(hn::ConvertTo(df, hn::BitCast(di, units)), hn::Set(df, 1.0f / 16777216.0f)));

  auto r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(magI, hn::Set(di, 0x38800000))), subnormal, finite);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(magI, hn::Set(di, 0x7F800000))), nan, r);
  return hn::BitCast(df, hn::Or(r, sign));
#endif
}

// Lanes(df) binary16 values from p, widened for arithmetic: a signalling NaN may come back
// quiet, which no arithmetic result can tell apart.
template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalvesForArithmetic(DF df, const uint16_t* HWY_RESTRICT p) {
#if QO_HALF_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  const hn::RebindToUnsigned<decltype(df16)> du16;
  return hn::PromoteTo(df, hn::BitCast(df16, hn::LoadU(du16, p)));
#else
  const hn::Rebind<uint16_t, DF> du16;
  const hn::RebindToUnsigned<DF> du;
  return F32FromHalfBits(df, hn::PromoteTo(du, hn::LoadU(du16, p)));
#endif
}

// Lanes(df) binary16 values of v (round to nearest even) stored at p.
template <class DF>
HWY_INLINE void StoreAsHalves(DF df, hn::Vec<DF> v, uint16_t* HWY_RESTRICT p) {
#if QO_HALF_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  const hn::RebindToUnsigned<decltype(df16)> du16;
  hn::StoreU(hn::BitCast(du16, hn::DemoteTo(df16, v)), du16, p);
#else
  const hn::Rebind<uint16_t, DF> du16;
  const hn::RebindToSigned<DF> di;
  hn::StoreU(hn::DemoteTo(du16, hn::BitCast(di, HalfBitsFromF32Int(df, v))), du16, p);
#endif
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
