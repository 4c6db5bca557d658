// 3 x 3 and 1 x 1 convolutions over channel-last fp16 maps with a one-pixel zero border, the
// arithmetic in float. Lanes hold neighbouring output channels: each input value is broadcast
// once per block of four output pixels and multiplied into up to three vectors of output
// channels, which keeps twelve independent accumulators in flight. The input rows a band needs
// are widened once into a three-row float ring per thread, so the inner loop is loads, broadcasts
// and fused multiply-adds only.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "compute/qo_convf16.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_convf16_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/qo_count_dispatch-inl.h"
#include "compute/qo_half-inl.h"
#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// Channel vectors of a compile-time lane count that divides 8 (stored channels are multiples of 8).
#if HWY_ARCH_X86
using D = hn::CappedTag<float, 8>;
#else
using D = hn::FixedTag<float, 4>;
#endif
constexpr int kLanes = int(hn::MaxLanes(D()));
constexpr int kPixels = 4;

template <int NP, int NV>
HWY_INLINE void Block(D d, const float* const* rows, const simd::ConvF16Layer& L, int x, int v0,
                      uint16_t* HWY_RESTRICT outRow) {
  const int cin = L.cin, cout = L.cout;
  Held<D> acc[NP][NV];
  for (int i = 0; i < NV; ++i) {
    const auto b = hn::LoadU(d, L.bias + (v0 + i) * kLanes);
    for (int p = 0; p < NP; ++p) acc[p][i] = b;
  }
  for (int t = 0; t < L.taps; ++t) {
    const int ky = L.taps == 1 ? 1 : t / 3, kx = L.taps == 1 ? 1 : t % 3;
    const float* HWY_RESTRICT in = rows[ky] + ptrdiff_t(x + kx) * cin;
    const float* HWY_RESTRICT w = L.weights + ptrdiff_t(t) * cin * cout + v0 * kLanes;
    for (int ci = 0; ci < cin; ++ci) {
      Held<D> wv[NV];
      for (int i = 0; i < NV; ++i) wv[i] = hn::LoadU(d, w + ptrdiff_t(ci) * cout + i * kLanes);
      for (int p = 0; p < NP; ++p) {
        const auto v = hn::Set(d, in[p * cin + ci]);
        for (int i = 0; i < NV; ++i) acc[p][i] = hn::MulAdd(Get(wv[i]), v, Get(acc[p][i]));
      }
    }
  }
  for (int p = 0; p < NP; ++p) {
    for (int i = 0; i < NV; ++i) {
      hn::Vec<D> v = acc[p][i];
      if (L.relu) v = hn::Max(v, hn::Zero(d));
      StoreAsHalves(d, v, outRow + ptrdiff_t(x + 1 + p) * cout + (v0 + i) * kLanes);
    }
  }
}

template <int NV>
void Row(D d, const float* const* rows, const simd::ConvF16Layer& L, int width, int v0, uint16_t* outRow) {
  int x = 0;
  for (; x + kPixels <= width; x += kPixels) Block<kPixels, NV>(d, rows, L, x, v0, outRow);
  for (; x < width; ++x) Block<1, NV>(d, rows, L, x, v0, outRow);
}

void WidenRow(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const D d;
  for (size_t i = 0; i < n; i += kLanes) hn::StoreU(LoadHalvesForArithmetic(d, src + i), d, dst + i);
}

}  // namespace

void ConvF16Rows(const simd::ConvF16Layer& L, const simd::ConvF16Maps& m, int y0, int y1, float* stage) {
  const D d;
  const int W = m.width;
  const size_t rowIn = size_t(W + 2) * size_t(L.cin);
  const size_t rowOut = size_t(W + 2) * size_t(L.cout);
  const auto slot = [&](int r) { return stage + size_t(r % 3) * rowIn; };
  const auto widen = [&](int r) { WidenRow(m.in + size_t(r) * rowIn, slot(r), rowIn); };
  const bool wide = L.taps == 9;
  if (wide && y0 < y1) {
    widen(y0);
    widen(y0 + 1);
  }
  const int vectors = L.cout / kLanes;
  for (int y = y0; y < y1; ++y) {  // output row y reads padded input rows y .. y + 2
    if (wide) widen(y + 2);
    else widen(y + 1);
    const float* rows[3] = {slot(y), slot(y + 1), slot(y + 2)};
    uint16_t* outRow = m.out + size_t(y + 1) * rowOut;
    for (int v0 = 0; v0 < vectors;) {
      const int left = vectors - v0;
      const int nv = left == 4 ? 2 : std::min(left, 3);  // 4 goes as 2 + 2, not 3 + 1
      if (nv == 3) Row<3>(d, rows, L, W, v0, outRow);
      else if (nv == 2) Row<2>(d, rows, L, W, v0, outRow);
      else Row<1>(d, rows, L, W, v0, outRow);
      v0 += nv;
    }
  }
}

// NB consecutive blocks of 8 columns for NF frames: every basis value loaded serves each frame and
// every broadcast coefficient each block, with NF x NB independent sums in flight (one sum per
// frame waited on its own latency each row, at half the rate the memory streams the basis).
// Each column still sums over j in order from zero, so the bits are those of one frame at a time.
template <int NF, int NB>
HWY_INLINE void BasisBlocks(D d, const float* HWY_RESTRICT coef, int k, const float* HWY_RESTRICT blocks,
                            float* const* out, size_t c) {
  constexpr int kPer = 8 / kLanes;  // vectors per 8-column block
  Held<D> acc[NF][NB * kPer];
  for (int f = 0; f < NF; ++f)
    for (int i = 0; i < NB * kPer; ++i) acc[f][i] = hn::Zero(d);
  const ptrdiff_t stride = ptrdiff_t(k) * 8;  // floats from one block to the next
  for (int j = 0; j < k; ++j) {
    if (j % 2 == 0)  // the next pass's blocks, a line at a time: the stream outruns the prefetchers
      for (int i = 0; i < NB; ++i) __builtin_prefetch(blocks + (i + NB) * stride + j * 8);
    Held<D> b[NB * kPer];
    for (int i = 0; i < NB * kPer; ++i) b[i] = hn::LoadU(d, blocks + i / kPer * stride + j * 8 + i % kPer * kLanes);
    for (int f = 0; f < NF; ++f) {
      const hn::Vec<D> w = hn::Set(d, coef[f * k + j]);
      for (int i = 0; i < NB * kPer; ++i) acc[f][i] = hn::MulAdd(w, Get(b[i]), Get(acc[f][i]));
    }
  }
  for (int f = 0; f < NF; ++f)
    for (int i = 0; i < NB * kPer; ++i)
      hn::StoreU(Get(acc[f][i]), d, out[f] + c + size_t(i / kPer * 8 + i % kPer * kLanes));
}

template <int NF>
HWY_INLINE void BasisFrames(const float* HWY_RESTRICT coef, int k, const float* HWY_RESTRICT basis, size_t c0,
                            size_t c1, float* const* out) {
  // Blocks per pass: as many sums in flight as the registers hold beside the loaded row (more
  // blocks, more streams ahead of the loads), at most eight.
  constexpr int kWidth = 8 / kLanes, kRegisters = HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3 ? 16 : 32;
  constexpr int kBlocks = std::max(1, std::min(8, (kRegisters - 2) / ((NF + 1) * kWidth)));
  const D d;
  for (size_t c = c0; c < c1; c += size_t(kBlocks) * 8) {
    const int left = int(std::min<size_t>(kBlocks, (c1 - c) / 8));
    const float* blocks = basis + c / 8 * size_t(k) * 8;
    WithCount<kBlocks>(left, [&](auto nb) { BasisBlocks<NF, nb()>(d, coef, k, blocks, out, c); });
  }
}

void BasisColumns(const float* HWY_RESTRICT coef, int k, const float* HWY_RESTRICT basis, size_t c0, size_t c1,
                  float* const* out, int frames) {
  switch (frames) {
    case 1: return BasisFrames<1>(coef, k, basis, c0, c1, out);
    case 2: return BasisFrames<2>(coef, k, basis, c0, c1, out);
    case 3: return BasisFrames<3>(coef, k, basis, c0, c1, out);
    case 4: return BasisFrames<4>(coef, k, basis, c0, c1, out);
    default: return;
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qo::simd {

HWY_EXPORT(ConvF16Rows);
HWY_EXPORT(BasisColumns);

void convF16Rows(const ConvF16Layer& layer, const ConvF16Maps& maps, int y0, int y1, float* stage) {
  HWY_DYNAMIC_DISPATCH(ConvF16Rows)(layer, maps, y0, y1, stage);
}

void basisColumns(const float* coef, int k, const float* basis, size_t c0, size_t c1, float* const* out,
                  int frames) {
  HWY_DYNAMIC_DISPATCH(BasisColumns)(coef, k, basis, c0, c1, out, frames);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
