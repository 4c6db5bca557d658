// Construction-time rules of the compositor: which shapes and sharpening settings it accepts,
// and how it reads its two environment overrides.
#pragma once

#include <cstddef>

#include "qo/qo_bundle.h"

namespace qo::paste {

// The vertical blur keeps one crop row on the stack.
inline constexpr int kMaxSide = 1024;

// Throws std::runtime_error unless side is in 1..kMaxSide, the mask holds side * side bytes,
// ksize is odd and in 1..2 * side - 1 (so mirror padding by ksize / 2 never leaves the plane),
// sigma is a finite number > 0 and amount is finite.
void checkSettings(int side, size_t maskBytes, const Unsharp& u);

// QO_PASTE_FAST: 0 Lanczos-8, 1 bicubic, 2 bilinear; unset, unparsable or any other number
// gives 0.
int sampleModeFrom(const char* value);

// QO_PASTE_KSIZE: replaces the manifest's (already checked) ksize when it is > 2, odd and not
// larger; otherwise the manifest's ksize stays.
int ksizeFrom(const char* value, int manifestKsize);

}  // namespace qo::paste
