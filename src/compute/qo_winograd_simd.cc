// Winograd F(4x4, 3x3) form of the fp16 channel-last 3x3 convolution: each 4 x 4 block of output
// pixels costs 36 channel products instead of 144. Per group of blocks the 6 x 6 patches are read
// from the fp16 map (half the bytes of a widened copy, which made the transform wait on the caches),
// transformed (B^T d B) into V, multiplied with the transformed weights per patch position (the
// broadcast-FMA blocking of the direct kernel, blocks in place of pixels), and the 36
// products are folded back (A^T m A), biased, rectified and stored as fp16.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compute/qo_convf16.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_winograd_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "compute/qo_count_dispatch-inl.h"
#include "compute/qo_half-inl.h"
#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

#if HWY_ARCH_X86
using D = hn::CappedTag<float, 8>;
// Products and transforms work per channel, so over the channels that fill them they take the
// widest vectors (16 lanes on AVX-512: server cores issue two full-width FMAs a cycle). Every
// lane does the same operations in the same order as with 8 lanes, so the bits do not change.
using DP = hn::CappedTag<float, 16>;
#else
using D = hn::FixedTag<float, 4>;
using DP = D;
#endif
constexpr int kLanes = int(hn::MaxLanes(D()));
constexpr int kProductLanes = int(hn::MaxLanes(DP()));
constexpr int kGroup = 12;  // blocks per group: on wide maps the weights stream once per group
// AVX-512's 32 registers hold 24 accumulators: four channel vectors per block (or twelve blocks of
// two), so each loaded value feeds more products. The sums' order is the same as with 12.
constexpr bool kWideRegisters = HWY_TARGET == HWY_AVX3;

// t = B^T d for one column of six values.
template <class DT>
HWY_INLINE void InputColumn(DT d, const Held<DT>* HWY_RESTRICT x, Held<DT>* HWY_RESTRICT t) {
  using V = hn::Vec<DT>;
  const V four = hn::Set(d, 4.0f), five = hn::Set(d, 5.0f), two = hn::Set(d, 2.0f);
  const V x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3], x4 = x[4], x5 = x[5];
  t[0] = hn::Add(hn::NegMulAdd(five, x2, hn::Mul(four, x0)), x4);
  t[1] = hn::NegMulAdd(four, hn::Add(x1, x2), hn::Add(x4, x3));
  t[2] = hn::MulAdd(four, hn::Sub(x1, x2), hn::Sub(x4, x3));
  t[3] = hn::MulAdd(two, hn::Sub(x3, x1), hn::Sub(x4, x2));
  t[4] = hn::NegMulAdd(two, hn::Sub(x3, x1), hn::Sub(x4, x2));
  t[5] = hn::Add(hn::NegMulAdd(five, x3, hn::Mul(four, x1)), x5);
}

// o = A^T m for one column of six values.
template <class DT>
HWY_INLINE void OutputColumn(DT d, const Held<DT>* HWY_RESTRICT m, Held<DT>* HWY_RESTRICT o) {
  using V = hn::Vec<DT>;
  const V two = hn::Set(d, 2.0f), four = hn::Set(d, 4.0f), eight = hn::Set(d, 8.0f);
  const V m1 = m[1], m2 = m[2], m3 = m[3], m4 = m[4];
  const V s12 = hn::Add(m1, m2), d12 = hn::Sub(m1, m2);
  const V s34 = hn::Add(m3, m4), d34 = hn::Sub(m3, m4);
  o[0] = hn::Add(hn::Add(Get(m[0]), s12), s34);
  o[1] = hn::MulAdd(two, d34, d12);
  o[2] = hn::MulAdd(four, s34, s12);
  o[3] = hn::Add(hn::MulAdd(eight, d34, d12), Get(m[5]));
}

// M[pos][p][k..] = sum_ci V[pos][p][ci] * U[pos][ci][k..] for NP blocks and NV channel vectors.
template <int NP, int NV, class DT>
HWY_INLINE void Product(DT d, const float* HWY_RESTRICT v, const float* HWY_RESTRICT u, int cin, int cout, int k0,
                        float* HWY_RESTRICT m) {
  constexpr int kL = int(hn::MaxLanes(DT()));
  using HT = Held<DT>;
  HT acc[NP][NV];
  for (int p = 0; p < NP; ++p)
    for (int i = 0; i < NV; ++i) acc[p][i] = hn::Zero(d);
  for (int ci = 0; ci < cin; ++ci) {
    HT w[NV];
    for (int i = 0; i < NV; ++i) w[i] = hn::LoadU(d, u + ptrdiff_t(ci) * cout + k0 + i * kL);
    for (int p = 0; p < NP; ++p) {
      const hn::Vec<DT> b = hn::Set(d, v[p * cin + ci]);
      for (int i = 0; i < NV; ++i) acc[p][i] = hn::MulAdd(Get(w[i]), b, Get(acc[p][i]));
    }
  }
  for (int p = 0; p < NP; ++p)
    for (int i = 0; i < NV; ++i) hn::StoreU(Get(acc[p][i]), d, m + ptrdiff_t(p) * cout + k0 + i * kL);
}

template <int NV, class DT>
HWY_INLINE void ProductBlocks(DT d, const float* v, const float* u, int cin, int cout, int k0, float* m, int np) {
  // Twelve accumulators where 16 registers allow: 6 blocks x 2 vectors, 4 x 3, 6 x 1; with 32,
  // 12 x 2, 6 x 4 and 6 x 3.
  constexpr int kCap = NV == 3 && !kWideRegisters ? 4 : 6;
  for (int p0 = 0; p0 < np; p0 += kCap) {
    const float* vp = v + ptrdiff_t(p0) * cin;
    float* mp = m + ptrdiff_t(p0) * cout;
    if constexpr (NV == 2 && kWideRegisters) {  // 12 x 2 where a group has that many blocks
      if (np - p0 >= 12) {
        Product<12, 2>(d, vp, u, cin, cout, k0, mp);
        p0 += 12 - kCap;
        continue;
      }
    }
    WithCount<kCap>(np - p0, [&](auto n) { Product<n(), NV>(d, vp, u, cin, cout, k0, mp); });
  }
}

// Channels [k0, k0 + 24) as one 16-lane and one 8-lane vector sharing each broadcast: 24
// output channels (cout = 16 n + 8) otherwise take three 8-lane FMAs where two instructions do.
// Every lane sums in the same order as with 8 lanes.
template <int NP, class DW>
HWY_INLINE void ProductMixed(DW dw, const float* HWY_RESTRICT v, const float* HWY_RESTRICT u, int cin, int cout,
                             int k0, float* HWY_RESTRICT m) {
  const hn::Half<DW> dn;
  Held<DW> aw[NP];
  Held<decltype(dn)> an[NP];
  for (int p = 0; p < NP; ++p) aw[p] = hn::Zero(dw), an[p] = hn::Zero(dn);
  for (int ci = 0; ci < cin; ++ci) {
    const hn::Vec<DW> ww = hn::LoadU(dw, u + ptrdiff_t(ci) * cout + k0);
    const hn::Vec<decltype(dn)> wn = hn::LoadU(dn, u + ptrdiff_t(ci) * cout + k0 + 16);
    for (int p = 0; p < NP; ++p) {
      const hn::Vec<DW> b = hn::Set(dw, v[p * cin + ci]);
      aw[p] = hn::MulAdd(ww, b, Get(aw[p]));
      an[p] = hn::MulAdd(wn, hn::LowerHalf(dn, b), Get(an[p]));
    }
  }
  for (int p = 0; p < NP; ++p) {
    hn::StoreU(Get(aw[p]), dw, m + ptrdiff_t(p) * cout + k0);
    hn::StoreU(Get(an[p]), dn, m + ptrdiff_t(p) * cout + k0 + 16);
  }
}

// `group`: blocks per patch position in v and m; kFixed, when not 0, is that number at compile time.
// kMixed: DT has 16 lanes and cout = 16 n + 8; the last 24 channels go to ProductMixed.
template <int kFixed, bool kMixed = false, class DT>
void Products(DT d, const float* v, const float* u, int cin, int cout, float* m, int np, int runtimeGroup) {
  constexpr int kL = int(hn::MaxLanes(DT()));
  const int group = kFixed ? kFixed : runtimeGroup;
  const int vectors = kMixed ? (cout - 24) / kL : cout / kL;
  for (int pos = 0; pos < 36; ++pos) {
    const float* vp = v + ptrdiff_t(pos) * group * cin;
    const float* up = u + ptrdiff_t(pos) * cin * cout;
    if (kFixed == 0 && pos + 1 < 36)  // narrow maps stream the weights: the next position's ahead
      for (int l = 0; l < cin * cout; l += 16) __builtin_prefetch(up + ptrdiff_t(cin) * cout + l);
    float* mp = m + ptrdiff_t(pos) * group * cout;
    if constexpr (kMixed) {
      for (int p0 = 0; p0 < np; p0 += 6)
        WithCount<6>(np - p0, [&](auto n) {
          ProductMixed<n()>(d, vp + ptrdiff_t(p0) * cin, up, cin, cout, cout - 24, mp + ptrdiff_t(p0) * cout);
        });
    }
    for (int v0 = 0; v0 < vectors;) {
      const int left = vectors - v0;
      const int nv = kWideRegisters ? std::min(left, 4) : left == 4 ? 2 : std::min(left, 3);
      if (kWideRegisters && nv == 4) ProductBlocks<4>(d, vp, up, cin, cout, v0 * kL, mp, np);
      else if (nv == 3) ProductBlocks<3>(d, vp, up, cin, cout, v0 * kL, mp, np);
      else if (nv == 2) ProductBlocks<2>(d, vp, up, cin, cout, v0 * kL, mp, np);
      else ProductBlocks<1>(d, vp, up, cin, cout, v0 * kL, mp, np);
      v0 += nv;
    }
  }
}

// (B^T d B) for the 6 x 6 patch at column x of `rows` (six rows of the fp16 map), channels
// [c, c + lanes): row a of the result (six vectors, one per column b) goes to store(a, out).
template <class DT, class Store>
HWY_INLINE void InputPatch(DT d, const uint16_t* const* rows, ptrdiff_t x, int cin, int c, const Store& store) {
  using HT = Held<DT>;
  HT t[6][6];  // t[a][j]: row a of B^T d, column j
  for (int j = 0; j < 6; ++j) {
    HT col[6], out[6];
    for (int r = 0; r < 6; ++r) col[r] = LoadHalvesForArithmetic(d, rows[r] + (x + j) * cin + c);
    InputColumn(d, col, out);
    for (int a = 0; a < 6; ++a) t[a][j] = out[a];
  }
  for (int a = 0; a < 6; ++a) {
    HT out[6];
    InputColumn(d, t[a], out);
    store(a, out);
  }
}

// V[pos][p][c..] = (B^T d B)[pos] for the 6 x 6 patch at column x of `rows`, channels [c0, c1).
template <class DT>
HWY_INLINE void InputBlock(DT d, const uint16_t* const* rows, ptrdiff_t x, int cin, int c0, int c1, float* vbuf,
                           int group, int p) {
  for (int c = c0; c < c1; c += int(hn::Lanes(d)))
    InputPatch(d, rows, x, cin, c, [&](int a, const Held<DT>* out) {
      for (int b = 0; b < 6; ++b) hn::StoreU(Get(out[b]), d, vbuf + (ptrdiff_t(a * 6 + b) * group + p) * cin + c);
    });
}

// The 4 x 4 outputs (A^T M A + bias, rectified) of block p, channels [k0, k1), stored as fp16 at
// `o` (output pixel rows `rowOut` apart).
template <class DT>
HWY_INLINE void OutputBlock(DT d, const float* mbuf, int group, int p, int cout, int k0, int k1, const float* bias,
                            bool relu, uint16_t* o, size_t rowOut) {
  using HT = Held<DT>;
  for (int k = k0; k < k1; k += int(hn::Lanes(d))) {
    HT s[4][6];  // s[a][j]: row a of A^T m, column j
    for (int j = 0; j < 6; ++j) {
      HT col[6], out[4];
      for (int r = 0; r < 6; ++r) col[r] = hn::LoadU(d, mbuf + (ptrdiff_t(r * 6 + j) * group + p) * cout + k);
      OutputColumn(d, col, out);
      for (int a = 0; a < 4; ++a) s[a][j] = out[a];
    }
    const hn::Vec<DT> b0 = hn::LoadU(d, bias + k);
    for (int a = 0; a < 4; ++a) {
      HT out[4];
      OutputColumn(d, s[a], out);
      for (int b = 0; b < 4; ++b) {
        hn::Vec<DT> v = hn::Add(Get(out[b]), b0);
        if (relu) v = hn::Max(v, hn::Zero(d));
        StoreAsHalves(d, v, o + size_t(a) * rowOut + ptrdiff_t(b) * cout + k);
      }
    }
  }
}

// Eight output channels on 16-lane targets: an 8-lane product would use half of each FMA. There
// the positions go in pairs q = 3 a + b (b < 3) of (a, b) and (a, b + 3), interleaved lane by lane
// (lane 2k + h: channel k of the pair's position h), so that one 16-lane FMA makes both, with the
// pair of V values fetched as one 64-bit broadcast. V2 is [q][block][slot][2], M2 [q][block][16],
// U2 follows U (winogradWeights); the input transform interleaves within 128-bit blocks, so the
// slots of a 16-channel run hold the channels kWinogradPairSlots (the sums run in that order).
#undef QO_PAIRED_EIGHT
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
#define QO_PAIRED_EIGHT 1

// The paired V2 of block p (cin a multiple of 16).
template <class DT>
HWY_INLINE void InputBlockPaired(DT d, const uint16_t* const* rows, ptrdiff_t x, int cin, float* v2, int group, int p) {
  for (int c = 0; c < cin; c += 16)
    InputPatch(d, rows, x, cin, c, [&](int a, const Held<DT>* out) {
      for (int b = 0; b < 3; ++b) {
        float* at = v2 + ((ptrdiff_t(a * 3 + b) * group + p) * cin + c) * 2;
        hn::StoreU(hn::InterleaveLower(d, Get(out[b]), Get(out[b + 3])), d, at);
        hn::StoreU(hn::InterleaveUpper(d, Get(out[b]), Get(out[b + 3])), d, at + 16);
      }
    });
}

// M2 for NP blocks and the three pairs q0 .. q0 + 2.
template <int NP, class DT>
HWY_INLINE void ProductPaired(DT d, const float* HWY_RESTRICT v2, const float* HWY_RESTRICT u2, int cin, int group,
                              float* HWY_RESTRICT m2) {
  const hn::Repartition<double, DT> dd;
  using HT = Held<DT>;
  const ptrdiff_t pairStride = ptrdiff_t(group) * cin * 2;  // floats from one pair's V2 to the next
  HT acc[NP][3];
  for (int p = 0; p < NP; ++p)
    for (int i = 0; i < 3; ++i) acc[p][i] = hn::Zero(d);
  for (int t = 0; t < cin; ++t) {
    HT w[3];
    for (int i = 0; i < 3; ++i) w[i] = hn::LoadU(d, u2 + (ptrdiff_t(i) * cin + t) * 16);
    for (int p = 0; p < NP; ++p)
      for (int i = 0; i < 3; ++i) {
        double two;
        memcpy(&two, v2 + i * pairStride + (ptrdiff_t(p) * cin + t) * 2, sizeof two);
        acc[p][i] = hn::MulAdd(Get(w[i]), hn::BitCast(d, hn::Set(dd, two)), Get(acc[p][i]));
      }
  }
  for (int p = 0; p < NP; ++p)
    for (int i = 0; i < 3; ++i) hn::StoreU(Get(acc[p][i]), d, m2 + (ptrdiff_t(i) * group + p) * 16);
}

template <class DT>
void ProductsPaired(DT d, const float* v2, const float* u2, int cin, float* m2, int np, int group) {
  for (int q = 0; q < 18; q += 3)
    for (int p0 = 0; p0 < np; p0 += 6)
      WithCount<6>(np - p0, [&](auto n) {
        ProductPaired<n()>(d, v2 + (ptrdiff_t(q) * group + p0) * cin * 2, u2 + ptrdiff_t(q) * cin * 16, cin, group,
                           m2 + (ptrdiff_t(q) * group + p0) * 16);
      });
}

// The 4 x 4 outputs of block p from M2: the column pass on the pairs (columns j and j + 3), then two
// output rows per vector (lanes 0..7 row a, 8..15 row a + 1). The values are those of OutputBlock.
template <class DT>
HWY_INLINE void OutputBlockPaired(DT d, const float* m2, int group, int p, const float* bias, bool relu, uint16_t* o,
                                  size_t rowOut) {
  using HT = Held<DT>;
  const hn::Half<DT> dh;
  HT s[4][3];  // s[a][j]: row a of A^T m at the columns j (even lanes) and j + 3 (odd lanes)
  for (int j = 0; j < 3; ++j) {
    HT col[6], out[4];
    for (int r = 0; r < 6; ++r) col[r] = hn::LoadU(d, m2 + (ptrdiff_t(r * 3 + j) * group + p) * 16);
    OutputColumn(d, col, out);
    for (int a = 0; a < 4; ++a) s[a][j] = out[a];
  }
  const hn::Vec<decltype(dh)> b8 = hn::LoadU(dh, bias);
  const hn::Vec<DT> b0 = hn::Combine(d, b8, b8);
  for (int a = 0; a < 4; a += 2) {
    HT row[6], out[4];  // lanes 0..7: row a, 8..15: row a + 1
    for (int j = 0; j < 3; ++j) {
      row[j] = hn::ConcatEven(d, Get(s[a + 1][j]), Get(s[a][j]));
      row[j + 3] = hn::ConcatOdd(d, Get(s[a + 1][j]), Get(s[a][j]));
    }
    OutputColumn(d, row, out);
    for (int b = 0; b < 4; ++b) {
      hn::Vec<DT> v = hn::Add(Get(out[b]), b0);
      if (relu) v = hn::Max(v, hn::Zero(d));
      StoreAsHalves(dh, hn::LowerHalf(dh, v), o + size_t(a) * rowOut + ptrdiff_t(b) * 8);
      StoreAsHalves(dh, hn::UpperHalf(dh, v), o + size_t(a + 1) * rowOut + ptrdiff_t(b) * 8);
    }
  }
}
#else
#define QO_PAIRED_EIGHT 0
#endif

// Channels [0, n) split into a run of wide vectors and a tail of narrow ones: the end of the run.
HWY_INLINE int WideEnd(int n) { return kProductLanes > kLanes ? n / kProductLanes * kProductLanes : 0; }

// Narrow maps (kWide false): one group is every block of up to `blockRows` block rows, so that the
// weights stream once per group; wide ones: groups of kGroup blocks along one block row, with the
// group a compile-time constant in the indexing.
template <bool kWide>
void RowsIn(const simd::ConvF16Layer& L, const simd::ConvF16Maps& m, int y0, int y1, float* stage) {
  const D d;
  const int W = m.width, cin = L.cin, cout = L.cout;
  const int perRow = W / 4, blockRows = kWide ? 1 : winogradBlockRows(W);
  const int group = kWide ? kGroup : std::max(kGroup, blockRows * perRow);
  const size_t rowIn = size_t(W + 2) * size_t(cin);
  const size_t rowOut = size_t(W + 2) * size_t(cout);
  float* const vbuf = stage;
  float* const mbuf = vbuf + size_t(36) * group * cin;
  [[maybe_unused]] const bool paired = QO_PAIRED_EIGHT && winogradPaired(cin, cout);
  const int inWide = WideEnd(cin), outWide = WideEnd(cout);
  for (int y = y0, nr; y < y1; y += 4 * nr) {  // output rows y .. y + 4 nr - 1 read input rows y .. y + 4 nr + 1
    nr = std::max(1, std::min(blockRows, (y1 - y) / 4));
    const int blocks = nr * perRow, step = kWide ? kGroup : blocks;
    for (int g = 0; g < blocks; g += step) {
      const int np = std::min(step, blocks - g);
      for (int p = 0; p < np; ++p) {
        const int q = g + p, top = y + 4 * (q / perRow);
        const ptrdiff_t x = ptrdiff_t(q % perRow) * 4;
        const uint16_t* rows[6];
        for (int r = 0; r < 6; ++r) rows[r] = m.in + size_t(top + r) * rowIn;
        // Fetch ahead the four columns the next block adds: the previous layer leaves the map in
        // the outer caches, and waiting on the six row streams cost the tile layers 4-10%.
        if (x + 10 <= W + 2)
          for (int r = 0; r < 6; ++r)
            for (int l = 0; l < 4 * cin; l += 32) __builtin_prefetch(rows[r] + (x + 6) * cin + l);
#if QO_PAIRED_EIGHT
        if (paired) {
          InputBlockPaired(DP(), rows, x, cin, vbuf, group, p);
          continue;
        }
#endif
        InputBlock(DP(), rows, x, cin, 0, inWide, vbuf, group, p);
        InputBlock(d, rows, x, cin, inWide, cin, vbuf, group, p);
      }
#if QO_PAIRED_EIGHT
      if (paired)
        ProductsPaired(DP(), vbuf, L.weights + size_t(36) * cin * cout, cin, mbuf, np, group);
      else
#endif
      if (kProductLanes > kLanes && cout % kProductLanes == 0)
        Products<kWide ? kGroup : 0>(DP(), vbuf, L.weights, cin, cout, mbuf, np, group);
      else if (kProductLanes == 2 * kLanes && cout % kProductLanes == kLanes && cout > kLanes)
        Products<kWide ? kGroup : 0, true>(DP(), vbuf, L.weights, cin, cout, mbuf, np, group);
      else
        Products<kWide ? kGroup : 0>(d, vbuf, L.weights, cin, cout, mbuf, np, group);
      for (int p = 0; p < np; ++p) {
        const int q = g + p, top = y + 4 * (q / perRow);
        const ptrdiff_t x = ptrdiff_t(q % perRow) * 4;
        uint16_t* o = m.out + size_t(top + 1) * rowOut + size_t(x + 1) * cout;
        if (x + 8 <= W)  // the next block's output lines, for writing (1-4% on the tile layers)
          for (int r = 0; r < 4; ++r)
            for (int l = 0; l < 4 * cout; l += 32) __builtin_prefetch(o + size_t(r) * rowOut + 4 * cout + l, 1);
#if QO_PAIRED_EIGHT
        if (paired) {
          OutputBlockPaired(DP(), mbuf, group, p, L.bias, L.relu, o, rowOut);
          continue;
        }
#endif
        OutputBlock(DP(), mbuf, group, p, cout, 0, outWide, L.bias, L.relu, o, rowOut);
        OutputBlock(d, mbuf, group, p, cout, outWide, cout, L.bias, L.relu, o, rowOut);
      }
    }
  }
}

}  // namespace

void WinogradRows(const simd::ConvF16Layer& L, const simd::ConvF16Maps& m, int y0, int y1, float* stage) {
  if (winogradBlockRows(m.width) > 1) RowsIn<false>(L, m, y0, y1, stage);
  else RowsIn<true>(L, m, y0, y1, stage);
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qo::simd {

HWY_EXPORT(WinogradRows);

void winogradRows(const ConvF16Layer& layer, const ConvF16Maps& maps, int y0, int y1, float* stage) {
  HWY_DYNAMIC_DISPATCH(WinogradRows)(layer, maps, y0, y1, stage);
}

void winogradWeights(const float* w9, int cin, int cout, float* u) {
  // U = G g G^T, G the 6 x 3 interpolation matrix at the points 0, 1, -1, 2, -2 and infinity.
  static const double G[6][3] = {{1.0 / 4, 0, 0},          {-1.0 / 6, -1.0 / 6, -1.0 / 6}, {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                 {1.0 / 24, 1.0 / 12, 1.0 / 6}, {1.0 / 24, -1.0 / 12, 1.0 / 6}, {0, 0, 1}};
  const size_t plane = size_t(cin) * size_t(cout);
  for (size_t e = 0; e < plane; ++e) {
    double g[3][3], t[6][3];
    for (int i = 0; i < 9; ++i) g[i / 3][i % 3] = w9[size_t(i) * plane + e];
    for (int a = 0; a < 6; ++a)
      for (int j = 0; j < 3; ++j) t[a][j] = G[a][0] * g[0][j] + G[a][1] * g[1][j] + G[a][2] * g[2][j];
    for (int a = 0; a < 6; ++a)
      for (int b = 0; b < 6; ++b)
        u[size_t(a * 6 + b) * plane + e] = float(t[a][0] * G[b][0] + t[a][1] * G[b][1] + t[a][2] * G[b][2]);
  }
  if (!winogradPaired(cin, cout)) return;
  float* const u2 = u + 36 * plane;
  for (int q = 0; q < 18; ++q) {
    const float* ua = u + size_t(q / 3 * 6 + q % 3) * plane;
    const float* ub = ua + 3 * plane;
    for (int c = 0; c < cin; c += 16)
      for (int s = 0; s < 16; ++s) {
        const size_t ci = size_t(c + kWinogradPairSlots[s]);
        float* row = u2 + (size_t(q) * cin + size_t(c + s)) * 16;
        for (int k = 0; k < 8; ++k) row[2 * k] = ua[ci * 8 + k], row[2 * k + 1] = ub[ci * 8 + k];
      }
  }
}

}  // namespace qo::simd
#endif  // HWY_ONCE
