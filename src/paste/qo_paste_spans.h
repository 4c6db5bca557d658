// Where in the crop the samplers can read, so that the sharpen pass computes nothing else.
#pragma once

#include <cstdint>
#include <vector>

namespace qo::paste {

// A sample of nonzero coverage at crop position (ix, iy) has a nonzero mask pixel among
// (ix .. ix + 1, iy .. iy + 1) and reads taps ix - 3 .. ix + 4 (likewise in y), so it reads only
// within this many pixels of a nonzero mask pixel. The bicubic and bilinear taps lie inside.
inline constexpr int kReadReach = 4;

// From the side x side mask: per crop row y, the columns [readLo[y], readHi[y]] within the reach
// of a nonzero mask pixel (lo > hi when none), and per mirror-padded row i (0 .. side + ksize - 2)
// of the horizontal blur, [blurLo[i], blurHi[i]]: the union of the read spans of the output rows
// i - (ksize - 1) .. i that the vertical blur builds from padded row i.
void readSpans(const uint8_t* mask, int side, int ksize, std::vector<int32_t>* readLo, std::vector<int32_t>* readHi,
               std::vector<int32_t>* blurLo, std::vector<int32_t>* blurHi);

}  // namespace qo::paste
