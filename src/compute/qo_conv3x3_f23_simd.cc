// 3x3 convolution by the 2x2-output minimal-filtering transform, one image at a time.
//
// The image is walked in rows of 2x2 output tiles, kTiles tiles at a time. For each run the 4x4
// input patch of every tile and channel goes through B^T d B (16 values), the 16 values are
// multiplied by the transformed kernels as 16 small matrix products over the input channels, and
// A^T m A turns the 16 sums into the tile's 2x2 outputs. Lanes hold neighbouring tiles, so a
// vector computes exactly what each of its tiles would alone: every target gives the same bits.
// A run's transformed inputs and products (2 x 48 KiB at 16 channels) stay in the second-level
// cache, and the bias and ReLU are applied as the outputs are stored.
#include <algorithm>
#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_conv3x3_f23_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_held_vec-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

using Tag = hn::CappedTag<float, 8>;
constexpr int kTiles = 48;           // most tiles per run, a multiple of every lane count of Tag
constexpr int kCoutChunk = 16;       // output channels per product pass
constexpr int kMaxCin = 16;
constexpr int kRowPad = kTiles + 8;  // one patch column past the run plus a vector of slack

// kG output channels of one transform position over kV vectors of tiles from t on:
// m[g][t] = sum over ci of u[g][ci] * v[ci][t], channels in ascending order.
template <int kG, int kV>
HWY_INLINE void Products(Tag d, const float* HWY_RESTRICT u, int cin, const float* HWY_RESTRICT v,
                         float* HWY_RESTRICT m, size_t t) {
  const size_t L = hn::Lanes(d);
  Held<Tag> acc[kG][kV];
  for (int g = 0; g < kG; ++g)
    for (int i = 0; i < kV; ++i) acc[g][i] = hn::Zero(d);
  for (int ci = 0; ci < cin; ++ci) {
    Held<Tag> x[kV];
    for (int i = 0; i < kV; ++i) x[i] = hn::Load(d, v + ci * kTiles + t + i * L);
    for (int g = 0; g < kG; ++g) {
      const auto w = hn::Set(d, u[g * cin + ci]);
      for (int i = 0; i < kV; ++i) acc[g][i] = hn::Add(acc[g][i], hn::Mul(w, x[i]));
    }
  }
  for (int g = 0; g < kG; ++g)
    for (int i = 0; i < kV; ++i) hn::Store(acc[g][i], d, m + g * kTiles + t + i * L);
}

// Products over the first nt tiles (a multiple of the lane count): pairs of vectors, then one.
template <int kG>
HWY_INLINE void ProductsRun(Tag d, const float* HWY_RESTRICT u, int cin, const float* HWY_RESTRICT v,
                            float* HWY_RESTRICT m, size_t nt) {
  const size_t L = hn::Lanes(d);
  size_t t = 0;
  for (; t + 2 * L <= nt; t += 2 * L) Products<kG, 2>(d, u, cin, v, m, t);
  if (t < nt) Products<kG, 1>(d, u, cin, v, m, t);
}

}  // namespace

void Conv3x3F23(const float* HWY_RESTRICT in, int cin, int H, int W, const float* HWY_RESTRICT u,
                const float* HWY_RESTRICT bias, int cout, bool relu, float* HWY_RESTRICT out) {
  if (cin < 1 || cin > kMaxCin || cout < 1 || H < 1 || W < 1) return;
  const Tag d;
  const size_t L = hn::Lanes(d);
  const ptrdiff_t plane = ptrdiff_t(H) * W;
  const int tileRows = (H + 1) / 2, tileCols = (W + 1) / 2;
  alignas(64) float v[16 * kMaxCin * kTiles];     // [pos][ci][tile]
  alignas(64) float m[16 * kCoutChunk * kTiles];  // [pos][oc][tile]
  alignas(64) float even[4][kRowPad], odd[4][kRowPad], padded[2 * kRowPad];
  alignas(64) float rowOut[2][2 * kTiles];
  const auto zero = hn::Zero(d);

  // Runs of equal length, each rounded up to whole vectors.
  const int runs = (tileCols + kTiles - 1) / kTiles;
  const int run = (tileCols + runs - 1) / runs;
  for (int ty = 0; ty < tileRows; ++ty) {
    for (int tx0 = 0; tx0 < tileCols; tx0 += run) {
      const size_t nt = (size_t(std::min(run, tileCols - tx0)) + L - 1) / L * L;
      // Patch column c of tile tx0 + t is input column 2 (tx0 + t) + c - 1: the even patch
      // columns come from even[], the odd ones from odd[], the next tile's starting one further.
      // The padded input row from column 2 tx0 - 1 on, split into its even and odd columns.
      const int xFirst = 2 * tx0 - 1, span = 2 * (int(nt) + int(L));
      const int c0 = std::max(xFirst, 0), c1 = std::min(xFirst + span, W);
      for (int ci = 0; ci < cin; ++ci) {
        for (int r = 0; r < 4; ++r) {
          const int y = 2 * ty + r - 1;
          if (y < 0 || y >= H) {
            std::fill(even[r], even[r] + kRowPad, 0.0f);
            std::fill(odd[r], odd[r] + kRowPad, 0.0f);
            continue;
          }
          std::fill(padded, padded + span, 0.0f);
          if (c1 > c0) std::memcpy(padded + (c0 - xFirst), in + ci * plane + ptrdiff_t(y) * W + c0,
                                   size_t(c1 - c0) * sizeof(float));
          for (size_t t = 0; t < nt + L; t += L) {
            auto e = hn::Zero(d), o = hn::Zero(d);
            hn::LoadInterleaved2(d, padded + 2 * t, e, o);
            hn::Store(e, d, even[r] + t);
            hn::Store(o, d, odd[r] + t);
          }
        }
        for (size_t t = 0; t < nt; t += L) {
          Held<Tag> a[4][4];
          for (int r = 0; r < 4; ++r) {  // B^T along the patch columns
            const auto d0 = hn::Load(d, even[r] + t), d1 = hn::Load(d, odd[r] + t);
            const auto d2 = hn::LoadU(d, even[r] + t + 1), d3 = hn::LoadU(d, odd[r] + t + 1);
            a[r][0] = hn::Sub(d0, d2);
            a[r][1] = hn::Add(d1, d2);
            a[r][2] = hn::Sub(d2, d1);
            a[r][3] = hn::Sub(d1, d3);
          }
          float* dst = v + ci * kTiles + t;
          const ptrdiff_t pos = ptrdiff_t(kMaxCin) * kTiles;
          for (int c = 0; c < 4; ++c) {  // and along the patch rows
            hn::Store(hn::Sub(a[0][c], a[2][c]), d, dst + (0 * 4 + c) * pos);
            hn::Store(hn::Add(a[1][c], a[2][c]), d, dst + (1 * 4 + c) * pos);
            hn::Store(hn::Sub(a[2][c], a[1][c]), d, dst + (2 * 4 + c) * pos);
            hn::Store(hn::Sub(a[1][c], a[3][c]), d, dst + (3 * 4 + c) * pos);
          }
        }
      }

      const int x0 = 2 * tx0, x1 = std::min(W, 2 * (tx0 + run));
      for (int oc0 = 0; oc0 < cout; oc0 += kCoutChunk) {
        const int n = std::min(kCoutChunk, cout - oc0);
        for (int p = 0; p < 16; ++p) {
          const float* up = u + (ptrdiff_t(p) * cout + oc0) * cin;
          const float* vp = v + ptrdiff_t(p) * kMaxCin * kTiles;
          float* mp = m + ptrdiff_t(p) * kCoutChunk * kTiles;
          int g = 0;  // six channels share each tile load where they can: 12 sums in flight
          for (; g + 6 <= n; g += 6) ProductsRun<6>(d, up + g * cin, cin, vp, mp + g * kTiles, nt);
          for (; g + 4 <= n; g += 4) ProductsRun<4>(d, up + g * cin, cin, vp, mp + g * kTiles, nt);
          for (; g < n; ++g) ProductsRun<1>(d, up + g * cin, cin, vp, mp + g * kTiles, nt);
        }
        for (int g = 0; g < n; ++g) {
          const auto b = hn::Set(d, bias[oc0 + g]);
          for (size_t t = 0; t < nt; t += L) {
            Held<Tag> s[2][4];
            for (int c = 0; c < 4; ++c) {  // A^T along the rows of the 4x4 sums
              const auto m0 = hn::Load(d, m + ((0 * 4 + c) * kCoutChunk + g) * kTiles + t);
              const auto m1 = hn::Load(d, m + ((1 * 4 + c) * kCoutChunk + g) * kTiles + t);
              const auto m2 = hn::Load(d, m + ((2 * 4 + c) * kCoutChunk + g) * kTiles + t);
              const auto m3 = hn::Load(d, m + ((3 * 4 + c) * kCoutChunk + g) * kTiles + t);
              s[0][c] = hn::Add(hn::Add(m0, m1), m2);
              s[1][c] = hn::Sub(hn::Sub(m1, m2), m3);
            }
            for (int r = 0; r < 2; ++r) {  // and along the columns
              auto y0 = hn::Add(b, hn::Add(hn::Add(s[r][0], s[r][1]), s[r][2]));
              auto y1 = hn::Add(b, hn::Sub(hn::Sub(s[r][1], s[r][2]), s[r][3]));
              if (relu) {
                y0 = hn::Max(y0, zero);
                y1 = hn::Max(y1, zero);
              }
              hn::StoreInterleaved2(y0, y1, d, rowOut[r] + 2 * t);
            }
          }
          for (int r = 0; r < 2; ++r) {
            const int y = 2 * ty + r;
            if (y < H)
              std::memcpy(out + (oc0 + g) * plane + ptrdiff_t(y) * W + x0, rowOut[r], size_t(x1 - x0) * sizeof(float));
          }
        }
      }
    }
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_conv_f23.h"

namespace qo::simd {

HWY_EXPORT(Conv3x3F23);

size_t conv3x3F23WeightFloats(int cin, int cout) { return cin > 0 && cout > 0 ? size_t(16) * cin * cout : 0; }

void conv3x3F23Weights(const float* weights, int cin, int cout, float* u) {
  // G g G^T with G = [1 0 0; 1/2 1/2 1/2; 1/2 -1/2 1/2; 0 0 1].
  static const double G[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
  for (int oc = 0; oc < cout; ++oc)
    for (int ci = 0; ci < cin; ++ci) {
      const float* g = weights + (ptrdiff_t(oc) * cin + ci) * 9;
      double gg[4][3];
      for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 3; ++k) gg[i][k] = G[i][0] * g[k] + G[i][1] * g[3 + k] + G[i][2] * g[6 + k];
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
          const double t = gg[i][0] * G[j][0] + gg[i][1] * G[j][1] + gg[i][2] * G[j][2];
          u[(ptrdiff_t(i * 4 + j) * cout + oc) * cin + ci] = float(t);
        }
    }
}

void conv3x3F23(const float* in, int cin, int H, int W, const float* u, const float* bias, int cout, bool relu,
                float* out) {
  HWY_DYNAMIC_DISPATCH(Conv3x3F23)(in, cin, H, W, u, bias, cout, relu, out);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
