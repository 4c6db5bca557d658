// Unrolled by four vectors: the tap sums are independent per lane, so four accumulators keep
// the adder busy without changing any lane's order.
#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/qo_paste_blur.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace qo::paste::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

inline float clamp255(float v) { return !(v > 0.0f) ? 0.0f : v > 255.0f ? 255.0f : v; }

}  // namespace

void GaussRow(const float* HWY_RESTRICT src, const float* HWY_RESTRICT g, int taps, float* HWY_RESTRICT dst,
              size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + 4 * N <= n; x += 4 * N) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    for (int k = 0; k < taps; ++k) {
      const auto w = hn::Set(d, g[k]);
      const float* HWY_RESTRICT s = src + x + size_t(k);
      a0 = hn::Add(a0, hn::Mul(w, hn::LoadU(d, s)));
      a1 = hn::Add(a1, hn::Mul(w, hn::LoadU(d, s + N)));
      a2 = hn::Add(a2, hn::Mul(w, hn::LoadU(d, s + 2 * N)));
      a3 = hn::Add(a3, hn::Mul(w, hn::LoadU(d, s + 3 * N)));
    }
    hn::StoreU(a0, d, dst + x);
    hn::StoreU(a1, d, dst + x + N);
    hn::StoreU(a2, d, dst + x + 2 * N);
    hn::StoreU(a3, d, dst + x + 3 * N);
  }
  for (; x < n; ++x) {
    float acc = 0.0f;
    for (int k = 0; k < taps; ++k) acc = acc + g[k] * src[x + size_t(k)];
    dst[x] = acc;
  }
}

void GaussColumnSharpen(const float* HWY_RESTRICT rows, size_t stride, const float* HWY_RESTRICT g, int taps,
                        float gain, float amount, float* HWY_RESTRICT row, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vGain = hn::Set(d, gain), vAmount = hn::Set(d, amount);
  const auto lo = hn::Zero(d), hi = hn::Set(d, 255.0f);
  const auto sharpen = [&](hn::Vec<decltype(d)> blur, size_t at) {
    const auto v = hn::Sub(hn::Mul(hn::LoadU(d, row + at), vGain), hn::Mul(blur, vAmount));
    hn::StoreU(hn::Min(hn::Max(v, lo), hi), d, row + at);
  };
  size_t x = 0;
  for (; x + 4 * N <= n; x += 4 * N) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    for (int k = 0; k < taps; ++k) {
      const auto w = hn::Set(d, g[k]);
      const float* HWY_RESTRICT s = rows + size_t(k) * stride + x;
      a0 = hn::Add(a0, hn::Mul(w, hn::LoadU(d, s)));
      a1 = hn::Add(a1, hn::Mul(w, hn::LoadU(d, s + N)));
      a2 = hn::Add(a2, hn::Mul(w, hn::LoadU(d, s + 2 * N)));
      a3 = hn::Add(a3, hn::Mul(w, hn::LoadU(d, s + 3 * N)));
    }
    sharpen(a0, x);
    sharpen(a1, x + N);
    sharpen(a2, x + 2 * N);
    sharpen(a3, x + 3 * N);
  }
  for (; x < n; ++x) {
    float blur = 0.0f;
    for (int k = 0; k < taps; ++k) blur = blur + g[k] * rows[size_t(k) * stride + x];
    row[x] = clamp255(row[x] * gain - blur * amount);
  }
}

void InterleaveRow(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b,
                   float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    hn::StoreInterleaved4(hn::LoadU(d, r + x), hn::LoadU(d, g + x), hn::LoadU(d, b + x), zero, d, out + 4 * x);
  }
  for (; x < n; ++x) {
    out[4 * x] = r[x];
    out[4 * x + 1] = g[x];
    out[4 * x + 2] = b[x];
    out[4 * x + 3] = 0.0f;
  }
}

}  // namespace qo::paste::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "paste/qo_paste_blur.h"

namespace qo::paste {

HWY_EXPORT(GaussRow);
HWY_EXPORT(GaussColumnSharpen);
HWY_EXPORT(InterleaveRow);

void gaussRow(const float* src, const float* g, int taps, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(GaussRow)(src, g, taps, dst, n);
}

void gaussColumnSharpen(const float* rows, size_t stride, const float* g, int taps, float gain, float amount, float* row,
                        size_t n) {
  HWY_DYNAMIC_DISPATCH(GaussColumnSharpen)(rows, stride, g, taps, gain, amount, row, n);
}

void interleaveRow(const float* r, const float* g, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(InterleaveRow)(r, g, b, out, n);
}

}  // namespace qo::paste
#endif  // HWY_ONCE
