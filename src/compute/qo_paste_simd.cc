// Row kernel of the Lanczos paste: composites output columns x0..x1 of one RGB24 frame row from a
// square float crop (4 floats per pixel) under a byte mask with bilinear coverage.
//
// Columns go in blocks of 64: positions and mask coverage for the whole block first, across
// vector lanes, which also lists the live columns (inside the crop, coverage above zero); then
// the tap sums of the live columns two at a time, one per vector half (qo_lanczos_taps-inl.h);
// then the blend, again across lanes, reading and writing the block's bytes at once. A dead
// column costs only its share of the vector position and coverage steps.
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

constexpr int kPhases = 32;

// Per-block state: position, phases, coverage and samples of each column, and the live columns.
constexpr int kBlock = 64;

struct Block {
  alignas(32) int32_t ix[kBlock], iy[kBlock], fx[kBlock], fy[kBlock], liveFlag[kBlock];
  alignas(32) float alpha[kBlock];
  alignas(32) float sample[kBlock * kPixelFloats];  // column j's channels at 4 j
  alignas(32) int32_t live[kBlock];                 // indices of the live columns, ascending
  alignas(32) int32_t interior[kBlock];             // nonzero: all 64 taps of the column inside the crop
  alignas(32) int32_t base[kBlock];                 // interior columns: crop offset of the first tap's floats
  alignas(32) float bilinFirst[kPhases], bilinSecond[kPhases];  // the bilinear table's two columns
  int liveCount;
  int side;  // of the crop
};

#if HWY_TARGET != HWY_SCALAR
using LaneTag = hn::CappedTag<int32_t, 8>;  // columns per vector step

// For each 8-bit lane mask, the indices of its set lanes in ascending order (the rest 0).
struct LaneLists {
  uint8_t at[256][8];
  constexpr LaneLists() : at{} {
    for (int m = 0; m < 256; ++m) {
      int n = 0;
      for (int l = 0; l < 8; ++l) {
        if (m >> l & 1) at[m][n++] = uint8_t(l);
      }
    }
  }
};
constexpr LaneLists kLaneLists;

// table[f] per lane for phases f (0 .. 31), the table read as 32 / Lanes() vectors: a lookup
// within each, the lane's own kept. LaneTag vectors hold 4 or 8 lanes.
template <class DF>
HWY_INLINE hn::Vec<DF> PhaseLookup(DF df, const float* HWY_RESTRICT table, hn::Vec<LaneTag> f) {
  const LaneTag di;
  const int L = int(hn::Lanes(df));
  const auto low = hn::IndicesFromVec(df, hn::And(f, hn::Set(di, L - 1)));
  const auto run = L == 8 ? hn::ShiftRight<3>(f) : hn::ShiftRight<2>(f);
  auto v = hn::TableLookupLanes(hn::Load(df, table), low);
  for (int k = 1; k < kPhases / L; ++k) {
    v = hn::IfThenElse(hn::RebindMask(df, hn::Eq(run, hn::Set(di, k))),
                       hn::TableLookupLanes(hn::Load(df, table + k * L), low), v);
  }
  return v;
}
#endif

HWY_INLINE void Record(const Column& c, int j, Block& b) {
  b.ix[j] = c.ix;
  b.iy[j] = c.iy;
  b.fx[j] = c.fx;
  b.fy[j] = c.fy;
  b.alpha[j] = c.alpha;
  b.liveFlag[j] = c.live ? -1 : 0;
  b.interior[j] = Interior(c.ix, c.iy, b.side);
  b.base[j] = b.interior[j] ? ((c.iy - kTapsBefore) * b.side + (c.ix - kTapsBefore)) * kPixelFloats : 0;
  if (c.live) b.live[b.liveCount++] = j;
}

// Positions and coverage of columns [k, k + n) into b.
void LocateBlock(const Paste& p, int k, int n, Block& b) {
  b.liveCount = 0;
  int j = 0;
#if HWY_TARGET != HWY_SCALAR
  const LaneTag di;
  const hn::Rebind<float, LaneTag> df;
  const int L = int(hn::Lanes(di));
  const auto k1023 = hn::Set(di, 1023), kByte = hn::Set(di, 0xFF);
  const auto below = hn::Set(di, -1025), sideV = hn::Set(di, p.side), zero = hn::Zero(di), minus1 = hn::Set(di, -1);
  const auto lastColumn = hn::Set(di, p.side - 1), lastRow = hn::Set(di, p.side - 1);
  const auto tapsBefore = hn::Set(di, kTapsBefore - 1), tapsAfter = hn::Set(di, p.side - (kTaps - kTapsBefore));
  for (; j + L <= n; j += L) {
    const auto px = hn::Add(hn::LoadU(di, p.mapX + k + j), hn::Set(di, p.offX));
    const auto py = hn::Add(hn::LoadU(di, p.mapY + k + j), hn::Set(di, p.offY));
    const auto ix = hn::ShiftRight<10>(px), iy = hn::ShiftRight<10>(py);
    const auto inside =
        hn::And(hn::And(hn::Gt(px, below), hn::Lt(ix, sideV)), hn::And(hn::Gt(py, below), hn::Lt(iy, sideV)));
    if (hn::AllFalse(di, inside)) {
      hn::Store(zero, di, b.liveFlag + j);
      continue;
    }
    const auto fx = hn::ShiftRight<5>(hn::And(px, k1023)), fy = hn::ShiftRight<5>(hn::And(py, k1023));
    // Away from the last column and row all 2 x 2 mask samples lie inside the mask; elsewhere
    // the lanes go one by one.
    const auto away = hn::And(hn::And(hn::Gt(ix, minus1), hn::Lt(ix, lastColumn)),
                              hn::And(hn::Gt(iy, minus1), hn::Lt(iy, lastRow)));
    hn::Store(ix, di, b.ix + j);
    hn::Store(iy, di, b.iy + j);
    hn::Store(fx, di, b.fx + j);
    hn::Store(fy, di, b.fy + j);
    const auto interior = hn::And(hn::And(hn::Gt(ix, tapsBefore), hn::Lt(ix, tapsAfter)),
                                  hn::And(hn::Gt(iy, tapsBefore), hn::Lt(iy, tapsAfter)));
    hn::Store(hn::VecFromMask(di, interior), di, b.interior + j);
    // Wraps for columns far outside the crop, whose offsets are never used.
    const auto firstTap = hn::Set(di, kTapsBefore);
    hn::Store(hn::ShiftLeft<2>(hn::Add(hn::Mul(hn::Sub(iy, firstTap), sideV), hn::Sub(ix, firstTap))), di, b.base + j);
    if (!hn::AllTrue(di, away)) {
      for (int l = 0; l < L; ++l) Record(Locate(p, k + j + l), j + l, b);
      continue;
    }
    // The two mask bytes of each row in the low half of a 32-bit gather, which may read two
    // bytes past them: lane by lane where that would pass the mask's end.
    const auto at = hn::Add(hn::Mul(iy, sideV), ix);
    hn::Vec<LaneTag> top, bottom;
    if (hn::AllTrue(di, hn::Lt(at, hn::Set(di, p.side * p.side - p.side - 3)))) {
      const int32_t* HWY_RESTRICT bytes = reinterpret_cast<const int32_t*>(p.mask);
      top = hn::GatherOffset(di, bytes, at);
      bottom = hn::GatherOffset(di, bytes, hn::Add(at, sideV));
    } else {
      alignas(32) int32_t offsets[8], maskTop[8], maskBottom[8];
      hn::Store(at, di, offsets);
      for (int l = 0; l < L; ++l) {
        const uint8_t* HWY_RESTRICT q = p.mask + offsets[l];
        maskTop[l] = q[0] | q[1] << 8;
        maskBottom[l] = q[p.side] | q[p.side + 1] << 8;
      }
      top = hn::Load(di, maskTop);
      bottom = hn::Load(di, maskBottom);
    }
    top = hn::And(top, hn::Set(di, 0xFFFF));
    bottom = hn::And(bottom, hn::Set(di, 0xFFFF));
    const auto m00 = hn::ConvertTo(df, hn::And(top, kByte));
    const auto m10 = hn::ConvertTo(df, hn::ShiftRight<8>(top));
    const auto m01 = hn::ConvertTo(df, hn::And(bottom, kByte));
    const auto m11 = hn::ConvertTo(df, hn::ShiftRight<8>(bottom));
    // The weights of each lane's phases, by table lookups within vectors.
    const auto A0 = PhaseLookup(df, b.bilinFirst, fx), A1 = PhaseLookup(df, b.bilinSecond, fx);
    const auto B0 = PhaseLookup(df, b.bilinFirst, fy), B1 = PhaseLookup(df, b.bilinSecond, fy);
    const auto upper = hn::Mul(hn::Add(hn::Mul(A1, m10), hn::Mul(A0, m00)), B0);
    const auto m = hn::Add(hn::Mul(hn::Add(hn::Mul(A1, m11), hn::Mul(A0, m01)), B1), upper);
    const auto alpha = hn::Div(hn::Round(m), hn::Set(df, 255.0f));
    // Every lane is inside the crop here.
    const auto live = hn::RebindMask(di, hn::Not(hn::Le(alpha, hn::Zero(df))));
    hn::Store(alpha, df, b.alpha + j);
    hn::Store(hn::VecFromMask(di, live), di, b.liveFlag + j);
    // Appends the live lanes' columns; the store may run past them, never past the block.
    uint8_t bits[8];
    hn::StoreMaskBits(di, live, bits);
    const hn::Rebind<uint8_t, LaneTag> du8;
    hn::StoreU(hn::Add(hn::PromoteTo(di, hn::LoadU(du8, kLaneLists.at[bits[0]])), hn::Set(di, j)), di,
               b.live + b.liveCount);
    b.liveCount += __builtin_popcount(bits[0]);
  }
#endif
  for (; j < n; ++j) Record(Locate(p, k + j), j, b);
}

// Lanczos samples of the live columns of b, two interior columns at a time where the vectors
// hold two pixels.
void SampleBlock(const Paste& p, Block& b) {
  for (int q = 0; q < b.liveCount;) {
    const int j = b.live[q];
#if HWY_TARGET != HWY_SCALAR
    if constexpr (hn::MaxLanes(RowsTag()) == 2 * kPixelFloats) {
      if (q + 1 < b.liveCount) {
        const int i = b.live[q + 1];
        if (b.interior[j] & b.interior[i]) {
          LanczosInteriorPair(RowsTag(), p.crop, p.side, b.base[j], b.base[i], p.lanczosTab + kTaps * b.fx[j],
                              p.lanczosTab + kTaps * b.fy[j], p.lanczosTab + kTaps * b.fx[i],
                              p.lanczosTab + kTaps * b.fy[i], b.sample + j * kPixelFloats, b.sample + i * kPixelFloats);
          q += 2;
          continue;
        }
      }
    }
#endif
    Sample(p, b.ix[j], b.iy[j], b.fx[j], b.fy[j], b.sample + j * kPixelFloats);
    ++q;
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
    const auto live = hn::Ne(hn::Load(di, b.liveFlag + j), hn::Zero(di));
    if (hn::AllFalse(di, live)) continue;
    const auto alpha = hn::Load(df, b.alpha + j);
    const auto keep = hn::Sub(hn::Set(df, 1.0f), alpha);
    using VU8 = hn::Vec<decltype(du8)>;
    using VF = hn::Vec<decltype(df)>;
    VU8 old0, old1, old2;  // named, not an array: SVE vectors cannot be array elements
    hn::LoadInterleaved3(du8, out + 3 * j, old0, old1, old2);
    VF sample0, sample1, sample2, sample3;
    hn::LoadInterleaved4(df, b.sample + j * kPixelFloats, sample0, sample1, sample2, sample3);
    const auto blendChannel = [&](VU8 old, VF sample) {
      const auto oldI = hn::PromoteTo(di, old);
      const auto o = hn::Add(hn::Mul(hn::ConvertTo(df, oldI), keep), hn::Mul(sample, alpha));
      // 0 below zero or for NaN, 255 above 255, else truncated.
      const auto clamped = hn::IfThenElseZero(hn::Ge(o, hn::Zero(df)), hn::Min(o, hn::Set(df, 255.0f)));
      return hn::DemoteTo(du8, hn::IfThenElse(live, hn::ConvertTo(di, clamped), oldI));
    };
    const VU8 blended0 = blendChannel(old0, sample0), blended1 = blendChannel(old1, sample1);
    const VU8 blended2 = blendChannel(old2, sample2);
    hn::StoreInterleaved3(blended0, blended1, blended2, du8, out + 3 * j);
  }
#endif
  for (; j < n; ++j) {
    if (!b.liveFlag[j]) continue;
    Blend(out + 3 * j, b.sample + j * kPixelFloats, b.alpha[j]);
  }
}

}  // namespace

void PasteLanczos8Row(const float* HWY_RESTRICT crop, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTab, const float* HWY_RESTRICT bilinTab,
                      const int* HWY_RESTRICT mapX, const int* HWY_RESTRICT mapY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT outRow) {
  const Paste p{crop, side, mask, lanczosTab, bilinTab, mapX, mapY, offX, offY, outRow + 3 * ptrdiff_t(x0)};
  // Zeroed once: the vector blend reads the samples of dead columns too, then drops them.
  Block b = {};
  b.side = side;
  for (int f = 0; f < kPhases; ++f) {
    b.bilinFirst[f] = bilinTab[2 * f];
    b.bilinSecond[f] = bilinTab[2 * f + 1];
  }
  for (int k = 0; k <= x1 - x0; k += kBlock) {
    const int n = x1 - x0 + 1 - k < kBlock ? x1 - x0 + 1 - k : kBlock;
    LocateBlock(p, k, n, b);
    SampleBlock(p, b);
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
