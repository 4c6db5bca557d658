// One row of limited-range BT.601 YUV 4:2:0 to RGB24, in integer arithmetic.
//
// Per pixel: C = 298 (Y - 16) + 128, D = U - 128, E = V - 128,
//   R = (C + 409 E) >> 8, G = (C - 208 E - 100 D) >> 8, B = (C + 516 D) >> 8, clamped to 0..255.
// The vector body gets the same floors in 16-bit lanes by splitting each product into a multiple
// of 256, which passes through the shift whole, and a remainder small enough for 16 bits:
//   R = Y + V - 223 + ((42 Y + 153 V + 96) >> 8)
//   G = Y - V + 36 + ((42 Y + 48 V - 100 U + 25568) >> 8)
//   B = Y + 2 U - 277 + ((42 Y + 4 U + 224) >> 8)
// The shifted sums are biased to lie in [0, 65535] (logical shifts), and the results in
// [-277, 534], which the saturating pack to bytes clamps.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_yuv2rgb_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

HWY_INLINE uint8_t ClampToByte(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

void Yuv420PixelsScalar(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v,
                        int begin, int end, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  for (int i = begin; i < end; ++i) {
    const ptrdiff_t c = ptrdiff_t(chromaStep) * (i / 2);
    const int32_t C = 298 * (int32_t(y[i]) - 16) + 128;
    const int32_t D = int32_t(u[c]) - 128;
    const int32_t E = int32_t(v[c]) - 128;
    rgb[3 * i] = ClampToByte((C + 409 * E) >> 8);
    rgb[3 * i + 1] = ClampToByte((C - 208 * E - 100 * D) >> 8);
    rgb[3 * i + 2] = ClampToByte((C + 516 * D) >> 8);
  }
}

#if HWY_TARGET != HWY_SCALAR

// Whole vectors on x86, where the per-block interleaves below are well defined for any width;
// one 128-bit block elsewhere.
#if HWY_ARCH_X86
using ByteTag = hn::ScalableTag<uint8_t>;
#else
using ByteTag = hn::FixedTag<uint8_t, 16>;
#endif

// Saturating i16 -> u8 pack that works within each 128-bit block: block b of the result is
// block b of lo followed by block b of hi. It undoes InterleaveLower/Upper with zero.
template <class D8, class V16>
HWY_INLINE hn::Vec<D8> PackBytesPerBlock(D8 d8, V16 lo, V16 hi) {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
  return hn::Vec<D8>{_mm512_packus_epi16(lo.raw, hi.raw)};
#elif HWY_TARGET == HWY_AVX2
  return hn::Vec<D8>{_mm256_packus_epi16(lo.raw, hi.raw)};
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
  return hn::Vec<D8>{_mm_packus_epi16(lo.raw, hi.raw)};
#else
  static_assert(hn::MaxLanes(d8) == 16, "single-block fallback");
  const hn::Half<D8> d8h;
  return hn::Combine(d8, hn::DemoteTo(d8h, hi), hn::DemoteTo(d8h, lo));
#endif
}

// Chroma samples k .. k + lanes - 1 as u16 lanes.
template <class D16>
HWY_INLINE hn::Vec<D16> LoadChroma(D16 d16, const uint8_t* HWY_RESTRICT p, int chromaStep) {
  if (chromaStep == 1) return hn::PromoteTo(d16, hn::LoadU(hn::Rebind<uint8_t, D16>(), p));
  // Every other byte: the low byte of each u16 lane.
  const hn::Repartition<uint8_t, D16> d8;
  return hn::And(hn::BitCast(d16, hn::LoadU(d8, p)), hn::Set(d16, uint16_t{0x00FF}));
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v,
                      int width, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  int i = 0;
#if HWY_TARGET != HWY_SCALAR
  if (chromaStep == 1 || chromaStep == 2) {
    const ByteTag d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const int N8 = int(hn::Lanes(d8));
    // With interleaved chroma a whole-vector load also reads the byte after the last sample it
    // uses, which exists only when another pixel follows.
    const int readAhead = chromaStep == 2 ? 1 : 0;
    const auto zero = hn::Zero(d8);
    for (; i + N8 + readAhead <= width; i += N8) {
      // Pixel lanes per 128-bit block b: lo = pixels 16b..16b+7, hi = 16b+8..16b+15, which is
      // exactly where the in-block duplication of chroma samples 8b..8b+7 lands.
      const auto y8 = hn::LoadU(d8, y + i);
      const auto yLo = hn::BitCast(d16, hn::InterleaveLower(d8, y8, zero));
      const auto yHi = hn::BitCast(d16, hn::InterleaveUpper(d8, y8, zero));

      const ptrdiff_t c = ptrdiff_t(chromaStep) * (i / 2);
      const auto uc = LoadChroma(d16, u + c, chromaStep);
      const auto vc = LoadChroma(d16, v + c, chromaStep);
      const auto cR = hn::Add(hn::Mul(vc, hn::Set(d16, uint16_t{153})), hn::Set(d16, uint16_t{96}));
      const auto kR = hn::Sub(vc, hn::Set(d16, uint16_t{223}));
      const auto cG = hn::Add(hn::Sub(hn::Mul(vc, hn::Set(d16, uint16_t{48})), hn::Mul(uc, hn::Set(d16, uint16_t{100}))),
                              hn::Set(d16, uint16_t{25568}));
      const auto kG = hn::Sub(hn::Set(d16, uint16_t{36}), vc);
      const auto cB = hn::Add(hn::ShiftLeft<2>(uc), hn::Set(d16, uint16_t{224}));
      const auto kB = hn::Sub(hn::Add(uc, uc), hn::Set(d16, uint16_t{277}));

      const hn::RebindToSigned<decltype(d16)> di16;
      const auto channel = [&](auto yv, auto y42, auto cTerm, auto kTerm) {
        return hn::BitCast(di16, hn::Add(hn::Add(yv, kTerm), hn::ShiftRight<8>(hn::Add(y42, cTerm))));
      };
      const auto k42 = hn::Set(d16, uint16_t{42});
      const auto y42Lo = hn::Mul(yLo, k42);
      const auto y42Hi = hn::Mul(yHi, k42);
      const auto r = PackBytesPerBlock(d8, channel(yLo, y42Lo, hn::InterleaveLower(d16, cR, cR), hn::InterleaveLower(d16, kR, kR)),
                                       channel(yHi, y42Hi, hn::InterleaveUpper(d16, cR, cR), hn::InterleaveUpper(d16, kR, kR)));
      const auto g = PackBytesPerBlock(d8, channel(yLo, y42Lo, hn::InterleaveLower(d16, cG, cG), hn::InterleaveLower(d16, kG, kG)),
                                       channel(yHi, y42Hi, hn::InterleaveUpper(d16, cG, cG), hn::InterleaveUpper(d16, kG, kG)));
      const auto b = PackBytesPerBlock(d8, channel(yLo, y42Lo, hn::InterleaveLower(d16, cB, cB), hn::InterleaveLower(d16, kB, kB)),
                                       channel(yHi, y42Hi, hn::InterleaveUpper(d16, cB, cB), hn::InterleaveUpper(d16, kB, kB)));
      hn::StoreInterleaved3(r, g, b, d8, rgb + 3 * i);
    }
  }
#endif
  Yuv420PixelsScalar(y, u, v, i, width, chromaStep, rgb);
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep, uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
