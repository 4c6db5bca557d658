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
  // y .. y + ksize - 1. Only the spans that samples read are computed: blurred columns
  // [lo, hi] of padded row i take padded columns lo .. hi + ksize - 1.
  for (int i = begin; i < end + ksize - 1; ++i) {
    const int lo = blurLo[size_t(i)], hi = blurHi[size_t(i)];
    if (lo <= hi) {
      const size_t slot = size_t(i - begin) % ringRows;
      const size_t from = size_t(reflect(i - r, side)) * n;
      const int padEnd = hi + ksize;  // one past the last padded column read
      const int coreBegin = std::max(lo, r), coreEnd = std::min(padEnd, r + side);
      for (size_t c = 0; c < 3; ++c) {
        const float* row = crop + c * plane + from;
        float* pad = ring.pad.data() + c * size_t(padded);
        for (int j = lo; j < std::min(padEnd, r); ++j) pad[j] = row[reflect(j - r, side)] * scale;
        if (coreBegin < coreEnd) {
          paste::scaleRow(row + (coreBegin - r), scale, pad + coreBegin, size_t(coreEnd - coreBegin));
        }
        for (int j = std::max(lo, r + side); j < padEnd; ++j) pad[j] = row[reflect(j - r, side)] * scale;
        paste::gaussRow(pad + lo, gauss.data(), ksize, ring.rows.data() + (c * ringRows + slot) * ringStride + lo,
                        size_t(hi - lo + 1));
      }
    }
    const int y = i - (ksize - 1);
    if (y < begin) continue;
    const int readLoY = readLo[size_t(y)], readHiY = readHi[size_t(y)];
    if (readLoY > readHiY) continue;
    const size_t at = size_t(readLoY);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t k = 0; k < ringRows; ++k) {
        ring.order[c * ringRows + k] =
            ring.rows.data() + (c * ringRows + (size_t(y - begin) + k) % ringRows) * ringStride + at;
      }
      src[c] = crop + c * plane + size_t(y) * n + at;
    }
    paste::sharpenInterleaveRow(ring.order.data(), gauss.data(), ksize, src, scale, gain, amount,
                                crop4.data() + 4 * (size_t(y) * n + at), size_t(readHiY - readLoY + 1));
  }
}

void Paste::Impl::sharpenCrop(const float* crop, float scale) {
  SharpenBands body{this, crop, scale};
  paste::shareChunks(size_t(bands), 1, int(rings.size()), body);
}

}  // namespace qo
