// Kernels of the native fp16 conv engine (render/qo_conv): convolutions over channel-last fp16
// maps with a one-pixel zero border, and the basis product. Dispatched per Highway target.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qo::simd {

// One packed convolution layer. Channel counts are the stored ones: multiples of 8, the extra
// channels carry zero weights and bias, so they read and write zeros.
struct ConvF16Layer {
  int taps = 9;                     // 9: 3 x 3, 1: 1 x 1
  int cin = 0, cout = 0;            // stored channels per pixel of input and output map
  const float* weights = nullptr;   // [taps][cin][cout], fp16 values widened to float
  const float* bias = nullptr;      // [cout]
  bool relu = false;
};

// Input and output maps share the interior size height x width; both are stored
// (height + 2) x (width + 2) x channels with a zero border that the kernel never writes.
struct ConvF16Maps {
  const uint16_t* in = nullptr;
  uint16_t* out = nullptr;
  int width = 0;
};

// Floats of per-thread staging that convF16Rows needs for maps `width` wide with `cin` channels.
inline size_t convF16StageFloats(int width, int cin) { return size_t(3) * size_t(width + 2) * size_t(cin); }

// Output rows [y0, y1) (interior rows). `stage` is owned by the calling thread. The sums are
// float (fused multiply-adds, bias first), rounded once to fp16 on the store.
void convF16Rows(const ConvF16Layer& layer, const ConvF16Maps& maps, int y0, int y1, float* stage);

// Winograd F(4x4, 3x3) form of a 3x3 layer over the same maps: 36 products per 4 x 4 output
// block instead of 144, the same result up to float rounding of the transforms. `layer.weights`
// holds the transformed weights of winogradWeights; width and the band y1 - y0 are multiples of 4,
// channels multiples of 8.
// Layers with eight outputs and cin a multiple of 16 also carry the weights paired for 16-lane
// targets, which make both positions of a pair q = 3 a + b, (a, b) and (a, b + 3), in one vector:
// U2[q][slot][2 k + h] = U[position h of q][channel of slot][k], the 16 slots of each run of 16
// channels holding the channels kWinogradPairSlots (the order 128-bit interleaving gives).
inline bool winogradPaired(int cin, int cout) { return cout == 8 && cin % 16 == 0; }
inline constexpr int kWinogradPairSlots[16] = {0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15};
inline size_t winogradWeightFloats(int cin, int cout) {
  return size_t(winogradPaired(cin, cout) ? 72 : 36) * size_t(cin) * size_t(cout);
}
// [9][cin][cout] weights (tap = 3 * ky + kx) to the [36][cin][cout] transformed ones, followed by
// U2 where the layer is paired.
void winogradWeights(const float* w9, int cin, int cout, float* u);
// Block rows that share one pass over the weights: a narrow map takes several (up to 16 blocks
// per pass), since there the weights, not the maps, are what streams from memory.
inline int winogradBlockRows(int width) {
  const int perRow = width / 4;
  return perRow < 1 || perRow > 8 ? 1 : 16 / perRow;
}
inline size_t winogradStageFloats(int width, int cin, int cout) {
  const int rows = winogradBlockRows(width), group = rows > 1 ? std::max(12, rows * (width / 4)) : 12;
  return size_t(36) * size_t(group) * size_t(cin + cout);
}
void winogradRows(const ConvF16Layer& layer, const ConvF16Maps& maps, int y0, int y1, float* stage);

// out[f][c] = sum_j coef[f][j] * basis[j][c] for columns [c0, c1) and frames f < `frames` (1 to
// 4; `coef` is [frames][k], out[f] a row of floats). Each sum runs over j in order, so a column's
// value does not depend on how many frames share the call. The basis is stored in blocks of 8
// columns, [columns / 8][k][8], so that one block is one sequential read; c0 and c1 are multiples of 8.
void basisColumns(const float* coef, int k, const float* basis, size_t c0, size_t c1, float* const* out,
                  int frames);

// One output row of the engine's warp (`side` pixels): the grid resized linearly to the row (grid
// rows a and b of 64 x 2 floats, weights dya / dyb; per column the taps colA / colB and weights
// colDa / colDb), then a bilinear sample of three planes of side x side floats, zeros outside,
// align_corners 0, times the occlusion of the pixel's cell (occRow[x / 8]).
// out[c * side * side + x] receives channel c, occOut[x] the occlusion.
struct ConvWarpRowArgs {
  const float* gridA = nullptr;
  const float* gridB = nullptr;
  float dya = 0, dyb = 0;
  const int* colA = nullptr;
  const int* colB = nullptr;
  const float* colDa = nullptr;
  const float* colDb = nullptr;
  const float* planes = nullptr;
  const float* occRow = nullptr;
  int side = 0;
  float* out = nullptr;
  float* occOut = nullptr;
};
void convWarpRow(const ConvWarpRowArgs& args);

// One row of the refine step (`side` pixels): refined[c][x] = warped[c][x] + the corr2 value of
// colour c at sub-pixel (phase, x % 2) of pixel x / 2 (`k2`: the corr2 map row, 16 fp16 channels
// per pixel, colour c at 4 c + 2 phase + x % 2); row8[x] receives the tile layers' fp16 input
// refined[0..2], warped[0..2], occ, 0.
struct ConvRefineRowArgs {
  const uint16_t* k2 = nullptr;
  int phase = 0;
  const float* warped[3] = {};
  const float* occ = nullptr;
  float* refined[3] = {};
  uint16_t* row8 = nullptr;
  int side = 0;
};
void convRefineRow(const ConvRefineRowArgs& args);

// out[x] = out[x] + tile[x * 8 + c] * w[x] for x < n (`tile`: fp16, 8 channels per pixel).
void convFeatherRow(const uint16_t* tile, int c, const float* w, float* out, int n);

}  // namespace qo::simd
