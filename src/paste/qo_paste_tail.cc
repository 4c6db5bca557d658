// The composite over the footprint rows: per-row fixed-point offsets, then either the SIMD
// Lanczos row kernel over the interleaved crop (which the sharpen pass has filled) or the plain
// bicubic / bilinear sampler over the planes. Rows are independent, so they split over the pool
// freely.
#include <cmath>
#include <cstddef>

#include "paste/qo_paste_impl.h"
#include "paste/qo_paste_tables.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"

namespace qo {
namespace {

constexpr int kOne = 1 << paste::kFracBits;
constexpr int kHalfPhase = 1 << (paste::kPhaseShift - 1);  // truncation to a phase then rounds

struct TailJob {
  const Paste::Impl* self;
  uint8_t* frame;
  size_t rowBytes;
  int x0, x1, y0;
  double dudy, dvdy, u0, v0;
};

// Where a frame pixel lands in the crop, in whole pixels and phases.
struct CropPos {
  int ix, iy, fx, fy;
};

// False when the position is more than a pixel before the crop or at/after its far edge.
inline bool cropPosition(int px, int py, int side, CropPos* pos) {
  const int ix = px >> paste::kFracBits, iy = py >> paste::kFracBits;
  if (!(px >= -kOne && ix < side && py >= -kOne && iy < side)) return false;
  *pos = {ix, iy, (px & (kOne - 1)) >> paste::kPhaseShift, (py & (kOne - 1)) >> paste::kPhaseShift};
  return true;
}

// The 2 x 2 mask samples at (ix, iy) .. (ix + 1, iy + 1) in the zero-bordered mask copy, so
// samples outside the crop read 0 without tests.
struct MaskQuad {
  const uint8_t* at;
  size_t stride;
  uint8_t m00() const { return at[0]; }
  uint8_t m10() const { return at[1]; }
  uint8_t m01() const { return at[stride]; }
  uint8_t m11() const { return at[stride + 1]; }
  bool empty() const { return (m00() | m10() | m01() | m11()) == 0; }
};

inline MaskQuad maskQuad(const Paste::Impl& p, int ix, int iy) {
  const size_t stride = size_t(p.side) + 2;
  return {p.maskBordered.data() + size_t(iy + 1) * stride + size_t(ix + 1), stride};
}

// Bilinear mask coverage rounded to 1/255 steps; same products and sums as the SIMD kernel.
inline float coverageAlpha(const MaskQuad& q, const float* bilin, const CropPos& p) {
  const float a0 = bilin[2 * p.fx], a1 = bilin[2 * p.fx + 1];
  const float b0 = bilin[2 * p.fy], b1 = bilin[2 * p.fy + 1];
  const float top = (a0 * float(q.m00()) + a1 * float(q.m10())) * b0;
  const float m = (a0 * float(q.m01()) + a1 * float(q.m11())) * b1 + top;
  return std::rint(m) / 255.0f;
}

// True when the column can change its pixel: inside the crop and some mask sample is not 0.
// Everything else the kernel leaves alone too, so trimming such columns changes nothing.
inline bool liveColumn(const Paste::Impl& p, int px, int py) {
  CropPos pos;
  return cropPosition(px, py, p.side, &pos) && !maskQuad(p, pos.ix, pos.iy).empty();
}

inline uint8_t blendByte(uint8_t old, float sample, float alpha) {
  const float o = float(old) * (1.0f - alpha) + alpha * sample;
  if (!(o >= 0.0f)) return 0;  // negative or not a number
  if (o > 255.0f) return 255;
  return uint8_t(o);
}

// Separable sample of the three planes over taps at offsets First .. First + Taps - 1 from
// (ix, iy): each tap row summed left to right, then the rows weighted top to bottom; taps
// outside the crop drop out and the weights are not renormalised.
template <int Taps, int First>
void edgeSample(const Paste::Impl& p, const float* wx, const float* wy, int ix, int iy, float out[3]) {
  const int side = p.side;
  for (int c = 0; c < 3; ++c) {
    const float* plane = p.planes[size_t(c)].data();
    float acc = 0.0f;
    for (int s = 0; s < Taps; ++s) {
      const int row = iy + First + s;
      if (row < 0 || row >= side) continue;
      const float* src = plane + size_t(row) * size_t(side);
      float r = 0.0f;
      for (int t = 0; t < Taps; ++t) {
        const int col = ix + First + t;
        if (col < 0 || col >= side) continue;
        r = r + src[col] * wx[t];
      }
      acc = acc + r * wy[s];
    }
    out[c] = acc;
  }
}

// The same sums with every tap inside the crop: no tests, channels side by side.
template <int Taps, int First>
void interiorSample(const Paste::Impl& p, const float* wx, const float* wy, int ix, int iy, float out[3]) {
  const size_t side = size_t(p.side);
  const size_t origin = size_t(iy + First) * side + size_t(ix + First);
  const float* planes[3] = {p.planes[0].data() + origin, p.planes[1].data() + origin, p.planes[2].data() + origin};
  float acc[3] = {0.0f, 0.0f, 0.0f};
  for (int s = 0; s < Taps; ++s) {
    float r[3] = {0.0f, 0.0f, 0.0f};
    for (int t = 0; t < Taps; ++t)
      for (int c = 0; c < 3; ++c) r[c] = r[c] + planes[c][size_t(s) * side + size_t(t)] * wx[t];
    for (int c = 0; c < 3; ++c) acc[c] = acc[c] + r[c] * wy[s];
  }
  for (int c = 0; c < 3; ++c) out[c] = acc[c];
}

template <int Taps, int First>
void plainRow(const Paste::Impl& p, const float* tab, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  const int side = p.side;
  for (int k = 0; k <= x1 - x0; ++k) {
    CropPos pos;
    if (!cropPosition(p.mapX[size_t(k)] + offX, p.mapY[size_t(k)] + offY, side, &pos)) continue;
    const MaskQuad quad = maskQuad(p, pos.ix, pos.iy);
    if (quad.empty()) continue;
    const float alpha = coverageAlpha(quad, p.bilinear.data(), pos);
    if (alpha <= 0.0f) continue;
    const float* wx = tab + Taps * pos.fx;
    const float* wy = tab + Taps * pos.fy;
    float sample[3];
    const bool interior = pos.ix + First >= 0 && pos.ix + First + Taps <= side && pos.iy + First >= 0 &&
                          pos.iy + First + Taps <= side;
    if (interior) {
      interiorSample<Taps, First>(p, wx, wy, pos.ix, pos.iy, sample);
    } else {
      edgeSample<Taps, First>(p, wx, wy, pos.ix, pos.iy, sample);
    }
    uint8_t* out = outRow + 3 * (size_t(x0) + size_t(k));
    for (int c = 0; c < 3; ++c) out[c] = blendByte(out[c], sample[c], alpha);
  }
}

// The Lanczos kernel over the live columns of one row only: dead columns at either end (off the
// crop, or under an empty mask) would cost it a position and a mask lookup each.
void lanczosRow(const Paste::Impl& p, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  const int* mapX = p.mapX.data();
  const int* mapY = p.mapY.data();
  int first = 0, last = x1 - x0;
  while (first <= last && !liveColumn(p, mapX[first] + offX, mapY[first] + offY)) ++first;
  while (last > first && !liveColumn(p, mapX[last] + offX, mapY[last] + offY)) --last;
  if (first > last) return;
  simd::pasteLanczos8Row(p.crop4.data(), p.side, p.mask.data(), p.lanczos.data(), p.bilinear.data(), mapX + first,
                         mapY + first, offX, offY, x0 + first, x0 + last, outRow);
}

}  // namespace

void Paste::Impl::bicubicRow(int offX, int offY, int x0, int x1, uint8_t* outRow) const {
  plainRow<4, -1>(*this, cubic.data(), offX, offY, x0, x1, outRow);
}

void Paste::Impl::bilinearRow(int offX, int offY, int x0, int x1, uint8_t* outRow) const {
  plainRow<2, 0>(*this, bilinear.data(), offX, offY, x0, x1, outRow);
}

void Paste::Impl::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double dudy, double dvdy,
                                double u0, double v0) {
  const TailJob job{this, frame, size_t(W) * 3, x0, x1, y0, dudy, dvdy, u0, v0};
  pool::parallelRange(size_t(y1 - y0) + 1, paste::kGrain, [&job](size_t b, size_t e) {
    const Paste::Impl& p = *job.self;
    for (size_t i = b; i < e; ++i) {
      const double Y = double(job.y0) + double(i);
      const int offX = int(std::rint((Y * job.dudy + job.u0) * kOne)) + kHalfPhase;
      const int offY = int(std::rint((Y * job.dvdy + job.v0) * kOne)) + kHalfPhase;
      uint8_t* row = job.frame + (size_t(job.y0) + i) * job.rowBytes;
      switch (p.fast) {
        case 1: p.bicubicRow(offX, offY, job.x0, job.x1, row); break;
        case 2: p.bilinearRow(offX, offY, job.x0, job.x1, row); break;
        default: lanczosRow(p, offX, offY, job.x0, job.x1, row);
      }
    }
  });
}

}  // namespace qo
