// Row samplers of the bicubic and bilinear modes, compiled per processor target: one vector
// carries a crop pixel's (R, G, B, 0), and every lane sums exactly as the per-channel scalar
// loop would.
#pragma once

#include <cstdint>

namespace qo::paste {

struct PlainRowInputs {
  const float* crop4;          // side x side x (R, G, B, 0)
  int side;
  const uint8_t* maskBordered;  // (side + 2)^2, the mask inside a ring of zeros
  const float* bilinear;       // 32 x 2, for the coverage
  const int* mapX;             // column terms of the crop position, fixed point
  const int* mapY;
};

// Samples with the 32 x 4 Keys table over offsets -1 .. +2 / the 32 x 2 bilinear table over
// offsets 0 .. +1, and blends frame columns x0..x1 of outRow. Taps outside the crop drop out.
void bicubicRow(const PlainRowInputs& in, const float* cubic, int offX, int offY, int x0, int x1, uint8_t* outRow);
void bilinearRow(const PlainRowInputs& in, int offX, int offY, int x0, int x1, uint8_t* outRow);

}  // namespace qo::paste
