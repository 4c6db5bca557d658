// Log-mel frames of one audio window of the motion model: reflect padding, a windowed 512-point
// real FFT per 320-sample hop (KissFFT), magnitudes of bins 0 .. 256 and the member mel matrix.
#pragma once

#include <memory>
#include <vector>

namespace qo::audio {

inline constexpr int kMelWindowSamples = 6480;  // audio per window
inline constexpr int kMelPad = 256;             // reflected on each side
inline constexpr int kMelHop = 320;
inline constexpr int kMelFrames = 21;

class MotionMel {
 public:
  // `window`: 512 analysis weights; `binmat`: 257 x 80 (bin-major). Both copied.
  MotionMel(const std::vector<float>& window, const std::vector<float>& binmat);
  ~MotionMel();
  MotionMel(const MotionMel&) = delete;
  MotionMel& operator=(const MotionMel&) = delete;

  // `samples`: kMelWindowSamples values. `out`: 80 x 21, band-major:
  // out[m * 21 + f] = ln(sum_k binmat[k][m] |X_f[k]| + 1e-8). No allocation.
  void compute(const float* samples, float* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo::audio
