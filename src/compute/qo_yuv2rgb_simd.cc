// One row of limited-range BT.601 YUV 4:2:0 to RGB24, in integer arithmetic.
//
// Per pixel: C = 298 (Y - 16) + 128, D = U - 128, E = V - 128,
//   R = (C + 409 E) >> 8, G = (C - 208 E - 100 D) >> 8, B = (C + 516 D) >> 8, clamped to 0..255.
// The vector body gets the same floors in 16-bit lanes by splitting each product into a multiple
// of 256, which passes through the shift whole, and a remainder small enough for 16 bits:
//   R = Y + V - 223 + ((42 Y + 96 + 153 V) >> 8)
//   G = Y - V + 36 + ((42 Y + 96 + 48 V - 100 U + 25472) >> 8)
//   B = Y + 2 U - 277 + ((42 Y + 96 + 4 U + 128) >> 8)
// The shifted sums are biased to lie in [0, 65535] (logical shifts), and the results in
// [-277, 534], which the saturating pack to bytes clamps.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_yuv2rgb_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

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
// block b of lo followed by block b of hi.
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
template <int kChromaStep, class D16>
HWY_INLINE hn::Vec<D16> LoadChroma(D16 d16, const uint8_t* HWY_RESTRICT p) {
  if constexpr (kChromaStep == 1) return hn::PromoteTo(d16, hn::LoadU(hn::Rebind<uint8_t, D16>(), p));
  // Every other byte: the low byte of each u16 lane.
  const hn::Repartition<uint8_t, D16> d8;
  return hn::And(hn::BitCast(d16, hn::LoadU(d8, p)), hn::Set(d16, uint16_t{0x00FF}));
}

// Byte shuffles that interleave three per-block packed channels (pixel 2k at byte k, pixel
// 2k + 1 at byte 8 + k of each 16-pixel block) straight into RGB24: kRgbShuffle[v][c][j] is the
// byte of channel c that lands at byte j of output vector v (of the block's 48 bytes), or 0x80.
struct RgbShuffle {
  uint8_t index[3][3][16];
};

constexpr RgbShuffle MakeRgbShuffle() {
  RgbShuffle t{};
  for (int v = 0; v < 3; ++v) {
    for (int c = 0; c < 3; ++c) {
      for (int j = 0; j < 16; ++j) {
        const int byte = 16 * v + j, pixel = byte / 3;
        t.index[v][c][j] = byte % 3 == c ? uint8_t(pixel % 2 == 0 ? pixel / 2 : 8 + pixel / 2) : uint8_t{0x80};
      }
    }
  }
  return t;
}

alignas(16) constexpr RgbShuffle kRgbShuffle = MakeRgbShuffle();

// Writes the pixels of r, g, b (per-block even/odd order as above) as RGB24. One or two blocks
// interleave with nine byte shuffles and, for two, three half swaps; wider vectors put the
// channels in pixel order first and take the generic interleave.
template <class D8>
HWY_INLINE void StoreRgbFromEvenOdd(D8 d8, hn::Vec<D8> r, hn::Vec<D8> g, hn::Vec<D8> b, uint8_t* HWY_RESTRICT out) {
  if constexpr (hn::MaxLanes(d8) <= 32) {
    Held<D8> part[3];
    for (int v = 0; v < 3; ++v) {
      part[v] = hn::Or(hn::Or(hn::TableLookupBytesOr0(r, hn::LoadDup128(d8, kRgbShuffle.index[v][0])),
                              hn::TableLookupBytesOr0(g, hn::LoadDup128(d8, kRgbShuffle.index[v][1]))),
                       hn::TableLookupBytesOr0(b, hn::LoadDup128(d8, kRgbShuffle.index[v][2])));
    }
    if constexpr (hn::MaxLanes(d8) == 16) {
      for (int v = 0; v < 3; ++v) hn::StoreU(Get(part[v]), d8, out + 16 * v);
    } else {
      // Memory order of the two blocks' parts: A0 B0 C0 A1 B1 C1.
      hn::StoreU(hn::ConcatLowerLower(d8, Get(part[1]), Get(part[0])), d8, out);
      hn::StoreU(hn::ConcatUpperLower(d8, Get(part[0]), Get(part[2])), d8, out + 32);
      hn::StoreU(hn::ConcatUpperUpper(d8, Get(part[2]), Get(part[1])), d8, out + 64);
    }
  } else {
    alignas(16) static constexpr uint8_t kEvenOdd[16] = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};
    const auto evenOdd = hn::LoadDup128(d8, kEvenOdd);
    hn::StoreInterleaved3(hn::TableLookupBytes(r, evenOdd), hn::TableLookupBytes(g, evenOdd),
                          hn::TableLookupBytes(b, evenOdd), d8, out);
  }
}

// Pixels from 0 on in whole vectors; returns the first pixel left for the scalar tail.
//
// Each u16 lane holds a pixel pair 2k, 2k + 1, which shares chroma sample k: the even pixels
// are the low bytes, the odd ones the high bytes, and chroma needs no duplication. A pack per
// 128-bit block leaves each channel's bytes in even/odd order, which the RGB interleave undoes.
template <int kChromaStep>
int Yuv420Vectors(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v,
                  int width, uint8_t* HWY_RESTRICT rgb) {
  const ByteTag d8;
  const hn::Repartition<uint16_t, decltype(d8)> d16;
  const hn::RebindToSigned<decltype(d16)> di16;
  const int N8 = int(hn::Lanes(d8));
  // With interleaved chroma a whole-vector load also reads the byte after the last sample it
  // uses, which exists only when another pixel follows.
  constexpr int kReadAhead = kChromaStep == 2 ? 1 : 0;
  // Read through a volatile so that the compiler keeps these as opaque vector constants: left
  // visible, it expands the multiplies into shift-add chains and rebuilds broadcasts inside the
  // loop, which costs a third of the throughput.
  static volatile const uint16_t kCoefficients[] = {42, 96, 153, 223, 48, 100, 25472, 36, 128, 277, 0xFF};
  const auto coefficient = [&](int index) { return hn::Set(d16, uint16_t(kCoefficients[index])); };
  const auto k42 = coefficient(0), k96 = coefficient(1), k153 = coefficient(2), k223 = coefficient(3);
  const auto k48 = coefficient(4), k100 = coefficient(5), k25472 = coefficient(6), k36 = coefficient(7);
  const auto k128 = coefficient(8), k277 = coefficient(9), kLowByte = coefficient(10);
  const auto channel = [&](auto yv, auto y42, auto cTerm, auto kTerm) {
    return hn::BitCast(di16, hn::Add(hn::Add(yv, kTerm), hn::ShiftRight<8>(hn::Add(y42, cTerm))));
  };
  int i = 0;
  for (; i + N8 + kReadAhead <= width; i += N8) {
    const auto pairs = hn::BitCast(d16, hn::LoadU(d8, y + i));
    const auto yEven = hn::And(pairs, kLowByte);
    const auto yOdd = hn::ShiftRight<8>(pairs);
    const auto y42Even = hn::Add(hn::Mul(yEven, k42), k96);  // 42 Y + 96: shared by the channels
    const auto y42Odd = hn::Add(hn::Mul(yOdd, k42), k96);

    const ptrdiff_t c = ptrdiff_t(kChromaStep) * (i / 2);
    const auto uc = LoadChroma<kChromaStep>(d16, u + c);
    const auto vc = LoadChroma<kChromaStep>(d16, v + c);
    const auto cR = hn::Mul(vc, k153);
    const auto kR = hn::Sub(vc, k223);
    const auto cG = hn::Add(hn::Sub(hn::Mul(vc, k48), hn::Mul(uc, k100)), k25472);
    const auto kG = hn::Sub(k36, vc);
    const auto cB = hn::Add(hn::ShiftLeft<2>(uc), k128);
    const auto kB = hn::Sub(hn::Add(uc, uc), k277);

    const auto bytes = [&](auto cTerm, auto kTerm) {
      return PackBytesPerBlock(d8, channel(yEven, y42Even, cTerm, kTerm), channel(yOdd, y42Odd, cTerm, kTerm));
    };
    StoreRgbFromEvenOdd(d8, bytes(cR, kR), bytes(cG, kG), bytes(cB, kB), rgb + 3 * i);
  }
  return i;
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v,
                      int width, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  int i = 0;
#if HWY_TARGET != HWY_SCALAR
  if (chromaStep == 1) i = Yuv420Vectors<1>(y, u, v, width, rgb);
  if (chromaStep == 2) i = Yuv420Vectors<2>(y, u, v, width, rgb);
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
