// Private state and internal steps of qo::Paste, shared by its translation units.
#pragma once

#include <cstdint>
#include <vector>

#include "paste/qo_paste.h"

namespace qo {

struct Paste::Impl {
  int32_t side;
  int32_t ksize;   // Gaussian taps in use (odd)
  int32_t padded;  // side + ksize - 1
  float amount;
  int32_t fast;    // 0 Lanczos-8, 1 bicubic, 2 bilinear
  std::vector<uint8_t> mask;       // side x side
  std::vector<float> gauss;        // ksize
  std::vector<float> lanczos;      // 32 x 8
  std::vector<float> bilinear;     // 32 x 2
  std::vector<float> cubic;        // 32 x 4
  std::vector<float> crop4;        // side x side x (R, G, B, 0), 0..255, filled by the sharpen pass
  std::vector<int32_t> mapX, mapY;  // per covered column, fixed point
  std::vector<uint8_t> maskBordered;  // (side + 2)^2: the mask inside a 1-pixel ring of zeros
  // Per crop row, the columns [lo, hi] that a sample of nonzero coverage can read (lo > hi: none),
  // the only ones the sharpen pass computes: crop4 elsewhere is never read. readLo / readHi index
  // crop rows; blurLo / blurHi the mirror-padded rows of the horizontal blur, each the union over
  // the output rows that read it.
  std::vector<int32_t> readLo, readHi, blurLo, blurHi;

  // The sharpen pass splits the crop rows into bands, handed out to the pool's parts on demand.
  // A band mirror-pads and blurs its rows horizontally into a ring of ksize rows per channel,
  // so the vertical blur reads rows that are still in cache; the ksize - 1 rows above a band
  // are blurred by both bands they touch. One ring per part.
  struct Ring {
    std::vector<float> pad;            // 3 x padded: one mirror-padded row per channel
    std::vector<float> rows;           // 3 x ksize rows of ringStride: horizontally blurred rows
    std::vector<const float*> order;   // 3 x ksize: the ring rows of one output row, in order
  };
  std::vector<Ring> rings;
  int bands;  // of the sharpen pass
  // Ring rows are a cache line longer than a multiple of one, so the 3 x ksize rows that one
  // output row reads fall into different cache sets rather than all into the same few.
  size_t ringStride;

  Impl(std::vector<uint8_t> mask, int side, const Unsharp& u);

  // crop4 = the unsharp-masked crop (scaled by `scale`), interleaved; one pass over the pool.
  void sharpenCrop(const float* crop, float scale);
  // Samples and blends frame rows y0..y1, columns x0..x1, with the row terms of the inverse
  // transform; mapX / mapY already hold the column terms.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double dudy, double dvdy, double u0,
                     double v0);

  // Crop rows [begin, end) of the sharpen pass, in ring r.
  void sharpenRows(const float* crop, float scale, Ring& r, int begin, int end);
};

namespace paste {
// Smallest range worth a part of its own on the pool.
inline constexpr size_t kGrain = 64;
// Frame rows per chunk of the composite, as handed out to the pool's parts.
inline constexpr size_t kRowChunk = 8;
}  // namespace paste

}  // namespace qo
