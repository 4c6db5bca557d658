// Private state and internal steps of qo::Paste, shared by its translation units.
#pragma once

#include <array>
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
  std::array<std::vector<float>, 3> planes;  // side x side each, 0..255, sharpened in place
  std::vector<float> pad;          // padded x padded
  std::vector<float> blurH;        // padded x padded
  std::vector<float> crop4;        // side x side x (R, G, B, 0), filled by the sharpen pass
  std::vector<int32_t> mapX, mapY;  // per covered column, fixed point
  std::vector<uint8_t> maskBordered;  // (side + 2)^2: the mask inside a 1-pixel ring of zeros

  Impl(std::vector<uint8_t> mask, int side, const Unsharp& u);

  // plane c = crop plane c x scale.
  void fillPlanes(const float* crop, float scale);
  // Mirror pad, horizontal Gaussian, vertical Gaussian and sharpen, each pass over the pool.
  void unsharpPlane(float* plane);
  // Samples and blends frame rows y0..y1, columns x0..x1, with the row terms of the inverse
  // transform; mapX / mapY already hold the column terms.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double dudy, double dvdy, double u0,
                     double v0);

  // Pass bodies over half-open index ranges.
  void fillRows(const float* crop, float scale, size_t begin, size_t end);
  void padRows(const float* plane, size_t begin, size_t end);
  void blurRows(size_t begin, size_t end);
  void sharpenRows(float* plane, size_t begin, size_t end);
};

namespace paste {
// Smallest range worth a part of its own on the pool.
inline constexpr size_t kGrain = 64;
}  // namespace paste

}  // namespace qo
