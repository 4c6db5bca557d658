// Each tap row is summed left to right, then the rows are weighted top to bottom, products and
// sums rounded on their own; the interior path drops only the bounds tests.
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/qo_paste_plain.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "paste/qo_paste_pixel.h"
#include "paste/qo_paste_plain.h"

HWY_BEFORE_NAMESPACE();
namespace qo::paste::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kPixelFloats = 4;

#if HWY_TARGET == HWY_SCALAR

template <int Taps, int First, bool Tested>
HWY_INLINE void SamplePixel(const float* HWY_RESTRICT crop4, int side, const float* HWY_RESTRICT wx,
                            const float* HWY_RESTRICT wy, int ix, int iy, float* HWY_RESTRICT sample) {
  for (int c = 0; c < 3; ++c) {
    float acc = 0.0f;
    for (int s = 0; s < Taps; ++s) {
      const int row = iy + First + s;
      if (Tested && (row < 0 || row >= side)) continue;
      float r = 0.0f;
      for (int t = 0; t < Taps; ++t) {
        const int col = ix + First + t;
        if (Tested && (col < 0 || col >= side)) continue;
        r = r + crop4[(size_t(row) * size_t(side) + size_t(col)) * kPixelFloats + size_t(c)] * wx[t];
      }
      acc = acc + r * wy[s];
    }
    sample[c] = acc;
  }
}

#else

template <int Taps, int First, bool Tested>
HWY_INLINE void SamplePixel(const float* HWY_RESTRICT crop4, int side, const float* HWY_RESTRICT wx,
                            const float* HWY_RESTRICT wy, int ix, int iy, float* HWY_RESTRICT sample) {
  const hn::FixedTag<float, kPixelFloats> d;
  auto acc = hn::Zero(d);
  for (int s = 0; s < Taps; ++s) {
    const int row = iy + First + s;
    if (Tested && (row < 0 || row >= side)) continue;
    auto r = hn::Zero(d);
    for (int t = 0; t < Taps; ++t) {
      const int col = ix + First + t;
      if (Tested && (col < 0 || col >= side)) continue;
      const auto px = hn::LoadU(d, crop4 + (size_t(row) * size_t(side) + size_t(col)) * kPixelFloats);
      r = hn::Add(r, hn::Mul(px, hn::Set(d, wx[t])));
    }
    acc = hn::Add(acc, hn::Mul(r, hn::Set(d, wy[s])));
  }
  hn::StoreU(acc, d, sample);
}

#endif

template <int Taps, int First>
HWY_INLINE void Row(const PlainRowInputs& in, const float* HWY_RESTRICT tab, int offX, int offY, int x0, int x1,
                    uint8_t* HWY_RESTRICT outRow) {
  const int side = in.side;
  for (int k = 0; k <= x1 - x0; ++k) {
    CropPos pos;
    if (!cropPosition(in.mapX[k] + offX, in.mapY[k] + offY, side, &pos)) continue;
    const MaskQuad quad = maskQuad(in.maskBordered, side, pos.ix, pos.iy);
    if (quad.empty()) continue;
    const float alpha = coverageAlpha(quad, in.bilinear, pos);
    if (alpha <= 0.0f) continue;
    const float* wx = tab + Taps * pos.fx;
    const float* wy = tab + Taps * pos.fy;
    alignas(16) float sample[kPixelFloats];
    const bool interior = pos.ix + First >= 0 && pos.ix + First + Taps <= side && pos.iy + First >= 0 &&
                          pos.iy + First + Taps <= side;
    if (interior) {
      SamplePixel<Taps, First, false>(in.crop4, side, wx, wy, pos.ix, pos.iy, sample);
    } else {
      SamplePixel<Taps, First, true>(in.crop4, side, wx, wy, pos.ix, pos.iy, sample);
    }
    uint8_t* out = outRow + 3 * (size_t(x0) + size_t(k));
    for (int c = 0; c < 3; ++c) out[c] = blendByte(out[c], sample[c], alpha);
  }
}

}  // namespace

void BicubicRow(const PlainRowInputs& in, const float* cubic, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  Row<4, -1>(in, cubic, offX, offY, x0, x1, outRow);
}

void BilinearRow(const PlainRowInputs& in, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  Row<2, 0>(in, in.bilinear, offX, offY, x0, x1, outRow);
}

}  // namespace qo::paste::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qo::paste {

HWY_EXPORT(BicubicRow);
HWY_EXPORT(BilinearRow);

void bicubicRow(const PlainRowInputs& in, const float* cubic, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(BicubicRow)(in, cubic, offX, offY, x0, x1, outRow);
}

void bilinearRow(const PlainRowInputs& in, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(BilinearRow)(in, offX, offY, x0, x1, outRow);
}

}  // namespace qo::paste
#endif  // HWY_ONCE
