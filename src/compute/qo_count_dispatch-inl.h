// A run-time count in [1, N] turned into a compile-time one, for kernels unrolled over a number of
// blocks or vectors: WithCount<N>(n, f) calls f(std::integral_constant<int, n>()).

// Per-target include guard, toggled by foreach_target.h.
#if defined(QO_COMPUTE_QO_COUNT_DISPATCH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QO_COMPUTE_QO_COUNT_DISPATCH_INL_H_
#undef QO_COMPUTE_QO_COUNT_DISPATCH_INL_H_
#else
#define QO_COMPUTE_QO_COUNT_DISPATCH_INL_H_
#endif

#include <type_traits>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {

template <int N, class F>
HWY_INLINE void WithCount(int n, const F& f) {
  if constexpr (N > 1) {
    if (n < N) return WithCount<N - 1>(n, f);
  }
  f(std::integral_constant<int, N>());
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
