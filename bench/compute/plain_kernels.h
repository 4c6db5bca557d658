// What a user would write without qo::simd: plain C++ loops computing the same bits as the
// kernels. Compiled twice, as scalar code (vectoriser off) and at -O3 -march=native, so each
// kernel can be compared with both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compute/qo_convf16.h"

#define QO_PLAIN_KERNELS(ns)                                                                                      \
  namespace ns {                                                                                                   \
  void f16ToF32(const uint16_t* src, float* dst, size_t count);                                                    \
  void f32ToF16(const float* src, uint16_t* dst, size_t count);                                                    \
  void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t count);                    \
  void planarF32ToRgb8(const float* planes, size_t planeStride, uint8_t* rgb, size_t count);                      \
  void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,           \
                        uint8_t* rgb);                                                                             \
  void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab,                 \
                        const float* bilinTab, const int* mapX, const int* mapY, int offX, int offY, int x0, int x1, \
                        uint8_t* outRow);                                                                          \
  float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);                     \
  float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);                         \
  /* Per pixel, taps innermost, as the sum is defined. */                                                          \
  void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias,        \
                    int Cout, float* out, int lo, int hi);                                                         \
  /* Same sums with the column loop innermost over a row of accumulators, which vectorises. */                     \
  void conv3x3RangeRowwise(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias, \
                           int Cout, float* out, int lo, int hi);                                                  \
  /* Per output pixel, channels innermost, taps read with clamped indices. */                                      \
  void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg,           \
                      int rowBegin, int rowEnd);                                                                   \
  void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg, int rowBegin,  \
                        int rowEnd);                                                                               \
  /* The conv engine's warp row, per pixel as the formula reads. */                                               \
  void convWarpRow(const qo::simd::ConvWarpRowArgs& a);                                                            \
  }

namespace qo::plain {
QO_PLAIN_KERNELS(scalar)
QO_PLAIN_KERNELS(native)
}  // namespace qo::plain

#undef QO_PLAIN_KERNELS
