// Row kernel of the Lanczos paste: composites output columns x0..x1 of one RGB24 frame row from a
// square float crop (4 floats per pixel) under a byte mask with bilinear coverage.
//
// Columns go in blocks of 64: positions and mask coverage for the whole block first, across
// vector lanes; then the tap sums of the live columns (qo_lanczos_taps-inl.h), two at a time
// where neighbours share their tap loads; then the blend, again across lanes, reading and
// writing the block's bytes at once. Columns whose coverage rounds to 0 cost only the mask
// lookup.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/qo_paste_simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compute/qo_lanczos_taps-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qo::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

HWY_INLINE uint8_t BlendToByte(uint8_t old, float sample, float alpha, float keep) {
  const float o = float(old) * keep + sample * alpha;
  // Clamped without branches, which noisy samples would mispredict; a NaN fails o >= 0.
  const float clamped = o >= 0.0f ? (o > 255.0f ? 255.0f : o) : 0.0f;
  return uint8_t(int(clamped));
}

HWY_INLINE float MaskAt(const uint8_t* HWY_RESTRICT mask, int side, int cx, int cy) {
  return (cx >= 0 && cx < side && cy >= 0 && cy < side) ? float(mask[ptrdiff_t(cy) * side + cx]) : 0.0f;
}

// Bilinear mask coverage at (ix + fx/32, iy + fy/32), rounded to an alpha in units of 1/255.
HWY_INLINE float CoverageAlpha(const uint8_t* HWY_RESTRICT mask, int side, const float* HWY_RESTRICT bilinTab, int ix,
                               int iy, int fx, int fy) {
  float m00, m10, m01, m11;
  if (ix >= 0 && ix + 1 < side && iy >= 0 && iy + 1 < side) {
    const uint8_t* HWY_RESTRICT p = mask + ptrdiff_t(iy) * side + ix;
    m00 = float(p[0]);
    m10 = float(p[1]);
    m01 = float(p[side]);
    m11 = float(p[side + 1]);
  } else {
    m00 = MaskAt(mask, side, ix, iy);
    m10 = MaskAt(mask, side, ix + 1, iy);
    m01 = MaskAt(mask, side, ix, iy + 1);
    m11 = MaskAt(mask, side, ix + 1, iy + 1);
  }
  const float a0 = bilinTab[2 * fx], a1 = bilinTab[2 * fx + 1];
  const float b0 = bilinTab[2 * fy], b1 = bilinTab[2 * fy + 1];
  const float top = (a1 * m10 + a0 * m00) * b0;
  const float m = (a1 * m11 + a0 * m01) * b1 + top;
  return std::rint(m) / 255.0f;
}

// Everything one call needs besides the column range.
struct Paste {
  const float* HWY_RESTRICT crop;
  int side;
  const uint8_t* HWY_RESTRICT mask;
  const float* HWY_RESTRICT lanczosTab;
  const float* HWY_RESTRICT bilinTab;
  const int* HWY_RESTRICT mapX;
  const int* HWY_RESTRICT mapY;
  int offX, offY;
  uint8_t* HWY_RESTRICT out;  // column x0
};

// Position, phases and coverage of one output column.
struct Column {
  int ix, iy, fx, fy;
  float alpha;
  bool live;  // inside the crop with coverage above zero
};

HWY_INLINE Column Locate(const Paste& p, int k) {
  const int px = p.mapX[k] + p.offX, py = p.mapY[k] + p.offY;
  Column c{px >> 10, py >> 10, (px & 1023) >> 5, (py & 1023) >> 5, 0.0f, false};
  if (!(px >= -1024 && c.ix < p.side && py >= -1024 && c.iy < p.side)) return c;
  c.alpha = CoverageAlpha(p.mask, p.side, p.bilinTab, c.ix, c.iy, c.fx, c.fy);
  c.live = !(c.alpha <= 0.0f);
  return c;
}

// Column k + 1 can share column k's tap loads.
HWY_MAYBE_UNUSED HWY_INLINE bool Pairs(int ix0, int iy0, int ix1, int iy1, int side) {
  return iy1 == iy0 && ix1 == ix0 + 1 && Interior(ix0, iy0, side) && Interior(ix1, iy1, side);
}

HWY_INLINE void Blend(uint8_t* HWY_RESTRICT out, const float* HWY_RESTRICT sample, float alpha) {
  const float keep = 1.0f - alpha;
  out[0] = BlendToByte(out[0], sample[0], alpha, keep);
  out[1] = BlendToByte(out[1], sample[1], alpha, keep);
  out[2] = BlendToByte(out[2], sample[2], alpha, keep);
}

// The Lanczos sample of one live column, channels in samples[0..2].
HWY_INLINE void Sample(const Paste& p, int ix, int iy, int fx, int fy, float* HWY_RESTRICT samples) {
  const float* HWY_RESTRICT wx = p.lanczosTab + kTaps * fx;
  const float* HWY_RESTRICT wy = p.lanczosTab + kTaps * fy;
#if HWY_TARGET == HWY_SCALAR
  LanczosSample(p.crop, p.side, wx, wy, ix, iy, samples);
#else
  hn::Store(Interior(ix, iy, p.side) ? LanczosInterior(RowsTag(), p.crop, p.side, wx, wy, ix, iy)
                                     : LanczosTested(p.crop, p.side, wx, wy, ix, iy),
            PixelTag(), samples);
#endif
}

// Per-block state: position, phases, coverage and samples of each column.
constexpr int kBlock = 64;

struct Block {
  alignas(32) int32_t ix[kBlock], iy[kBlock], fx[kBlock], fy[kBlock], live[kBlock];
  alignas(32) float alpha[kBlock];
  alignas(32) float sample[kBlock * kPixelFloats];  // column j's channels at 4 j
};

#if HWY_TARGET != HWY_SCALAR
using LaneTag = hn::CappedTag<int32_t, 8>;  // columns per vector step
#endif

// Positions and coverage of columns [k, k + n) into b.
void LocateBlock(const Paste& p, int k, int n, Block& b) {
  int j = 0;
#if HWY_TARGET != HWY_SCALAR
  const LaneTag di;
  const hn::Rebind<float, LaneTag> df;
  const int L = int(hn::Lanes(di));
  const auto k1023 = hn::Set(di, 1023);
  const auto below = hn::Set(di, -1025), sideV = hn::Set(di, p.side);
  for (; j + L <= n; j += L) {
    const auto px = hn::Add(hn::LoadU(di, p.mapX + k + j), hn::Set(di, p.offX));
    const auto py = hn::Add(hn::LoadU(di, p.mapY + k + j), hn::Set(di, p.offY));
    const auto ix = hn::ShiftRight<10>(px), iy = hn::ShiftRight<10>(py);
    const auto fx = hn::ShiftRight<5>(hn::And(px, k1023)), fy = hn::ShiftRight<5>(hn::And(py, k1023));
    const auto inside =
        hn::And(hn::And(hn::Gt(px, below), hn::Lt(ix, sideV)), hn::And(hn::Gt(py, below), hn::Lt(iy, sideV)));
    hn::Store(ix, di, b.ix + j);
    hn::Store(iy, di, b.iy + j);
    hn::Store(fx, di, b.fx + j);
    hn::Store(fy, di, b.fy + j);
    if (hn::AllFalse(di, inside)) {
      hn::Store(hn::Zero(di), di, b.live + j);
      continue;
    }
    // Mask samples (0 outside the mask) and bilinear weights, fetched lane by lane as pairs of
    // horizontal neighbours: the two mask bytes of a row in one u16, the two weights of a phase.
    const hn::Rebind<uint16_t, LaneTag> du16;
    const hn::RebindToUnsigned<LaneTag> du32;
    alignas(32) uint16_t maskTop[8], maskBottom[8];
    alignas(32) float weightX[16], weightY[16];
    alignas(32) int32_t in[8];
    hn::Store(hn::VecFromMask(di, inside), di, in);
    const auto bytePair = [](uint8_t left, uint8_t right) { return uint16_t(left | (right << 8)); };
    for (int l = 0; l < L; ++l) {
      const int x = b.ix[j + l], y = b.iy[j + l];
      const float* HWY_RESTRICT wx = p.bilinTab + 2 * b.fx[j + l];
      const float* HWY_RESTRICT wy = p.bilinTab + 2 * b.fy[j + l];
      weightX[2 * l] = wx[0];
      weightX[2 * l + 1] = wx[1];
      weightY[2 * l] = wy[0];
      weightY[2 * l + 1] = wy[1];
      if (!in[l]) {
        maskTop[l] = maskBottom[l] = 0;
      } else if (x >= 0 && x + 1 < p.side && y >= 0 && y + 1 < p.side) {
        const uint8_t* HWY_RESTRICT q = p.mask + ptrdiff_t(y) * p.side + x;
        maskTop[l] = bytePair(q[0], q[1]);
        maskBottom[l] = bytePair(q[p.side], q[p.side + 1]);
      } else {
        const auto at = [&](int cx, int cy) {
          return (cx >= 0 && cx < p.side && cy >= 0 && cy < p.side) ? p.mask[ptrdiff_t(cy) * p.side + cx] : uint8_t{0};
        };
        maskTop[l] = bytePair(at(x, y), at(x + 1, y));
        maskBottom[l] = bytePair(at(x, y + 1), at(x + 1, y + 1));
      }
    }
    hn::Vec<decltype(df)> A0, A1, B0, B1;
    hn::LoadInterleaved2(df, weightX, A0, A1);
    hn::LoadInterleaved2(df, weightY, B0, B1);
    const auto kByte = hn::Set(du32, 0xFFu);
    const auto top2 = hn::PromoteTo(du32, hn::Load(du16, maskTop));
    const auto bottom2 = hn::PromoteTo(du32, hn::Load(du16, maskBottom));
    const auto m00 = hn::ConvertTo(df, hn::BitCast(di, hn::And(top2, kByte)));
    const auto m10 = hn::ConvertTo(df, hn::BitCast(di, hn::ShiftRight<8>(top2)));
    const auto m01 = hn::ConvertTo(df, hn::BitCast(di, hn::And(bottom2, kByte)));
    const auto m11 = hn::ConvertTo(df, hn::BitCast(di, hn::ShiftRight<8>(bottom2)));
    const auto top = hn::Mul(hn::Add(hn::Mul(A1, m10), hn::Mul(A0, m00)), B0);
    const auto m = hn::Add(hn::Mul(hn::Add(hn::Mul(A1, m11), hn::Mul(A0, m01)), B1), top);
    const auto alpha = hn::Div(hn::Round(m), hn::Set(df, 255.0f));
    const auto live = hn::And(hn::RebindMask(df, inside), hn::Not(hn::Le(alpha, hn::Zero(df))));
    hn::Store(alpha, df, b.alpha + j);
    hn::Store(hn::VecFromMask(di, hn::RebindMask(di, live)), di, b.live + j);
  }
#endif
  for (; j < n; ++j) {
    const Column c = Locate(p, k + j);
    b.ix[j] = c.ix;
    b.iy[j] = c.iy;
    b.fx[j] = c.fx;
    b.fy[j] = c.fy;
    b.alpha[j] = c.alpha;
    b.live[j] = c.live;
  }
}

// Lanczos samples of the live columns of b.
void SampleBlock(const Paste& p, int n, Block& b) {
  for (int j = 0; j < n; ++j) {
    float* HWY_RESTRICT s = b.sample + j * kPixelFloats;
    if (!b.live[j]) {
      s[0] = s[1] = s[2] = s[3] = 0.0f;  // read, though not used, by the blend
      continue;
    }
#if HWY_TARGET != HWY_SCALAR
    if constexpr (hn::MaxLanes(RowsTag()) == 2 * kPixelFloats) {
      if (j + 1 < n && b.live[j + 1] && Pairs(b.ix[j], b.iy[j], b.ix[j + 1], b.iy[j + 1], p.side)) {
        LanczosInteriorPair(RowsTag(), p.crop, p.side, p.lanczosTab, b.ix[j], b.iy[j], b.fx[j], b.fy[j], b.fx[j + 1],
                            b.fy[j + 1], s);
        ++j;
        continue;
      }
    }
#endif
    Sample(p, b.ix[j], b.iy[j], b.fx[j], b.fy[j], s);
  }
}

// Blends the live columns of b into columns [k, k + n) of the row.
void BlendBlock(const Paste& p, int k, int n, const Block& b) {
  uint8_t* HWY_RESTRICT out = p.out + 3 * ptrdiff_t(k);
  int j = 0;
#if HWY_TARGET != HWY_SCALAR
  const LaneTag di;
  const hn::Rebind<float, LaneTag> df;
  const hn::Rebind<uint8_t, LaneTag> du8;
  const int L = int(hn::Lanes(di));
  for (; j + L <= n; j += L) {
    const auto live = hn::Ne(hn::Load(di, b.live + j), hn::Zero(di));
    if (hn::AllFalse(di, live)) continue;
    const auto alpha = hn::Load(df, b.alpha + j);
    const auto keep = hn::Sub(hn::Set(df, 1.0f), alpha);
    hn::Vec<decltype(du8)> old[3], blended[3];
    hn::LoadInterleaved3(du8, out + 3 * j, old[0], old[1], old[2]);
    hn::Vec<decltype(df)> sample[4];
    hn::LoadInterleaved4(df, b.sample + j * kPixelFloats, sample[0], sample[1], sample[2], sample[3]);
    for (int c = 0; c < 3; ++c) {
      const auto oldI = hn::PromoteTo(di, old[c]);
      const auto o = hn::Add(hn::Mul(hn::ConvertTo(df, oldI), keep), hn::Mul(sample[c], alpha));
      // 0 below zero or for NaN, 255 above 255, else truncated.
      const auto clamped = hn::IfThenElseZero(hn::Ge(o, hn::Zero(df)), hn::Min(o, hn::Set(df, 255.0f)));
      blended[c] = hn::DemoteTo(du8, hn::IfThenElse(live, hn::ConvertTo(di, clamped), oldI));
    }
    hn::StoreInterleaved3(blended[0], blended[1], blended[2], du8, out + 3 * j);
  }
#endif
  for (; j < n; ++j) {
    if (!b.live[j]) continue;
    Blend(out + 3 * j, b.sample + j * kPixelFloats, b.alpha[j]);
  }
}

}  // namespace

void PasteLanczos8Row(const float* HWY_RESTRICT crop, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT bilinTab,
                      const int* HWY_RESTRICT mapX, const int* HWY_RESTRICT mapY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT outRow) {
  const Paste p{crop, side, mask, lanczosTab, bilinTab, mapX, mapY, offX, offY, outRow + 3 * ptrdiff_t(x0)};
  Block b;
  for (int k = 0; k <= x1 - x0; k += kBlock) {
    const int n = x1 - x0 + 1 - k < kBlock ? x1 - x0 + 1 - k : kBlock;
    LocateBlock(p, k, n, b);
    SampleBlock(p, n, b);
    BlendBlock(p, k, n, b);
  }
}

}  // namespace qo::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "qo/qo_simd.h"

namespace qo::simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab, const float* bilinTab,
                      const int* mapX, const int* mapY, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)
  (crop, side, mask, lanczosTab, bilinTab, mapX, mapY, offX, offY, x0, x1, outRow);
}

}  // namespace qo::simd
#endif  // HWY_ONCE
