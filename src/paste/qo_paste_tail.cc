// The composite over the footprint rows: per-row fixed-point offsets, then the SIMD Lanczos row
// kernel or the bicubic / bilinear row sampler, all reading the interleaved crop that the
// sharpen pass has filled. Rows are independent, so they go to the pool's parts in chunks.
#include <cmath>
#include <cstddef>

#include "paste/qo_paste_impl.h"
#include "paste/qo_paste_pixel.h"
#include "paste/qo_paste_plain.h"
#include "paste/qo_paste_share.h"
#include "paste/qo_paste_tables.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"

namespace qo {
namespace {

using paste::kOne;
constexpr int kHalfPhase = 1 << (paste::kPhaseShift - 1);  // truncation to a phase then rounds

struct TailRows {
  const Paste::Impl* self;
  paste::PlainRowInputs plain;
  uint8_t* frame;
  size_t rowBytes;
  int x0, x1, y0;
  double dudy, dvdy, u0, v0;

  void operator()(size_t first, size_t last, size_t) const {
    const Paste::Impl& p = *self;
    for (size_t i = first; i < last; ++i) {
      const double Y = double(y0) + double(i);
      const int offX = int(std::rint((Y * dudy + u0) * kOne)) + kHalfPhase;
      const int offY = int(std::rint((Y * dvdy + v0) * kOne)) + kHalfPhase;
      uint8_t* row = frame + (size_t(y0) + i) * rowBytes;
      switch (p.fast) {
        case 1: paste::bicubicRow(plain, p.cubic.data(), offX, offY, x0, x1, row); break;
        case 2: paste::bilinearRow(plain, offX, offY, x0, x1, row); break;
        default:
          simd::pasteLanczos8Row(p.crop4.data(), p.side, p.mask.data(), p.lanczos.data(), p.bilinear.data(),
                                 p.mapX.data(), p.mapY.data(), offX, offY, x0, x1, row);
      }
    }
  }
};

}  // namespace

void Paste::Impl::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double dudy, double dvdy,
                                double u0, double v0) {
  const paste::PlainRowInputs plain{crop4.data(), side, maskBordered.data(), bilinear.data(), mapX.data(), mapY.data()};
  TailRows body{this, plain, frame, size_t(W) * 3, x0, x1, y0, dudy, dvdy, u0, v0};
  const size_t rows = size_t(y1 - y0) + 1;
  paste::shareChunks(rows, paste::kRowChunk, pool::parts(rows, paste::kGrain), body);
}

}  // namespace qo
