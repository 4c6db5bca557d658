#include "audio/qo_motion_mel.h"

#include <kiss_fftr.h>

#include <cmath>
#include <new>
#include <stdexcept>

#include "audio/qo_motion_members.h"

namespace qo::audio {

struct MotionMel::Impl {
  struct FreeFft {
    void operator()(kiss_fftr_state* s) const { kiss_fftr_free(s); }
  };
  std::unique_ptr<kiss_fftr_state, FreeFft> fft;
  std::vector<float> window, binmat;
  // Per bin, the bands [first, end) its matrix row can feed: a mel matrix is mostly zeros, and
  // skipping them leaves every sum bit-identical (0 x a finite magnitude adds nothing).
  std::vector<int> first, end;
  std::vector<float> padded = std::vector<float>(kMelWindowSamples + 2 * kMelPad);
  std::vector<float> frame = std::vector<float>(kFftSize);
  std::vector<kiss_fft_cpx> spectrum = std::vector<kiss_fft_cpx>(kMelBins);
};

MotionMel::MotionMel(const std::vector<float>& window, const std::vector<float>& binmat) : impl_(std::make_unique<Impl>()) {
  if (window.size() != size_t(kFftSize) || binmat.size() != size_t(kMelBins) * kMelBands)
    throw std::invalid_argument("MotionMel: window of 512 and mel matrix of 257 x 80 required");
  impl_->fft.reset(kiss_fftr_alloc(kFftSize, 0, nullptr, nullptr));
  if (!impl_->fft) throw std::bad_alloc();
  impl_->window = window;
  impl_->binmat = binmat;
  impl_->first.assign(kMelBins, 0);
  impl_->end.assign(kMelBins, 0);
  for (int k = 0; k < kMelBins; ++k) {
    const float* row = &binmat[size_t(k) * kMelBands];
    int lo = 0, hi = kMelBands;
    while (lo < hi && row[lo] == 0.0f) ++lo;
    while (hi > lo && row[hi - 1] == 0.0f) --hi;
    impl_->first[size_t(k)] = lo;
    impl_->end[size_t(k)] = hi;
  }
}

MotionMel::~MotionMel() = default;

void MotionMel::compute(const float* samples, float* out) {
  Impl& s = *impl_;
  constexpr int n = kMelWindowSamples;
  float* p = s.padded.data();
  // Reflection without repeating the edge sample: p[pad - i] mirrors x[i].
  for (int i = 0; i < n; ++i) p[kMelPad + i] = samples[i];
  for (int i = 1; i <= kMelPad; ++i) {
    p[kMelPad - i] = samples[i];
    p[kMelPad + n - 1 + i] = samples[n - 1 - i];
  }
  for (int f = 0; f < kMelFrames; ++f) {
    const float* x = p + size_t(f) * kMelHop;
    for (int k = 0; k < kFftSize; ++k) s.frame[size_t(k)] = x[k] * s.window[size_t(k)];
    kiss_fftr(s.fft.get(), s.frame.data(), s.spectrum.data());
    // Bin-major accumulation: the matrix is read in its stored order.
    float acc[kMelBands] = {};
    for (int k = 0; k < kMelBins; ++k) {
      const kiss_fft_cpx c = s.spectrum[size_t(k)];
      const float mag = std::sqrt(c.r * c.r + c.i * c.i);
      const float* row = &s.binmat[size_t(k) * kMelBands];
      for (int m = s.first[size_t(k)]; m < s.end[size_t(k)]; ++m) acc[m] += row[m] * mag;
    }
    for (int m = 0; m < kMelBands; ++m) out[size_t(m) * kMelFrames + f] = std::log(acc[m] + 1e-8f);
  }
}

}  // namespace qo::audio
