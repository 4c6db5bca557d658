// Per-target loads of short runs of neighbouring floats, one run per lane, turned into one vector
// per position in the run: lane l of out[k] is p[offset[l] + k]. The sampling kernels read their
// taps this way where the taps of a lane are adjacent, instead of one gather per tap: x86 and
// NEON load each run as one 64- or 128-bit piece and transpose the pieces with in-block
// interleaves. Other targets gather. On the AMD processor measured an AVX2 gather of 8 floats
// costs about 11 cycles; with gathers instead (build with QO_LANE_LOADS_GATHER) the warp took
// 1.7x as long on a smooth grid and grid sampling 1.1x on a random one. SSE4 and NEON would
// emulate the gathers element by element.

// Per-target include guard, toggled by foreach_target.h.
#if defined(QO_COMPUTE_QO_LANE_LOADS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QO_COMPUTE_QO_LANE_LOADS_INL_H_
#undef QO_COMPUTE_QO_LANE_LOADS_INL_H_
#else
#define QO_COMPUTE_QO_LANE_LOADS_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The transposing loads are written for vectors of one or two 128-bit blocks whose
// interleaves work within each block, as on x86 and NEON.
// Building with QO_LANE_LOADS_GATHER gathers everywhere, to measure the alternative.
#undef QO_RUN_LOADS
#if (HWY_ARCH_X86 || HWY_TARGET == HWY_NEON) && HWY_TARGET != HWY_SCALAR && !defined(QO_LANE_LOADS_GATHER)
#define QO_RUN_LOADS 1
#else
#define QO_RUN_LOADS 0
#endif
template <class D>
constexpr bool kRunLoads = QO_RUN_LOADS && (hn::MaxLanes(D()) == 4 || hn::MaxLanes(D()) == 8);

// The int32 value of whole floats in [0, 2^23): adding 2^23 moves them into the low significand
// bits. Two operations where ConvertTo spends five on overflow handling these never need.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> IndexOf(D d, hn::Vec<D> v) {
  const hn::RebindToSigned<D> di;
  return hn::Sub(hn::BitCast(di, hn::Add(v, hn::Set(d, 8388608.0f))), hn::Set(di, 0x4B000000));
}

// first[l] = p[offset[l]], second[l] = p[offset[l] + 1].
template <class D, class V = hn::Vec<D>>
HWY_INLINE void LoadPairs(D d, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT offset, V& first, V& second) {
#if QO_RUN_LOADS
  if constexpr (kRunLoads<D>) {
    const hn::Full128<float> d4;
    const hn::Full64<float> d2;
    const auto pair = [&](int l) { return hn::LoadU(d2, p + offset[l]); };
    V a, b;  // lanes (0, 1 | 4, 5) and (2, 3 | 6, 7) of the pairs, first then second of each
    if constexpr (hn::MaxLanes(D()) == 8) {
      a = hn::Combine(d, hn::Combine(d4, pair(5), pair(4)), hn::Combine(d4, pair(1), pair(0)));
      b = hn::Combine(d, hn::Combine(d4, pair(7), pair(6)), hn::Combine(d4, pair(3), pair(2)));
    } else {
      a = hn::Combine(d4, pair(1), pair(0));
      b = hn::Combine(d4, pair(3), pair(2));
    }
    const V u = hn::InterleaveLower(d, a, b);  // f0 f2 s0 s2 per block
    const V v = hn::InterleaveUpper(d, a, b);  // f1 f3 s1 s3
    first = hn::InterleaveLower(d, u, v);
    second = hn::InterleaveUpper(d, u, v);
    return;
  }
#endif
  {
    const hn::RebindToSigned<D> di;
    const auto index = hn::LoadU(di, offset);
    first = hn::GatherIndex(d, p, index);
    second = hn::GatherIndex(d, p + 1, index);
  }
}

// out[k][l] = p[offset[l] + k] for k in 0..3.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void LoadQuads(D d, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT offset, Held<D> out[4]) {
#if QO_RUN_LOADS
  if constexpr (kRunLoads<D>) {
    const hn::Full128<float> d4;
    const hn::Repartition<uint64_t, D> d64;
    const auto quad = [&](int l) { return hn::LoadU(d4, p + offset[l]); };
    V r[4];  // lane l's run in block 0, lane l + 4's in block 1
    for (int l = 0; l < 4; ++l) {
      if constexpr (hn::MaxLanes(D()) == 8) {
        r[l] = hn::Combine(d, quad(l + 4), quad(l));
      } else {
        r[l] = quad(l);
      }
    }
    // A 4 x 4 transpose within each block.
    const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d, r[0], r[1]));  // a0 b0 a1 b1
    const auto t1 = hn::BitCast(d64, hn::InterleaveLower(d, r[2], r[3]));  // c0 d0 c1 d1
    const auto t2 = hn::BitCast(d64, hn::InterleaveUpper(d, r[0], r[1]));  // a2 b2 a3 b3
    const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d, r[2], r[3]));  // c2 d2 c3 d3
    out[0] = hn::BitCast(d, hn::InterleaveLower(d64, t0, t1));
    out[1] = hn::BitCast(d, hn::InterleaveUpper(d64, t0, t1));
    out[2] = hn::BitCast(d, hn::InterleaveLower(d64, t2, t3));
    out[3] = hn::BitCast(d, hn::InterleaveUpper(d64, t2, t3));
    return;
  }
#endif
  {
    const hn::RebindToSigned<D> di;
    const auto index = hn::LoadU(di, offset);
    for (int k = 0; k < 4; ++k) out[k] = hn::GatherIndex(d, p + k, index);
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
