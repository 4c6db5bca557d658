// Appearance distances between two planar 3-channel binary16 images, reproducing a
// half-precision network step by step: per element
//   d_c = |h(a_c - b_c)|,  m = h((d_0 + d_1 + d_2) / 3)
// where h rounds to binary16 and back. The pooled term sums h(w m) for half weights; the exact
// terms sum w m for float weights, skipping zero weights.
//
// Vectors compute the per-element terms; the sum itself runs lane by lane in element order,
// since that order fixes the result's bits.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_retrieve_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_half-inl.h"
#include "compute/qo_half_bits.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

HWY_INLINE float HalfValue(uint16_t h) { return std::bit_cast<float>(halfbits::toFloat(h)); }

HWY_INLINE float RoundToHalfScalar(float x) {
  return std::bit_cast<float>(halfbits::toFloat(halfbits::fromFloat(std::bit_cast<uint32_t>(x))));
}

HWY_INLINE float ChannelDistanceScalar(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b, size_t n,
                                       size_t i) {
  const float d0 = std::fabs(RoundToHalfScalar(HalfValue(a[i]) - HalfValue(b[i])));
  const float d1 = std::fabs(RoundToHalfScalar(HalfValue(a[n + i]) - HalfValue(b[n + i])));
  const float d2 = std::fabs(RoundToHalfScalar(HalfValue(a[2 * n + i]) - HalfValue(b[2 * n + i])));
  return RoundToHalfScalar((d0 + d1 + d2) / 3.0f);
}

template <class DF>
HWY_INLINE hn::Vec<DF> ChannelDistance(DF df, const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                                       size_t n, size_t i) {
  const auto channel = [&](size_t c) {
    const auto diff = hn::Sub(LoadHalvesForArithmetic(df, a + c * n + i), LoadHalvesForArithmetic(df, b + c * n + i));
    return hn::Abs(RoundToHalf(df, diff));
  };
  const auto d0 = channel(0);
  const auto d1 = channel(1);
  const auto d2 = channel(2);
  return RoundToHalf(df, hn::Div(hn::Add(hn::Add(d0, d1), d2), hn::Set(df, 3.0f)));
}

// Adds the lanes of v to sum in lane order.
template <class DF>
HWY_INLINE float AddLanesInOrder(DF df, hn::Vec<DF> v, float sum) {
  alignas(64) float lanes[hn::MaxLanes(df)];
  hn::Store(v, df, lanes);
  for (size_t j = 0; j < hn::Lanes(df); ++j) sum = sum + lanes[j];
  return sum;
}

}  // namespace

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  float sum = 0.0f;
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto m = ChannelDistance(df, a, b, n, i);
    sum = AddLanesInOrder(df, RoundToHalf(df, hn::Mul(LoadHalvesForArithmetic(df, w + i), m)), sum);
  }
  for (; i < n; ++i) sum = sum + RoundToHalfScalar(HalfValue(w[i]) * ChannelDistanceScalar(a, b, n, i));
  return sum;
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  float sum = 0.0f;
  size_t i = begin;
  for (; i + N <= end; i += N) {
    const auto wv = hn::LoadU(df, w + i);
    const auto skipped = hn::Eq(wv, hn::Zero(df));
    if (hn::AllTrue(df, skipped)) continue;
    // A skipped lane adds +0, which leaves the sum as it is: starting from +0, the sum can
    // never become -0.
    const auto terms = hn::IfThenZeroElse(skipped, hn::Mul(wv, ChannelDistance(df, a, b, n, i)));
    sum = AddLanesInOrder(df, terms, sum);
  }
  for (; i < end; ++i) {
    if (w[i] != 0.0f) sum = sum + w[i] * ChannelDistanceScalar(a, b, n, i);
  }
  return sum;
}

float RetrieveTermExact(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT w,
                        size_t n) {
  return RetrieveTermExactRange(a, b, w, n, 0, n);
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExact);
HWY_EXPORT(RetrieveTermExactRange);

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExact)(a, b, w, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
