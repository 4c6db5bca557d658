// Unsharp mask of the crop planes: mirror padding, a separable Gaussian blur and
// v (1 + amount) - blur amount, clamped to 0..255. Every pass runs over the pool; sums run in
// tap order from 0 so the result does not depend on how the rows are split.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "paste/qo_paste_impl.h"
#include "paste/qo_paste_settings.h"
#include "qo/qo_pool.h"

namespace qo {
namespace {

// Mirror without repeating the edge: -1 -> 1, n -> n - 2. The constructor keeps the reach
// (ksize / 2) below n, so one reflection always lands inside.
inline int reflect(int i, int n) { return i < 0 ? -i : i >= n ? 2 * n - 2 - i : i; }

struct FillJob {
  Paste::Impl* self;
  const float* crop;
  float scale;
};

struct PlaneJob {
  Paste::Impl* self;
  float* plane;
};

}  // namespace

void Paste::Impl::fillRows(const float* crop, float scale, size_t begin, size_t end) {
  const size_t plane = size_t(side) * size_t(side);
  for (size_t c = 0; c < planes.size(); ++c) {
    const float* src = crop + c * plane;
    float* dst = planes[c].data();
    for (size_t i = begin * size_t(side); i < end * size_t(side); ++i) dst[i] = src[i] * scale;
  }
}

void Paste::Impl::fillPlanes(const float* crop, float scale) {
  const FillJob job{this, crop, scale};
  pool::parallelRange(size_t(side), paste::kGrain,
                      [&job](size_t b, size_t e) { job.self->fillRows(job.crop, job.scale, b, e); });
}

void Paste::Impl::padRows(const float* plane, size_t begin, size_t end) {
  const int r = ksize / 2;
  for (size_t i = begin; i < end; ++i) {
    const float* src = plane + size_t(reflect(int(i) - r, side)) * size_t(side);
    float* dst = pad.data() + i * size_t(padded);
    for (int j = 0; j < r; ++j) dst[j] = src[reflect(j - r, side)];
    std::memcpy(dst + r, src, size_t(side) * sizeof(float));
    for (int j = r + side; j < padded; ++j) dst[j] = src[reflect(j - r, side)];
  }
}

// Only the first `side` entries of each padded row are ever read by the vertical pass; the
// rest of blurH stays 0 from construction.
void Paste::Impl::blurRows(size_t begin, size_t end) {
  const size_t n = size_t(side);
  for (size_t i = begin; i < end; ++i) {
    const float* src = pad.data() + i * size_t(padded);
    float* dst = blurH.data() + i * size_t(padded);
    std::fill(dst, dst + n, 0.0f);
    for (int k = 0; k < ksize; ++k) {
      const float g = gauss[size_t(k)];
      const float* s = src + k;
      for (size_t x = 0; x < n; ++x) dst[x] = dst[x] + g * s[x];
    }
  }
}

void Paste::Impl::sharpenRows(float* plane, size_t begin, size_t end) {
  const size_t n = size_t(side);
  const float gain = 1.0f + amount;
  float blur[paste::kMaxSide];
  for (size_t y = begin; y < end; ++y) {
    std::fill(blur, blur + n, 0.0f);
    for (int k = 0; k < ksize; ++k) {
      const float g = gauss[size_t(k)];
      const float* s = blurH.data() + (y + size_t(k)) * size_t(padded);
      for (size_t x = 0; x < n; ++x) blur[x] = blur[x] + g * s[x];
    }
    float* row = plane + y * n;
    for (size_t x = 0; x < n; ++x) {
      const float v = row[x] * gain - blur[x] * amount;
      row[x] = v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
    }
  }
}

void Paste::Impl::unsharpPlane(float* plane) {
  const PlaneJob job{this, plane};
  pool::parallelRange(size_t(padded), paste::kGrain, [&job](size_t b, size_t e) { job.self->padRows(job.plane, b, e); });
  pool::parallelRange(size_t(padded), paste::kGrain, [&job](size_t b, size_t e) { job.self->blurRows(b, e); });
  if (side > paste::kMaxSide) throw std::runtime_error("paste: side > 1024");  // the stack row below
  pool::parallelRange(size_t(side), paste::kGrain, [&job](size_t b, size_t e) { job.self->sharpenRows(job.plane, b, e); });
}

}  // namespace qo
