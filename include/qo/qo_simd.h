// SIMD kernels of libqo_core, compiled once per processor target and dispatched at run time.
//
//   std::vector<uint16_t> h(n);
//   qo::simd::f32ToF16(src.data(), h.data(), n);   // round to nearest even, like the hardware
//   printf("kernels run on %s\n", qo::simd::target());
//
// Every target's member returns the same bits: summation orders are fixed and products and sums
// are rounded separately. The kernels are pure: they never allocate, never fail, and may run on
// any number of threads at once. Arguments are the caller's duty; inputs and outputs must not
// overlap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qo/qo_export.h"

namespace qo {

// binary32 -> binary16, round to nearest, ties to even (one value).
QO_API uint16_t f32ToF16(float f);
// binary16 -> binary32, exact.
QO_API float halfToFloat(uint16_t h);

namespace simd {

// Highway's name of the target the kernels run on ("AVX2", "NEON", ...): the best one that this
// build compiled and this processor supports.
QO_API const char* target();

// dst[i] = exact binary32 of binary16 src[i] (subnormals, infinities, NaN payloads kept).
QO_API void f16ToF32(const uint16_t* src, float* dst, size_t count);

// binary32 -> binary16 with round to nearest, ties to even; NaNs stay quiet NaNs.
QO_API void f32ToF16(const float* src, uint16_t* dst, size_t count);

// count interleaved RGB8 pixels -> three binary16 planes of value/255 at planes + c * planeStride.
QO_API void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* planes, size_t planeStride, size_t count);

// Three float planes (at planes + c * planeStride, values 0..1) -> count interleaved RGB8 pixels:
// min(v, 1) x 255 rounded to nearest with ties to even; 0 for v <= 0 and NaN.
QO_API void planarF32ToRgb8(const float* planes, size_t planeStride, uint8_t* rgb, size_t count);

// One row of limited-range BT.601 YUV 4:2:0 -> RGB24 in integer arithmetic. chromaStep is 1 for
// planar chroma, 2 for interleaved (NV12: u = uv, v = uv + 1).
QO_API void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                             uint8_t* rgb);

// Composites output columns x0..x1 (inclusive) of one RGB24 frame row from a side x side crop
// (4 floats per pixel, 0..255) under a side x side byte mask, with 8x8 Lanczos taps and bilinear
// mask coverage. mapX/mapY hold the column-dependent crop positions (10 fractional bits),
// offX/offY the row-dependent part; lanczosTab is 32 phases x 8 taps, bilinTab 32 phases x 2.
QO_API void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczosTab,
                             const float* bilinTab, const int* mapX, const int* mapY, int offX, int offY, int x0,
                             int x1, uint8_t* outRow);

// Appearance distances between two planar 3-channel binary16 images of n elements per plane,
// reproducing half-precision arithmetic step by step.
QO_API float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
QO_API float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
// Elements [begin, end) only; n is the plane stride.
QO_API float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                                    size_t end);

// Output planes k in [lo, hi) of a 3x3, stride 1, zero-padded convolution over a batch: plane k
// is image k / Cout, output channel k % Cout. Tensors are row-major float:
// in [N][Cin][H][W], weights [Cout][Cin][3][3], bias [Cout], out [N][Cout][H][W].
// Cout < 1 does nothing.
QO_API void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights, const float* bias,
                         int Cout, float* out, int lo, int hi);

// Bilinear grid sampling with border padding and align_corners 0 (ONNX GridSample in that form),
// output rows [max(rowBegin, 0), min(rowEnd, Hg)) of one image. x: C planes of H x W; grid: Hg x Wg
// (x, y) pairs normalised to -1..1 (x the column); y: C planes of Hg x Wg. Per output pixel, in
// float: px = ((gx + 1) * 0.5) * W - 0.5, x0 = floor(px), fx = px - x0; taps column 0 twice when
// x0 < 0, else min(x0, W - 1) and min(x0 + 1, W - 1); rows likewise; the four weighted taps are
// summed in reading order. A NaN pixel coordinate counts as -1 (the first row or column); indices
// are clamped in float before conversion, so no finite or infinite coordinate reads outside x.
// H and W below 2^23, H * W below 2^31; C, H, W or Wg below 1 writes nothing.
QO_API void gridSampleRows(const float* x, const float* grid, float* y, int C, int H, int W, int Hg, int Wg,
                           int rowBegin, int rowEnd);

// The curvature-corrected bilinear warp of a 3-channel image, output rows [max(rowBegin, 0),
// min(rowEnd, Hg)); shapes as gridSampleRows with C = 3. Each of the four border-clamped bilinear
// taps carries its value and its second differences (horizontal, vertical, mixed) over the
// edge-clamped 3 x 3 neighbourhood; with q = (1 - t) t / 2 from the fraction t of the unclamped
// pixel coordinate ((g + 1) * size - 1) * 0.5, y = qx qy Dxxyy + (V - qx Dxx - qy Dyy). A NaN
// pixel coordinate counts as -1, as in gridSampleRows; the same size limits hold.
QO_API void warpDirectorRows(const float* x, const float* grid, float* y, int H, int W, int Hg, int Wg,
                             int rowBegin, int rowEnd);

// Int8 convolution, used by the quantised-convolution operator. The input image is uint8, one
// row of `channels` values per pixel ([height][width][channels], channels a multiple of 4); the
// weights are packed by int8ConvPack into blocks of kInt8ConvChannelBlock output channels, the
// channel count padded with zero weights.
inline constexpr int kInt8ConvChannelBlock = 8;
inline constexpr int kInt8ConvMaxKernel = 64;  // largest kernel height int8ConvRow serves

struct Int8ConvGeometry {
  int height, width, channels;  // input image; channels padded to a multiple of 4
  int kernelH, kernelW, strideH, strideW, dilationH, dilationW, padTop, padLeft;
  int outWidth;
  // Input columns one output row spans, padding included: (outWidth - 1) * strideW +
  // (kernelW - 1) * dilationW + 1.
  int paddedWidth;
  int blocks;  // packed output-channel blocks
};

// int16 values int8ConvPack writes for M output channels. The packed layout is the CPU path's own
// (bytes on the AVX-512 VNNI path): pack and run in a process with the same SIMD targets.
QO_API size_t int8ConvPackedSize(int M, int Cp, int KH, int KW);
// w [M][C][KH][KW] -> packed (int8ConvPackedSize values), Cp >= C the padded channel count.
QO_API void int8ConvPack(const int8_t* w, int M, int C, int KH, int KW, int Cp, int16_t* packed);
// int16 values of the scratch int8ConvRow needs.
QO_API size_t int8ConvScratchSize(const Int8ConvGeometry& g);
// Exact int32 sums of output row oh: acc[ow * blocks * kInt8ConvChannelBlock + m] = sum over the
// in-image taps (kh, kw) and channels c of w[m][c][kh][kw] * q[ih][iw][c], with
// ih = oh * strideH + kh * dilationH - padTop, iw = ow * strideW + kw * dilationW - padLeft.
// Every target returns the same sums while C * KH * KW <= 65793 (no int32 overflow).
// kernelH <= kInt8ConvMaxKernel. scratch is the caller's, int8ConvScratchSize(g) values.
QO_API void int8ConvRow(const Int8ConvGeometry& g, const uint8_t* q, const int16_t* packed, int oh, int16_t* scratch,
                        int32_t* acc);
// min and max of x[0, count), both starting at 0 (so lo <= 0 <= hi); false when some value is
// not finite (lo and hi are then meaningless).
QO_API bool int8Range(const float* x, size_t count, float* lo, float* hi);
// Pixels [begin, end) of one planar image x (C planes of `plane` floats) into q (Cp values per
// pixel): channel c gets clamp(zp + rint(x / scale), 0, 255) (ties to even), channels C..Cp-1 zp.
QO_API void int8QuantizeNhwc(const float* x, size_t plane, int C, size_t begin, size_t end, float scale, int zp,
                             uint8_t* q, int Cp);
// One output row from its int32 sums: out[c * outStride + ow] = k[c] * float(acc[ow * stride + c] -
// offset[c]) + bias[c] for c < M, ow < width (multiply, then add: no fused rounding).
QO_API void int8Dequantize(const int32_t* acc, size_t stride, int width, int M, const int32_t* offset, const float* k,
                           const float* bias, float* out, size_t outStride);

}  // namespace simd
}  // namespace qo
