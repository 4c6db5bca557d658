// Vectors as array elements and struct members. SVE's vector types are sizeless: C++ allows them
// neither in arrays nor as members. On those targets Held<D> keeps the lanes in memory and converts
// to and from hn::Vec<D> on use (Highway's SVE ops are plain overloads, so the conversions apply);
// everywhere else it is hn::Vec<D> itself, so those targets compile exactly as before.

// Per-target include guard, toggled by foreach_target.h.
#if defined(QO_COMPUTE_QO_HELD_VEC_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QO_COMPUTE_QO_HELD_VEC_INL_H_
#undef QO_COMPUTE_QO_HELD_VEC_INL_H_
#else
#define QO_COMPUTE_QO_HELD_VEC_INL_H_
#endif

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_HAVE_SCALABLE
template <class D>
class Held {
 public:
  Held() = default;
  HWY_INLINE Held(hn::Vec<D> v) { hn::StoreU(v, D(), lanes_); }  // NOLINT: converts like the vector it holds
  HWY_INLINE operator hn::Vec<D>() const { return hn::LoadU(D(), lanes_); }

 private:
  hn::TFromD<D> lanes_[hn::MaxLanes(D())];
};
// The vector, for calls into templates, which do not convert.
template <class D>
HWY_INLINE hn::Vec<D> Get(const Held<D>& v) {
  return v;
}
#else
template <class D>
using Held = hn::Vec<D>;
template <class V>
HWY_INLINE V Get(V v) {
  return v;
}
#endif

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
