// The int8 convolution's vector parts: the input range, the quantisation into per-pixel rows, and
// the int32 accumulation of one output row.
//
// Accumulation multiplies 16-bit values pairwise into 32-bit sums (one multiply-add instruction
// per 16 products on x86): a uint8 times an int8 needs 16 bits, and a pair of them (at most
// 2 * 255 * 128) fits an int32 lane without saturating, so every target returns the same exact
// sums. The 8-bit byte-pair multiply would saturate its 16-bit pair sums at 2 * 255 * 127 and is
// not used.
//
// Vector lanes hold output channels: one 32-bit lane per channel carries the weights of two
// neighbouring input channels, and the matching two input values are broadcast to every lane.
// Each input row a job needs is first widened to 16 bits with zero columns in the padding, so the
// inner loop runs over every tap without tests and an outside tap adds nothing.
//
// Where the CPU has AVX-512 VNNI, one byte dot-product instruction multiplies four uint8 inputs by
// four int8 weights per lane and adds the four products (each fits 16 bits, the sum 18) to the
// int32 lane without saturating: the same exact sums from bytes, at twice the products per
// instruction. That path packs the weights as bytes, four input channels per lane, and keeps the
// input rows as bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_int8conv_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/qo_held_vec-inl.h"

#include "qo/qo_simd.h"

#ifndef QO_INT8_DOT
#if HWY_ARCH_X86_64 && (defined(__clang__) || defined(__GNUC__))
#define QO_INT8_DOT 1
#include <immintrin.h>
#else
#define QO_INT8_DOT 0
#endif
#endif

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kBlock = kInt8ConvChannelBlock;  // output channels per packed block

// Widens the input rows of output row oh (the in-image ones) into scratch, zero outside the
// image columns; rows[k] is the widened row of tap row kh = rowTap[k].
int WidenRows(const Int8ConvGeometry& g, const uint8_t* HWY_RESTRICT q, int oh, int16_t* HWY_RESTRICT scratch,
              const int16_t** rows, int* rowTap) {
  const int cp = g.channels;
  const size_t rowLen = size_t(g.paddedWidth) * size_t(cp);
  int n = 0;
  for (int kh = 0; kh < g.kernelH; ++kh) {
    const int ih = oh * g.strideH + kh * g.dilationH - g.padTop;
    if (ih < 0 || ih >= g.height) continue;
    int16_t* HWY_RESTRICT dst = scratch + size_t(n) * rowLen;
    const int left = std::min(g.padLeft, g.paddedWidth);
    const int inside = std::max(0, std::min(g.width, g.paddedWidth - g.padLeft));
    std::memset(dst, 0, size_t(left) * cp * sizeof(int16_t));
    const uint8_t* HWY_RESTRICT src = q + size_t(ih) * size_t(g.width) * cp;
    int16_t* HWY_RESTRICT mid = dst + size_t(left) * cp;
    const size_t count = size_t(inside) * cp;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::CappedTag<int16_t, 16> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const size_t L = hn::Lanes(d16);
    for (; i + L <= count; i += L) hn::StoreU(hn::PromoteTo(d16, hn::LoadU(d8, src + i)), d16, mid + i);
#endif
    for (; i < count; ++i) mid[i] = int16_t(src[i]);
    const int right = g.paddedWidth - left - inside;
    if (right > 0) std::memset(mid + count, 0, size_t(right) * cp * sizeof(int16_t));
    rows[n] = dst;
    rowTap[n] = kh;
    ++n;
  }
  return n;
}

struct RowJob {
  const Int8ConvGeometry* g;
  const int16_t* const* rows;
  const int* rowTap;
  int rowCount;
  const int16_t* weights;  // packed
  size_t blockStride;      // int16 values per packed block
  int32_t* acc;            // [outWidth][blocks * kBlock]
};

#if HWY_TARGET == HWY_SCALAR

void AccumulateRow(const RowJob& j) {
  const Int8ConvGeometry& g = *j.g;
  const int cp = g.channels, mp = g.blocks * kBlock;
  for (int ow = 0; ow < g.outWidth; ++ow) {
    int32_t* out = j.acc + size_t(ow) * mp;
    for (int m = 0; m < mp; ++m) {
      const int16_t* w = j.weights + size_t(m / kBlock) * j.blockStride + (m % kBlock) * 2;
      int32_t sum = 0;
      for (int r = 0; r < j.rowCount; ++r)
        for (int kw = 0; kw < g.kernelW; ++kw) {
          const int16_t* x = j.rows[r] + size_t(ow * g.strideW + kw * g.dilationW) * cp;
          const int16_t* wt = w + (size_t(j.rowTap[r]) * g.kernelW + kw) * size_t(cp) * kBlock;
          for (int c = 0; c < cp; c += 2)
            sum += int32_t(wt[c * kBlock]) * x[c] + int32_t(wt[c * kBlock + 1]) * x[c + 1];
        }
      out[m] = sum;
    }
  }
}

#else

// The lane count is a compile-time constant: SVE's length-agnostic targets take 128 bits of
// whatever the hardware has (a cap would leave MaxLanes above the run-time lane count).
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2
using D16 = hn::FixedTag<int16_t, 8>;
#else
using D16 = hn::CappedTag<int16_t, 16>;
#endif
using D32 = hn::Repartition<int32_t, D16>;
constexpr size_t kLanes16 = hn::MaxLanes(D16());
constexpr int kVectorsPerBlock = int(2 * kBlock / kLanes16);  // 1 with 256-bit vectors
constexpr int kAccumulators = 12;

// Output columns [ow0, ow0 + kPixels) of blocks [b0, b0 + kBlocks).
template <int kBlocks, int kPixels>
HWY_INLINE void Tile(const RowJob& j, int b0, int ow0) {
  const D16 d16;
  const D32 d32;
  constexpr int kV = kBlocks * kVectorsPerBlock;
  const Int8ConvGeometry& g = *j.g;
  const int cp = g.channels;
  const size_t tapStride = size_t(cp) * kBlock, pixelStride = size_t(g.strideW) * cp;
  using V32 = Held<D32>;
  V32 sum0[kPixels][kV], sum1[kPixels][kV];
  for (int p = 0; p < kPixels; ++p)
    for (int v = 0; v < kV; ++v) sum0[p][v] = sum1[p][v] = hn::Zero(d32);
  const int16_t* HWY_RESTRICT w0 = j.weights + size_t(b0) * j.blockStride;
  for (int r = 0; r < j.rowCount; ++r) {
    for (int kw = 0; kw < g.kernelW; ++kw) {
      // One pointer walks the channel pairs; the pixels sit at fixed offsets from it, which keeps
      // the inner loop's addresses in registers.
      const int16_t* HWY_RESTRICT x0 = j.rows[r] + size_t(ow0 * g.strideW + kw * g.dilationW) * cp;
      const int16_t* HWY_RESTRICT const xEnd = x0 + cp;
      const int16_t* HWY_RESTRICT wt = w0 + (size_t(j.rowTap[r]) * g.kernelW + kw) * tapStride;
      for (; x0 != xEnd; x0 += 2, wt += 2 * kBlock) {
        Held<D16> wv[kV];
        for (int b = 0; b < kBlocks; ++b)
          for (int v = 0; v < kVectorsPerBlock; ++v)
            wv[b * kVectorsPerBlock + v] = hn::LoadU(d16, wt + size_t(b) * j.blockStride + size_t(v) * kLanes16);
        for (int p = 0; p < kPixels; ++p) {
          int32_t pair;
          std::memcpy(&pair, x0 + size_t(p) * pixelStride, sizeof pair);
          const hn::Vec<D16> x = hn::BitCast(d16, hn::Set(d32, pair));
          for (int v = 0; v < kV; ++v) {
            hn::Vec<D32> odd = sum1[p][v];
            sum0[p][v] = hn::ReorderWidenMulAccumulate(d32, Get(wv[v]), x, Get(sum0[p][v]), odd);
            sum1[p][v] = odd;
          }
        }
      }
    }
  }
  const size_t mp = size_t(g.blocks) * kBlock;
  constexpr size_t kLanes32 = kLanes16 / 2;
  for (int p = 0; p < kPixels; ++p) {
    int32_t* HWY_RESTRICT out = j.acc + size_t(ow0 + p) * mp + size_t(b0) * kBlock;
    for (int v = 0; v < kV; ++v)
      hn::StoreU(hn::RearrangeToOddPlusEven(Get(sum0[p][v]), Get(sum1[p][v])), d32, out + v * kLanes32);
  }
}

template <int kBlocks>
void Blocks(const RowJob& j, int b0) {
  constexpr int kPixels = std::max(1, kAccumulators / (kBlocks * kVectorsPerBlock));
  int ow = 0;
  for (; ow + kPixels <= j.g->outWidth; ow += kPixels) Tile<kBlocks, kPixels>(j, b0, ow);
  // The rest in one narrower tile.
  if constexpr (kPixels >= 4) {
    if (ow + kPixels / 2 <= j.g->outWidth) {
      Tile<kBlocks, kPixels / 2>(j, b0, ow);
      ow += kPixels / 2;
    }
  }
  if constexpr (kPixels >= 2) {
    if (ow + 2 <= j.g->outWidth) {
      Tile<kBlocks, 2>(j, b0, ow);
      ow += 2;
    }
  }
  for (; ow < j.g->outWidth; ++ow) Tile<kBlocks, 1>(j, b0, ow);
}

// With at most four output channels (the upper half of the only block carries no weights), one
// vector holds two neighbouring pixels: the low half sums pixel 2p, the high half pixel 2p + 1,
// both against the same four channels, so half the multiply-adds do the same work.
template <int kPairs>
HWY_INLINE void PairTile(const RowJob& j, int ow0) {
  const D16 d16;
  const D32 d32;
  const Int8ConvGeometry& g = *j.g;
  const int cp = g.channels;
  const size_t tapStride = size_t(cp) * kBlock, pixelStride = size_t(g.strideW) * cp;
  using V32 = Held<D32>;
  V32 sum0[kPairs], sum1[kPairs];
  for (int p = 0; p < kPairs; ++p) sum0[p] = sum1[p] = hn::Zero(d32);
  for (int r = 0; r < j.rowCount; ++r) {
    for (int kw = 0; kw < g.kernelW; ++kw) {
      const int16_t* HWY_RESTRICT x0 = j.rows[r] + size_t(ow0 * g.strideW + kw * g.dilationW) * cp;
      const int16_t* HWY_RESTRICT const xEnd = x0 + cp;
      const int16_t* HWY_RESTRICT wt = j.weights + (size_t(j.rowTap[r]) * g.kernelW + kw) * tapStride;
      for (; x0 != xEnd; x0 += 2, wt += 2 * kBlock) {
        const hn::Vec<D16> wv = hn::LoadDup128(d16, wt);
        for (int p = 0; p < kPairs; ++p) {
          int32_t lo, hi;
          std::memcpy(&lo, x0 + size_t(2 * p) * pixelStride, sizeof lo);
          std::memcpy(&hi, x0 + size_t(2 * p + 1) * pixelStride, sizeof hi);
          const hn::Vec<D16> x = hn::BitCast(d16, hn::ConcatUpperLower(d32, hn::Set(d32, hi), hn::Set(d32, lo)));
          hn::Vec<D32> odd = sum1[p];
          sum0[p] = hn::ReorderWidenMulAccumulate(d32, wv, x, Get(sum0[p]), odd);
          sum1[p] = odd;
        }
      }
    }
  }
  for (int p = 0; p < kPairs; ++p) {
    const hn::Vec<D32> v = hn::RearrangeToOddPlusEven(Get(sum0[p]), Get(sum1[p]));
    int32_t* HWY_RESTRICT out = j.acc + size_t(ow0 + 2 * p) * kBlock;
    hn::StoreU(hn::ConcatLowerLower(d32, hn::Zero(d32), v), d32, out);
    hn::StoreU(hn::ConcatUpperUpper(d32, hn::Zero(d32), v), d32, out + kBlock);
  }
}

bool UpperHalfEmpty(const RowJob& j) {
  for (size_t i = 0; i < j.blockStride; i += 2 * kBlock)
    for (int k = kBlock; k < 2 * kBlock; ++k)
      if (j.weights[i + k] != 0) return false;
  return true;
}

void AccumulateRow(const RowJob& j) {
  if constexpr (kVectorsPerBlock == 1) {
    if (j.g->blocks == 1 && UpperHalfEmpty(j)) {
      constexpr int kPairs = kAccumulators;
      int ow = 0;
      for (; ow + 2 * kPairs <= j.g->outWidth; ow += 2 * kPairs) PairTile<kPairs>(j, ow);
      for (; ow + 2 <= j.g->outWidth; ow += 2) PairTile<1>(j, ow);
      if (ow < j.g->outWidth) Tile<1, 1>(j, 0, ow);
      return;
    }
  }
  // Two blocks by six pixels: four blocks by three (fewer broadcasts per multiply-add) ran ~1.4x
  // slower here on 1x1 256 -> 64.
  int b = 0;
  for (; b + 2 <= j.g->blocks; b += 2) Blocks<2>(j, b);
  if (b < j.g->blocks) Blocks<1>(j, b);
}

#endif

}  // namespace

// Whether the dispatch chose the AVX-512 target (cheap: SupportedTargets() would ask CPUID).
bool AllowsDotProduct() { return HWY_TARGET == HWY_AVX3; }

void Int8ConvRow(const Int8ConvGeometry& g, const uint8_t* HWY_RESTRICT q, const int16_t* HWY_RESTRICT packed,
                 int oh, int16_t* HWY_RESTRICT scratch, int32_t* HWY_RESTRICT acc) {
  const int16_t* rows[kInt8ConvMaxKernel];
  int rowTap[kInt8ConvMaxKernel];
  const int n = WidenRows(g, q, oh, scratch, rows, rowTap);
  const size_t mp = size_t(g.blocks) * kBlock;
  if (n == 0 || g.channels == 0) {
    std::fill(acc, acc + size_t(g.outWidth) * mp, 0);
    return;
  }
  const RowJob j{&g, rows, rowTap, n, packed, size_t(g.kernelH) * g.kernelW * g.channels * kBlock, acc};
  AccumulateRow(j);
}

bool Int8Range(const float* HWY_RESTRICT x, size_t count, float* lo, float* hi) {
  float mn = 0.0f, mx = 0.0f;
  bool finite = true;
  size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const size_t L = hn::Lanes(d);
  auto vmin = hn::Zero(d), vmax = hn::Zero(d);
  auto bad = hn::FirstN(d, 0);
  for (; i + L <= count; i += L) {
    const auto v = hn::LoadU(d, x + i);
    bad = hn::Or(bad, hn::Not(hn::IsFinite(v)));
    vmin = hn::Min(vmin, v);
    vmax = hn::Max(vmax, v);
  }
  finite = hn::AllFalse(d, bad);
  mn = hn::GetLane(hn::MinOfLanes(d, vmin));
  mx = hn::GetLane(hn::MaxOfLanes(d, vmax));
#endif
  for (; i < count; ++i) {
    finite = finite && std::isfinite(x[i]);
    mn = std::min(mn, x[i]);
    mx = std::max(mx, x[i]);
  }
  *lo = mn;
  *hi = mx;
  return finite;
}

void Int8QuantizeNhwc(const float* HWY_RESTRICT x, size_t plane, int C, size_t begin, size_t end, float scale, int zp,
                      uint8_t* HWY_RESTRICT q, int Cp) {
  size_t p = begin;
#if HWY_TARGET != HWY_SCALAR
  // Four channels of L pixels at a time: their bytes form one 32-bit word per pixel, so each
  // pixel row takes Cp / 4 word stores rather than Cp byte stores (one vector store when Cp is 4).
  const hn::CappedTag<float, 16> df;
  const hn::RebindToSigned<decltype(df)> di;
  constexpr size_t kMax = hn::MaxLanes(df);
  const size_t L = hn::Lanes(df);
  const auto vs = hn::Set(df, scale);
  const auto vz = hn::Set(di, zp), v0 = hn::Zero(di), v255 = hn::Set(di, 255);
  alignas(64) int32_t tile[kMax];
  // Pixels in runs of kRun: each channel quad walks the whole run before the next quad, so only
  // four input planes are read at a time. Planes a multiple of 4 KiB apart share cache sets;
  // walking every channel at each pixel would evict lines before their second half is read.
  constexpr size_t kRun = 64;
  while (p + L <= end) {
    const size_t runEnd = p + std::min(kRun, (end - p) / L * L);
    for (int c = 0; c < Cp; c += 4) {
      for (size_t pp = p; pp < runEnd; pp += L) {
        auto word = v0;
        for (int j = 0; j < 4; ++j) {
          auto r = vz;
          if (c + j < C) {
            r = hn::ConvertTo(di, hn::Round(hn::Div(hn::LoadU(df, x + size_t(c + j) * plane + pp), vs)));
            r = hn::Min(hn::Max(hn::Add(r, vz), v0), v255);
          }
          word = hn::Or(word, hn::ShiftLeftSame(r, 8 * j));
        }
        if (Cp == 4) {
          hn::StoreU(word, di, reinterpret_cast<int32_t*>(q + pp * 4));
        } else {
          hn::Store(word, di, tile);
          for (size_t k = 0; k < L; ++k) std::memcpy(q + (pp + k) * Cp + c, tile + k, 4);
        }
      }
    }
    p = runEnd;
  }
#endif
  for (; p < end; ++p) {
    for (int c = 0; c < C; ++c) {
      const float r = std::nearbyint(x[size_t(c) * plane + p] / scale);
      q[p * Cp + c] = uint8_t(std::clamp(float(zp) + r, 0.0f, 255.0f));
    }
    std::memset(q + p * Cp + C, zp, size_t(Cp - C));
  }
}

void Int8Dequantize(const int32_t* HWY_RESTRICT acc, size_t stride, int width, int M,
                    const int32_t* HWY_RESTRICT offset, const float* HWY_RESTRICT k, const float* HWY_RESTRICT bias,
                    float* HWY_RESTRICT out, size_t outStride) {
  int c0 = 0;
#if HWY_TARGET == HWY_AVX2
  // Eight pixels of eight channels are transposed in registers (this relies on x86's per-128-bit
  // interleaves) instead of gathered: a gather per eight values costs more than the arithmetic.
  {
    const hn::Full256<int32_t> di;
    const hn::Full256<float> df;
    const hn::Repartition<uint64_t, decltype(di)> du;
    for (; c0 < M && size_t(c0) + 8 <= stride; c0 += 8) {
      const int cn = std::min(8, M - c0);
      int ow = 0;
      for (; ow + 8 <= width; ow += 8) {
        const int32_t* HWY_RESTRICT a = acc + size_t(ow) * stride + c0;
        hn::Vec<decltype(di)> r[8], t[8], col[8];
        for (int i = 0; i < 8; ++i) r[i] = hn::LoadU(di, a + size_t(i) * stride);
        for (int i = 0; i < 8; i += 2) {
          t[i] = hn::InterleaveLower(di, r[i], r[i + 1]);
          t[i + 1] = hn::InterleaveUpper(di, r[i], r[i + 1]);
        }
        for (int h = 0; h < 8; h += 4)  // h: pixels 0-3 or 4-7
          for (int i = 0; i < 2; ++i) {
            const auto lo = hn::BitCast(du, t[h + i]), hi = hn::BitCast(du, t[h + i + 2]);
            r[h + 2 * i] = hn::BitCast(di, hn::InterleaveLower(du, lo, hi));
            r[h + 2 * i + 1] = hn::BitCast(di, hn::InterleaveUpper(du, lo, hi));
          }
        // r[j] (j < 4) holds channels j and j + 4 of pixels 0-3; r[4 + j] those of pixels 4-7.
        for (int j = 0; j < 4; ++j) {
          col[j] = hn::ConcatLowerLower(di, r[4 + j], r[j]);
          col[j + 4] = hn::ConcatUpperUpper(di, r[4 + j], r[j]);
        }
        for (int c = 0; c < cn; ++c) {
          const auto v = hn::Sub(col[c], hn::Set(di, offset[c0 + c]));
          hn::StoreU(hn::Add(hn::Mul(hn::Set(df, k[c0 + c]), hn::ConvertTo(df, v)), hn::Set(df, bias[c0 + c])), df,
                     out + size_t(c0 + c) * outStride + ow);
        }
      }
      for (; ow < width; ++ow)
        for (int c = c0; c < c0 + cn; ++c)
          out[size_t(c) * outStride + ow] =
              k[c] * float(int32_t(uint32_t(acc[size_t(ow) * stride + c]) - uint32_t(offset[c]))) + bias[c];
    }
  }
#endif
  for (int c = c0; c < M; ++c) {
    const int32_t* HWY_RESTRICT a = acc + c;
    float* HWY_RESTRICT o = out + size_t(c) * outStride;
    int ow = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::CappedTag<float, 16> df;
    const hn::RebindToSigned<decltype(df)> di;
    const size_t L = hn::Lanes(df);
    const auto idx = hn::Mul(hn::Iota(di, 0), hn::Set(di, int32_t(stride)));
    const auto vo = hn::Set(di, offset[c]);
    const auto vk = hn::Set(df, k[c]), vb = hn::Set(df, bias[c]);
    for (; ow + int(L) <= width; ow += int(L)) {
      const auto v = hn::Sub(hn::GatherIndex(di, a + size_t(ow) * stride, idx), vo);
      hn::StoreU(hn::Add(hn::Mul(vk, hn::ConvertTo(df, v)), vb), df, o + ow);
    }
#endif
    for (; ow < width; ++ow) o[ow] = k[c] * float(int32_t(uint32_t(a[size_t(ow) * stride]) - uint32_t(offset[c]))) + bias[c];
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace qo::simd {

HWY_EXPORT(Int8ConvRow);
HWY_EXPORT(AllowsDotProduct);

namespace {

#if QO_INT8_DOT
#define QO_DOT_TARGET __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vnni")))

// The byte path runs where the AVX-512 target is allowed (the dispatch's own choice, so that
// pinning a lower target for a test turns it off) and the CPU has the byte dot product.
bool dotPath() {
  static const bool vnni = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vnni") != 0;
  }();
  return vnni && HWY_DYNAMIC_DISPATCH(AllowsDotProduct)();
}

constexpr int kB = kInt8ConvChannelBlock;  // one 256-bit vector of int32 sums per block

struct DotJob {
  const Int8ConvGeometry* g;
  const uint8_t* const* rows;
  const int* rowTap;
  int rowCount;
  const int8_t* weights;  // [block][kh][kw][c / 4][m % 8][c % 4]
  size_t blockStride;     // bytes per block
  int32_t* acc;
};

// Output columns [ow0, ow0 + NP) of blocks [b0, b0 + NB).
template <int NB, int NP>
QO_DOT_TARGET inline void DotTile(const DotJob& j, int b0, int ow0) {
  const Int8ConvGeometry& g = *j.g;
  const int cp = g.channels;
  const size_t tapStride = size_t(cp) * kB, pixelStride = size_t(g.strideW) * cp;
  __m256i s[NP][NB];
  for (int p = 0; p < NP; ++p)
    for (int b = 0; b < NB; ++b) s[p][b] = _mm256_setzero_si256();
  const int8_t* w0 = j.weights + size_t(b0) * j.blockStride;
  for (int r = 0; r < j.rowCount; ++r)
    for (int kw = 0; kw < g.kernelW; ++kw) {
      const uint8_t* x0 = j.rows[r] + size_t(ow0 * g.strideW + kw * g.dilationW) * cp;
      const uint8_t* const xEnd = x0 + cp;
      const int8_t* wt = w0 + (size_t(j.rowTap[r]) * g.kernelW + kw) * tapStride;
      for (; x0 != xEnd; x0 += 4, wt += 4 * kB) {
        __m256i wv[NB];
        for (int b = 0; b < NB; ++b) wv[b] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wt + b * j.blockStride));
        for (int p = 0; p < NP; ++p) {
          int32_t quad;
          std::memcpy(&quad, x0 + size_t(p) * pixelStride, sizeof quad);
          const __m256i x = _mm256_set1_epi32(quad);
          for (int b = 0; b < NB; ++b) s[p][b] = _mm256_dpbusd_epi32(s[p][b], x, wv[b]);
        }
      }
    }
  const size_t mp = size_t(g.blocks) * kB;
  for (int p = 0; p < NP; ++p)
    for (int b = 0; b < NB; ++b)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(j.acc + size_t(ow0 + p) * mp + size_t(b0 + b) * kB), s[p][b]);
}

template <int NB, int NP>
QO_DOT_TARGET void DotBlocks(const DotJob& j, int b0) {
  const int width = j.g->outWidth;
  int ow = 0;
  for (; ow + NP <= width; ow += NP) DotTile<NB, NP>(j, b0, ow);
  if (ow + NP / 2 <= width) DotTile<NB, NP / 2>(j, b0, ow), ow += NP / 2;
  if (ow + NP / 4 <= width) DotTile<NB, NP / 4>(j, b0, ow), ow += NP / 4;
  for (; ow < width; ++ow) DotTile<NB, 1>(j, b0, ow);
}

// At most four output channels: the two 128-bit halves sum neighbouring pixels against the same
// four channels (the byte form of the pixel pairs above).
template <int NP>
QO_DOT_TARGET inline void DotPairTile(const DotJob& j, int ow0) {
  const Int8ConvGeometry& g = *j.g;
  const int cp = g.channels;
  const size_t tapStride = size_t(cp) * kB, pixelStride = size_t(g.strideW) * cp;
  __m256i s[NP];
  for (int p = 0; p < NP; ++p) s[p] = _mm256_setzero_si256();
  for (int r = 0; r < j.rowCount; ++r)
    for (int kw = 0; kw < g.kernelW; ++kw) {
      const uint8_t* x0 = j.rows[r] + size_t(ow0 * g.strideW + kw * g.dilationW) * cp;
      const uint8_t* const xEnd = x0 + cp;
      const int8_t* wt = j.weights + (size_t(j.rowTap[r]) * g.kernelW + kw) * tapStride;
      for (; x0 != xEnd; x0 += 4, wt += 4 * kB) {
        const __m256i wv = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(wt)));
        for (int p = 0; p < NP; ++p) {
          int32_t lo, hi;
          std::memcpy(&lo, x0 + size_t(2 * p) * pixelStride, sizeof lo);
          std::memcpy(&hi, x0 + size_t(2 * p + 1) * pixelStride, sizeof hi);
          const __m256i x = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(lo)), _mm_set1_epi32(hi), 1);
          s[p] = _mm256_dpbusd_epi32(s[p], x, wv);
        }
      }
    }
  const __m128i zero = _mm_setzero_si128();
  for (int p = 0; p < NP; ++p) {
    int32_t* out = j.acc + size_t(ow0 + 2 * p) * kB;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_inserti128_si256(s[p], zero, 1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kB),
                        _mm256_inserti128_si256(_mm256_permute2x128_si256(s[p], s[p], 0x11), zero, 1));
  }
}

QO_DOT_TARGET void DotRow(const DotJob& j) {
  const Int8ConvGeometry& g = *j.g;
  bool upperEmpty = g.blocks == 1;
  for (size_t i = 0; upperEmpty && i < j.blockStride; i += 4 * kB)
    for (int k = 16; k < 32; ++k) upperEmpty = upperEmpty && j.weights[i + size_t(k)] == 0;
  if (upperEmpty) {
    constexpr int kPairs = 12;
    int ow = 0;
    for (; ow + 2 * kPairs <= g.outWidth; ow += 2 * kPairs) DotPairTile<kPairs>(j, ow);
    for (; ow + 2 <= g.outWidth; ow += 2) DotPairTile<1>(j, ow);
    if (ow < g.outWidth) DotTile<1, 1>(j, 0, ow);
    return;
  }
  // 32 vector registers: 24 sums, the weights and the broadcast.
  int b = 0;
  for (; b + 2 <= g.blocks; b += 2) DotBlocks<2, 12>(j, b);
  if (b < g.blocks) DotBlocks<1, 16>(j, b);
}

void int8ConvRowDot(const Int8ConvGeometry& g, const uint8_t* q, const int8_t* packed, int oh, uint8_t* scratch,
                    int32_t* acc) {
  const int cp = g.channels;
  const size_t rowLen = size_t(g.paddedWidth) * size_t(cp);
  const uint8_t* rows[kInt8ConvMaxKernel];
  int rowTap[kInt8ConvMaxKernel];
  int n = 0;
  const int left = std::min(g.padLeft, g.paddedWidth);
  const int inside = std::max(0, std::min(g.width, g.paddedWidth - g.padLeft));
  for (int kh = 0; kh < g.kernelH; ++kh) {
    const int ih = oh * g.strideH + kh * g.dilationH - g.padTop;
    if (ih < 0 || ih >= g.height) continue;
    const uint8_t* src = q + size_t(ih) * size_t(g.width) * cp;
    if (left == 0 && inside == g.paddedWidth) {
      rows[n] = src;  // no padding column: read the image row in place
    } else {
      uint8_t* dst = scratch + size_t(n) * rowLen;
      std::memset(dst, 0, size_t(left) * cp);
      std::memcpy(dst + size_t(left) * cp, src, size_t(inside) * cp);
      std::memset(dst + size_t(left + inside) * cp, 0, size_t(g.paddedWidth - left - inside) * cp);
      rows[n] = dst;
    }
    rowTap[n++] = kh;
  }
  if (n == 0 || cp == 0) {
    std::fill(acc, acc + size_t(g.outWidth) * size_t(g.blocks) * kB, 0);
    return;
  }
  DotRow(DotJob{&g, rows, rowTap, n, packed, size_t(g.kernelH) * g.kernelW * cp * kB, acc});
}

#else
constexpr bool dotPath() { return false; }
#endif

}  // namespace

HWY_EXPORT(Int8Range);
HWY_EXPORT(Int8QuantizeNhwc);
HWY_EXPORT(Int8Dequantize);

size_t int8ConvPackedSize(int M, int Cp, int KH, int KW) {
  const size_t blocks = size_t(M + kInt8ConvChannelBlock - 1) / kInt8ConvChannelBlock;
  return blocks * kInt8ConvChannelBlock * size_t(KH) * size_t(KW) * size_t(Cp);
}

void int8ConvPack(const int8_t* w, int M, int C, int KH, int KW, int Cp, int16_t* packed) {
  constexpr int B = kInt8ConvChannelBlock;
  std::fill(packed, packed + int8ConvPackedSize(M, Cp, KH, KW), int16_t(0));
  const size_t blockStride = size_t(KH) * KW * Cp * B;
  if (dotPath()) {  // bytes in the first half of the buffer
    int8_t* bytes = reinterpret_cast<int8_t*>(packed);
    for (int m = 0; m < M; ++m)
      for (int c = 0; c < C; ++c)
        for (int kh = 0; kh < KH; ++kh)
          for (int kw = 0; kw < KW; ++kw) {
            // [block][kh][kw][c / 4][m % B][c % 4]
            const size_t at = size_t(m / B) * blockStride + (size_t(kh) * KW + kw) * size_t(Cp) * B +
                              size_t(c / 4) * 4 * B + size_t(m % B) * 4 + size_t(c % 4);
            bytes[at] = w[((size_t(m) * C + c) * KH + kh) * KW + kw];
          }
    return;
  }
  for (int m = 0; m < M; ++m)
    for (int c = 0; c < C; ++c)
      for (int kh = 0; kh < KH; ++kh)
        for (int kw = 0; kw < KW; ++kw) {
          // [block][kh][kw][c / 2][m % B][c % 2]
          const size_t at = size_t(m / B) * blockStride + (size_t(kh) * KW + kw) * size_t(Cp) * B +
                            size_t(c / 2) * 2 * B + size_t(m % B) * 2 + size_t(c % 2);
          packed[at] = w[((size_t(m) * C + c) * KH + kh) * KW + kw];
        }
}

size_t int8ConvScratchSize(const Int8ConvGeometry& g) {
  return size_t(g.kernelH) * size_t(g.paddedWidth) * size_t(g.channels);
}

void int8ConvRow(const Int8ConvGeometry& g, const uint8_t* q, const int16_t* packed, int oh, int16_t* scratch,
                 int32_t* acc) {
#if QO_INT8_DOT
  if (dotPath())
    return int8ConvRowDot(g, q, reinterpret_cast<const int8_t*>(packed), oh, reinterpret_cast<uint8_t*>(scratch), acc);
#endif
  HWY_DYNAMIC_DISPATCH(Int8ConvRow)(g, q, packed, oh, scratch, acc);
}

bool int8Range(const float* x, size_t count, float* lo, float* hi) {
  return HWY_DYNAMIC_DISPATCH(Int8Range)(x, count, lo, hi);
}

void int8QuantizeNhwc(const float* x, size_t plane, int C, size_t begin, size_t end, float scale, int zp, uint8_t* q,
                      int Cp) {
  HWY_DYNAMIC_DISPATCH(Int8QuantizeNhwc)(x, plane, C, begin, end, scale, zp, q, Cp);
}

void int8Dequantize(const int32_t* acc, size_t stride, int width, int M, const int32_t* offset, const float* k,
                    const float* bias, float* out, size_t outStride) {
  HWY_DYNAMIC_DISPATCH(Int8Dequantize)(acc, stride, width, M, offset, k, bias, out, outStride);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
