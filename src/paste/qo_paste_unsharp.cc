// Unsharp mask of the crop planes: mirror padding, a separable Gaussian blur and
// v (1 + amount) - blur amount, clamped to 0..255. Every pass runs over the pool; sums run in
// tap order from 0, so the result depends neither on the row split nor on the vector width.
#include <cstring>

#include "paste/qo_paste_blur.h"
#include "paste/qo_paste_impl.h"
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
  for (size_t i = begin; i < end; ++i) {
    const size_t at = i * size_t(padded);
    paste::gaussRow(pad.data() + at, gauss.data(), ksize, blurH.data() + at, size_t(side));
  }
}

// The last plane's pass also interleaves the finished rows into crop4, which every sampling
// mode reads, while they are in cache.
void Paste::Impl::sharpenRows(float* plane, size_t begin, size_t end) {
  const size_t n = size_t(side);
  const bool interleave = plane == planes[2].data();
  for (size_t y = begin; y < end; ++y) {
    const size_t at = y * n;
    paste::gaussColumnSharpen(blurH.data() + y * size_t(padded), size_t(padded), gauss.data(), ksize, 1.0f + amount,
                              amount, plane + at, n);
    if (interleave) paste::interleaveRow(planes[0].data() + at, planes[1].data() + at, plane + at, crop4.data() + 4 * at, n);
  }
}

// Padding and the horizontal blur share one pass: a padded row is blurred while it is still in
// cache.
void Paste::Impl::unsharpPlane(float* plane) {
  const PlaneJob job{this, plane};
  pool::parallelRange(size_t(padded), paste::kGrain, [&job](size_t b, size_t e) {
    job.self->padRows(job.plane, b, e);
    job.self->blurRows(b, e);
  });
  pool::parallelRange(size_t(side), paste::kGrain, [&job](size_t b, size_t e) { job.self->sharpenRows(job.plane, b, e); });
}

}  // namespace qo
