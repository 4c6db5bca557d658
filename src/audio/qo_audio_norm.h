// Zero-mean, unit-variance normalisation of one frontend window, padding included.
#pragma once

#include <cstddef>

namespace qo::audio {

// Mean and variance over all `count` values accumulated in double; each value becomes
// (x - mean) * (1 / sqrt(variance + 1e-7)) with the square root taken in single precision,
// stored as float. An all-zero window stays zero.
void normaliseWindow(float* x, size_t count);

}  // namespace qo::audio
