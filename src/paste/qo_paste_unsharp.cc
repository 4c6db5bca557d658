// Unsharp mask of the crop: mirror padding, a separable Gaussian blur and
// v (1 + amount) - blur amount, clamped to 0..255, written straight into the interleaved crop
// that the samplers read. One pass over the pool, in row bands; sums run in tap order from 0,
// so the result depends neither on the band split nor on the vector width.
#include <algorithm>

#include "paste/qo_paste_blur.h"
#include "paste/qo_paste_impl.h"
#include "qo/qo_pool.h"

namespace qo {
namespace {

// Mirror without repeating the edge: -1 -> 1, n -> n - 2. The constructor keeps the reach
// (ksize / 2) below n, so one reflection always lands inside.
inline int reflect(int i, int n) { return i < 0 ? -i : i >= n ? 2 * n - 2 - i : i; }

struct SharpenJob {
  Paste::Impl* self;
  const float* crop;
  float scale;
  size_t bands;
};

}  // namespace

void Paste::Impl::sharpenRows(const float* crop, float scale, Band& b, int begin, int end) {
  const int r = ksize / 2;
  const size_t n = size_t(side), plane = n * n, ringRows = size_t(ksize);
  const float gain = 1.0f + amount;
  const float* src[3];
  // Padded row i is blurred into ring slot (i - begin) % ksize; output row y needs padded rows
  // y .. y + ksize - 1.
  for (int i = begin; i < end + ksize - 1; ++i) {
    const size_t slot = size_t(i - begin) % ringRows;
    const size_t from = size_t(reflect(i - r, side)) * n;
    for (size_t c = 0; c < 3; ++c) {
      const float* row = crop + c * plane + from;
      float* pad = b.pad.data() + c * size_t(padded);
      for (int j = 0; j < r; ++j) pad[j] = row[reflect(j - r, side)] * scale;
      for (size_t x = 0; x < n; ++x) pad[size_t(r) + x] = row[x] * scale;
      for (int j = r + side; j < padded; ++j) pad[j] = row[reflect(j - r, side)] * scale;
      paste::gaussRow(pad, gauss.data(), ksize, b.ring.data() + (c * ringRows + slot) * ringStride, n);
    }
    const int y = i - (ksize - 1);
    if (y < begin) continue;
    for (size_t c = 0; c < 3; ++c) {
      for (size_t k = 0; k < ringRows; ++k) {
        b.rows[c * ringRows + k] = b.ring.data() + (c * ringRows + (size_t(y - begin) + k) % ringRows) * ringStride;
      }
      src[c] = crop + c * plane + size_t(y) * n;
    }
    paste::sharpenInterleaveRow(b.rows.data(), gauss.data(), ksize, src, scale, gain, amount,
                                crop4.data() + 4 * size_t(y) * n, n);
  }
}

void Paste::Impl::sharpenCrop(const float* crop, float scale) {
  const SharpenJob job{this, crop, scale, bands.size()};
  pool::parallelRange(bands.size(), 1, [&job](size_t first, size_t last) {
    const size_t side = size_t(job.self->side);
    for (size_t k = first; k < last; ++k) {
      const size_t begin = side * k / job.bands, end = side * (k + 1) / job.bands;
      job.self->sharpenRows(job.crop, job.scale, job.self->bands[k], int(begin), int(end));
    }
  });
}

}  // namespace qo
