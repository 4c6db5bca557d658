// Roundings shared by the pi mask and the lip contour.
#pragma once

#include <cstdint>

namespace qo::tessera {

// A mask value in bytes: below 0 (and NaN) is 0, above 1 is 255, min(v, 1) * 255 rounded to
// nearest with ties to even.
uint8_t maskByte(float v);

// Nearest integer, ties to even; NaN gives 0 and the result saturates at the int32 range.
int32_t roundHalfEven(double v);

}  // namespace qo::tessera
