// Whole-utterance conversion with the legacy frontend, beside the streaming state.
#include <algorithm>

#include "audio/qo_a2x_impl.h"

namespace qo::audio {

int A2x::deltas(const float* audio, int n, float* out, float* wnOut, int cap) {
  Impl& s = *impl_;
  if (n < 1) return 0;
  const int frames = int((int64_t(n) + kFrameSamples - 1) / kFrameSamples);
  if (cap < frames) return -2;

  std::vector<float> features(size_t(frames) * kFeatureRow, 0.0f), window(kLegacySamples);
  legacyBatchFeatures(s.frontend, audio, n, frames, features.data(), window.data());

  std::vector<float> context(size_t(frames) * s.h);
  s.batchWn.assign(s.hasWn ? size_t(frames) : 0, 0.0f);
  for (int c0 = 0; c0 < frames;) {
    const int c1 = std::min(c0 + kBatchChunk, frames);
    const int a = std::max(0, c0 - s.leftTotal);
    const int e = int(std::min<int64_t>(frames, int64_t(c1) + s.aheadTotal));
    s.enc->run(&features[size_t(a) * kFeatureRow], a, e, c0, c1, s.pos, s.window, s.left, &context[size_t(c0) * s.h],
               s.hasWn ? &s.batchWn[size_t(c0)] : nullptr);
    c0 = c1;
  }

  const bool primed = !s.primedPrev.empty() && !s.primedHidden.empty();
  std::vector<float> prev = primed ? s.primedPrev : std::vector<float>(kKp, 0.0f);
  std::vector<float> hidden = primed ? s.primedHidden : std::vector<float>(size_t(s.h), 0.0f);
  for (int t = 0; t < frames; ++t) {
    s.dec->step(&context[size_t(t) * s.h], prev.data(), hidden.data(), prev.data());
    for (int j = 0; j < kKp; ++j) out[size_t(t) * kKp + j] = s.mean[size_t(j)] + prev[size_t(j)] * s.std[size_t(j)];
  }
  if (wnOut)
    for (int t = 0; t < frames; ++t) wnOut[t] = size_t(t) < s.batchWn.size() ? s.batchWn[size_t(t)] : 0.0f;
  return frames;
}

}  // namespace qo::audio
