// Softmax across planes, lanes holding neighbouring pixels; the tail pixels run the same code on
// one lane, so they get the bits a full vector would give them.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_softmax_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// exp(x) for x <= 0: x = n ln2 + r with |r| <= ln2 / 2 (ln 2 in two parts, so r is nearly
// exact), e^r by its degree-6 expansion, times 2^n built in the exponent bits.
template <class D>
HWY_INLINE hn::Vec<D> ExpNonPositive(D d, hn::Vec<D> x) {
  const hn::RebindToSigned<D> di;
  x = hn::Max(x, hn::Set(d, -87.3f));
  const auto n = hn::Floor(hn::Add(hn::Mul(x, hn::Set(d, 1.44269504088896341f)), hn::Set(d, 0.5f)));
  auto r = hn::Sub(x, hn::Mul(n, hn::Set(d, 0.693359375f)));
  r = hn::Sub(r, hn::Mul(n, hn::Set(d, -2.12194440e-4f)));
  auto p = hn::Set(d, 1.9875691500e-4f);
  p = hn::Add(hn::Mul(p, r), hn::Set(d, 1.3981999507e-3f));
  p = hn::Add(hn::Mul(p, r), hn::Set(d, 8.3334519073e-3f));
  p = hn::Add(hn::Mul(p, r), hn::Set(d, 4.1665795894e-2f));
  p = hn::Add(hn::Mul(p, r), hn::Set(d, 1.6666665459e-1f));
  p = hn::Add(hn::Mul(p, r), hn::Set(d, 5.0000001201e-1f));
  const auto e = hn::Add(hn::Add(hn::Mul(p, hn::Mul(r, r)), r), hn::Set(d, 1.0f));
  const auto scale = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, n), hn::Set(di, 127))));
  return hn::Mul(e, scale);
}

template <class D>
HWY_INLINE void Pixels(D d, float* HWY_RESTRICT planes, size_t n, size_t stride, size_t p) {
  auto m = hn::Set(d, -1e30f);
  for (size_t k = 0; k < n; ++k) m = hn::Max(m, hn::LoadU(d, planes + k * stride + p));
  auto sum = hn::Zero(d);
  for (size_t k = 0; k < n; ++k) {
    float* v = planes + k * stride + p;
    const auto e = ExpNonPositive(d, hn::Sub(hn::LoadU(d, v), m));
    hn::StoreU(e, d, v);
    sum = hn::Add(sum, e);
  }
  for (size_t k = 0; k < n; ++k) {
    float* v = planes + k * stride + p;
    hn::StoreU(hn::Div(hn::LoadU(d, v), sum), d, v);
  }
}

}  // namespace

void SoftmaxPlanes(float* HWY_RESTRICT planes, size_t n, size_t stride, size_t begin, size_t end) {
  const hn::ScalableTag<float> d;
  const size_t L = hn::Lanes(d);
  size_t p = begin;
  for (; p + L <= end; p += L) Pixels(d, planes, n, stride, p);
  for (; p < end; ++p) Pixels(hn::CappedTag<float, 1>(), planes, n, stride, p);
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_softmax.h"

namespace qo::simd {

HWY_EXPORT(SoftmaxPlanes);

void softmaxPlanes(float* planes, size_t n, size_t stride, size_t begin, size_t end) {
  HWY_DYNAMIC_DISPATCH(SoftmaxPlanes)(planes, n, stride, begin, end);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
