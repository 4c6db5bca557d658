// Unsharp mask of the crop: mirror padding, a separable Gaussian blur and
// v (1 + amount) - blur amount, clamped to 0..255, written straight into the interleaved crop
// that the samplers read. One pass over the pool, in row bands; sums run in tap order from 0,
// so the result depends neither on the band split nor on the vector width.
#include <algorithm>

#include "paste/qo_paste_blur.h"
#include "paste/qo_paste_impl.h"
#include "paste/qo_paste_share.h"

namespace qo {
namespace {

// Mirror without repeating the edge: -1 -> 1, n -> n - 2. The constructor keeps the reach
// (ksize / 2) below n, so one reflection always lands inside.
inline int reflect(int i, int n) { return i < 0 ? -i : i >= n ? 2 * n - 2 - i : i; }

struct SharpenBands {
  Paste::Impl* self;
  const float* crop;
  float scale;
  void operator()(size_t first, size_t last, size_t part) const {
    const size_t side = size_t(self->side), bands = size_t(self->bands);
    for (size_t k = first; k < last; ++k) {
      self->sharpenRows(crop, scale, self->rings[part], int(side * k / bands), int(side * (k + 1) / bands));
    }
  }
};

}  // namespace

void Paste::Impl::sharpenRows(const float* crop, float scale, Ring& ring, int begin, int end) {
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
      float* pad = ring.pad.data() + c * size_t(padded);
      for (int j = 0; j < r; ++j) pad[j] = row[reflect(j - r, side)] * scale;
      for (size_t x = 0; x < n; ++x) pad[size_t(r) + x] = row[x] * scale;
      for (int j = r + side; j < padded; ++j) pad[j] = row[reflect(j - r, side)] * scale;
      paste::gaussRow(pad, gauss.data(), ksize, ring.rows.data() + (c * ringRows + slot) * ringStride, n);
    }
    const int y = i - (ksize - 1);
    if (y < begin) continue;
    for (size_t c = 0; c < 3; ++c) {
      for (size_t k = 0; k < ringRows; ++k) {
        ring.order[c * ringRows + k] = ring.rows.data() + (c * ringRows + (size_t(y - begin) + k) % ringRows) * ringStride;
      }
      src[c] = crop + c * plane + size_t(y) * n;
    }
    paste::sharpenInterleaveRow(ring.order.data(), gauss.data(), ksize, src, scale, gain, amount,
                                crop4.data() + 4 * size_t(y) * n, n);
  }
}

void Paste::Impl::sharpenCrop(const float* crop, float scale) {
  SharpenBands body{this, crop, scale};
  paste::shareChunks(size_t(bands), 1, int(rings.size()), body);
}

}  // namespace qo
