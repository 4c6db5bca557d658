// Scalar references of the qo::simd kernels, written from their definitions for clarity rather
// than speed, and sharing no code with the library. The tests hold every compiled target to
// these bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qo::ref {

// binary16 <-> binary32 by value: frexp/ldexp in double and an explicit round-half-even.
uint16_t f32ToF16(float f);
float f16ToF32(uint16_t h);
float roundToHalf(float x);  // f16ToF32(f32ToF16(x))

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb);

// The 3-channel Lanczos sample of the crop at integer position (ix, iy) and phases (fx, fy),
// with out-of-crop taps dropped.
void lanczosSample(const float* crop, int side, const float* lanczosTab, int ix, int iy, int fx, int fy,
                   float out[3]);
void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab,
                      const float* bilinTab, const int* mapX, const int* mapY, int offX, int offY, int x0, int x1,
                      uint8_t* outRow);

// m of element i: h((|h(a0 - b0)| + |h(a1 - b1)| + |h(a2 - b2)|) / 3).
float channelDistance(const uint16_t* a, const uint16_t* b, size_t n, size_t i);
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end);

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, int Cout,
                  float* out, int lo, int hi);

// Per output pixel, channel by channel, straight from the sampling formulas.
void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg, int rowBegin,
                    int rowEnd);
void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg, int rowBegin,
                      int rowEnd);

}  // namespace qo::ref
