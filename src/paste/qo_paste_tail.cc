// The composite over the footprint rows: per-row fixed-point offsets, then either the SIMD
// Lanczos row kernel over the interleaved crop or the plain bicubic / bilinear sampler over the
// planes. Rows are independent, so they split over the pool freely.
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

struct InterleaveJob {
  Paste::Impl* self;
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

inline float maskAt(const uint8_t* mask, int side, int x, int y) {
  return x >= 0 && x < side && y >= 0 && y < side ? float(mask[size_t(y) * size_t(side) + size_t(x)]) : 0.0f;
}

// Bilinear mask coverage rounded to 1/255 steps; same products and sums as the SIMD kernel.
inline float coverageAlpha(const uint8_t* mask, int side, const float* bilin, const CropPos& p) {
  const float a0 = bilin[2 * p.fx], a1 = bilin[2 * p.fx + 1];
  const float b0 = bilin[2 * p.fy], b1 = bilin[2 * p.fy + 1];
  const float top = (a0 * maskAt(mask, side, p.ix, p.iy) + a1 * maskAt(mask, side, p.ix + 1, p.iy)) * b0;
  const float m = (a0 * maskAt(mask, side, p.ix, p.iy + 1) + a1 * maskAt(mask, side, p.ix + 1, p.iy + 1)) * b1 + top;
  return std::rint(m) / 255.0f;
}

inline uint8_t blendByte(uint8_t old, float sample, float alpha) {
  const float o = float(old) * (1.0f - alpha) + alpha * sample;
  if (!(o >= 0.0f)) return 0;  // negative or not a number
  if (o > 255.0f) return 255;
  return uint8_t(o);
}

// Separable sample over taps at offsets first .. first + Taps - 1 from (ix, iy): each tap row
// summed left to right, then the rows weighted top to bottom; taps outside the crop drop out
// and the weights are not renormalised.
template <int Taps, int First>
float separableSample(const float* plane, int side, const float* wx, const float* wy, int ix, int iy) {
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
  return acc;
}

template <int Taps, int First>
void plainRow(const Paste::Impl& p, const float* tab, int offX, int offY, int x0, int x1, uint8_t* outRow) {
  for (int k = 0; k <= x1 - x0; ++k) {
    CropPos pos;
    if (!cropPosition(p.mapX[size_t(k)] + offX, p.mapY[size_t(k)] + offY, p.side, &pos)) continue;
    const float alpha = coverageAlpha(p.mask.data(), p.side, p.bilinear.data(), pos);
    if (alpha <= 0.0f) continue;
    const float* wx = tab + Taps * pos.fx;
    const float* wy = tab + Taps * pos.fy;
    uint8_t* out = outRow + 3 * (size_t(x0) + size_t(k));
    for (int c = 0; c < 3; ++c) {
      const float sample = separableSample<Taps, First>(p.planes[size_t(c)].data(), p.side, wx, wy, pos.ix, pos.iy);
      out[c] = blendByte(out[c], sample, alpha);
    }
  }
}

}  // namespace

void Paste::Impl::bicubicRow(int offX, int offY, int x0, int x1, uint8_t* outRow) const {
  plainRow<4, -1>(*this, cubic.data(), offX, offY, x0, x1, outRow);
}

void Paste::Impl::bilinearRow(int offX, int offY, int x0, int x1, uint8_t* outRow) const {
  plainRow<2, 0>(*this, bilinear.data(), offX, offY, x0, x1, outRow);
}

void Paste::Impl::interleaveRows(size_t begin, size_t end) {
  const float *r = planes[0].data(), *g = planes[1].data(), *b = planes[2].data();
  for (size_t i = begin * size_t(side); i < end * size_t(side); ++i) {
    float* px = crop4.data() + 4 * i;
    px[0] = r[i];
    px[1] = g[i];
    px[2] = b[i];
    px[3] = 0.0f;
  }
}

void Paste::Impl::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double dudy, double dvdy,
                                double u0, double v0) {
  if (fast == 0) {
    InterleaveJob ij{this};
    pool::parallelRange(size_t(side), paste::kGrain, [&ij](size_t b, size_t e) { ij.self->interleaveRows(b, e); });
  }
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
        default:
          simd::pasteLanczos8Row(p.crop4.data(), p.side, p.mask.data(), p.lanczos.data(), p.bilinear.data(),
                                 p.mapX.data(), p.mapY.data(), offX, offY, job.x0, job.x1, row);
      }
    }
  });
}

}  // namespace qo
