// Unrolled over several vectors: the tap sums are independent per lane, so several accumulators
// keep the adder busy without changing any lane's order.
#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/qo_paste_blur.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::paste::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using qo::simd::HWY_NAMESPACE::Get;
using qo::simd::HWY_NAMESPACE::Held;

namespace {

inline float clamp255(float v) { return !(v > 0.0f) ? 0.0f : v > 255.0f ? 255.0f : v; }

}  // namespace

void ScaleRow(const float* HWY_RESTRICT src, float scale, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto v = hn::Set(d, scale);
  size_t x = 0;
  for (; x + N <= n; x += N) hn::StoreU(hn::Mul(hn::LoadU(d, src + x), v), d, dst + x);
  for (; x < n; ++x) dst[x] = src[x] * scale;
}

void GaussRow(const float* HWY_RESTRICT src, const float* HWY_RESTRICT g, int taps, float* HWY_RESTRICT dst,
              size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  constexpr size_t kChains = 8;
  size_t x = 0;
  for (; x + kChains * N <= n; x += kChains * N) {
    Held<decltype(d)> a[kChains];
    for (size_t c = 0; c < kChains; ++c) a[c] = hn::Zero(d);
    for (int k = 0; k < taps; ++k) {
      const auto w = hn::Set(d, g[k]);
      const float* HWY_RESTRICT s = src + x + size_t(k);
      for (size_t c = 0; c < kChains; ++c) a[c] = hn::Add(a[c], hn::Mul(w, hn::LoadU(d, s + c * N)));
    }
    for (size_t c = 0; c < kChains; ++c) hn::StoreU(Get(a[c]), d, dst + x + c * N);
  }
  for (; x + N <= n; x += N) {
    auto a = hn::Zero(d);
    for (int k = 0; k < taps; ++k) a = hn::Add(a, hn::Mul(hn::Set(d, g[k]), hn::LoadU(d, src + x + size_t(k))));
    hn::StoreU(a, d, dst + x);
  }
  for (; x < n; ++x) {
    float acc = 0.0f;
    for (int k = 0; k < taps; ++k) acc = acc + g[k] * src[x + size_t(k)];
    dst[x] = acc;
  }
}

// Three channels per step, two vectors each: six independent tap chains.
void SharpenInterleaveRow(const float* const* HWY_RESTRICT rows, const float* HWY_RESTRICT g, int taps,
                          const float* const* HWY_RESTRICT crop, float scale, float gain, float amount,
                          float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vScale = hn::Set(d, scale), vGain = hn::Set(d, gain), vAmount = hn::Set(d, amount);
  const auto lo = hn::Zero(d), hi = hn::Set(d, 255.0f);
  const float* const* HWY_RESTRICT rowsOf[3] = {rows, rows + taps, rows + 2 * taps};
  const auto sharpen = [&](int c, hn::Vec<decltype(d)> blur, size_t at) {
    const auto v = hn::Mul(hn::LoadU(d, crop[c] + at), vScale);
    return hn::Min(hn::Max(hn::Sub(hn::Mul(v, vGain), hn::Mul(blur, vAmount)), lo), hi);
  };
  size_t x = 0;
  for (; x + 2 * N <= n; x += 2 * N) {
    Held<decltype(d)> a[3][2];
    for (int c = 0; c < 3; ++c) a[c][0] = a[c][1] = hn::Zero(d);
    for (int k = 0; k < taps; ++k) {
      const auto w = hn::Set(d, g[k]);
      for (int c = 0; c < 3; ++c) {
        const float* HWY_RESTRICT s = rowsOf[c][k] + x;
        a[c][0] = hn::Add(a[c][0], hn::Mul(w, hn::LoadU(d, s)));
        a[c][1] = hn::Add(a[c][1], hn::Mul(w, hn::LoadU(d, s + N)));
      }
    }
    for (size_t half = 0; half < 2; ++half) {
      const size_t at = x + half * N;
      hn::StoreInterleaved4(sharpen(0, a[0][half], at), sharpen(1, a[1][half], at), sharpen(2, a[2][half], at), lo, d,
                            out + 4 * at);
    }
  }
  for (; x < n; ++x) {
    for (int c = 0; c < 3; ++c) {
      float blur = 0.0f;
      for (int k = 0; k < taps; ++k) blur = blur + g[k] * rowsOf[c][k][x];
      out[4 * x + size_t(c)] = clamp255((crop[c][x] * scale) * gain - blur * amount);
    }
    out[4 * x + 3] = 0.0f;
  }
}

}  // namespace qo::paste::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "paste/qo_paste_blur.h"

namespace qo::paste {

HWY_EXPORT(ScaleRow);
HWY_EXPORT(GaussRow);
HWY_EXPORT(SharpenInterleaveRow);

void scaleRow(const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleRow)(src, scale, dst, n);
}

void gaussRow(const float* src, const float* g, int taps, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(GaussRow)(src, g, taps, dst, n);
}

void sharpenInterleaveRow(const float* const* rows, const float* g, int taps, const float* const* crop, float scale,
                          float gain, float amount, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(SharpenInterleaveRow)(rows, g, taps, crop, scale, gain, amount, out, n);
}

}  // namespace qo::paste
#endif  // HWY_ONCE
