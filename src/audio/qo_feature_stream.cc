#include "audio/qo_feature_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "audio/qo_audio_norm.h"
#include "audio/qo_feature_half.h"
#include "qo/qo_simd.h"

namespace qo::audio {
namespace {

// Copies samples [from, from + n) of the audio (zero outside [0, available)) into dst.
void copyWindow(const float* samples, int64_t available, int64_t from, int64_t n, float* dst) {
  std::fill(dst, dst + n, 0.0f);
  const int64_t lo = std::max<int64_t>(from, 0), hi = std::min<int64_t>(from + n, available);
  if (hi > lo) std::memcpy(dst + (lo - from), samples + lo, size_t(hi - lo) * sizeof(float));
}

}  // namespace

void legacyFrameRow(const float* emb, int i, float* row) {
  for (int layer = 0; layer < kFeatureLayers; ++layer)
    roundFeatures(emb + (size_t(layer) * kLegacyFrames + size_t(i)) * kFeatureWidth, row + size_t(layer) * kFeatureWidth,
                  kFeatureWidth);
}

int64_t AudioView::usableSamples() const {
  return finished ? count : std::min<int64_t>(count, int64_t(kFrameSamples) * usableFrames);
}

double trunkColumn(int frame, int64_t windowEnd) {
  int a = frame;
  int64_t w0 = 0;
  if (frame >= kLegacyFrames) {
    a = frame % kLegacyHop + kLegacyHop;
    w0 = (int64_t(kLegacyHop) * (frame / kLegacyHop) - kLegacyHop) * kFrameSamples;
  }
  return double(w0 - (windowEnd - kTrunkSamples)) / 80.0 + double(a) * 1598.0 / 199.0;
}

FeatureStream::FeatureStream(SpeechFrontend& frontend, bool shortWindow, int right, int blockRight)
    : frontend_(frontend),
      shortWindow_(shortWindow),
      right_(right),
      blockRight_(blockRight),
      window_(shortWindow ? kTrunkSamples : kLegacySamples),
      headInput_(shortWindow ? size_t(kBlockFrames) * kTrunkChannels : 0) {}

void FeatureStream::reset() {
  features_.clear();
  winStart_ = featDone_ = 0;
  stalledAt_ = -1;
}

void FeatureStream::ensureRows(int n) {
  if (rows() < n) features_.resize(size_t(n) * kFeatureRow, 0.0f);
}

void FeatureStream::fill(int needed, const AudioView& audio) {
  if (featDone_ >= needed) return;
  const int64_t usable = audio.usableSamples();
  if (!audio.finished && usable == stalledAt_) return;
  const bool stalled = shortWindow_ ? fillShortWindow(needed, audio) : fillLegacy(needed, audio);
  stalledAt_ = stalled && !audio.finished ? usable : -1;
}

bool FeatureStream::fillLegacy(int needed, const AudioView& audio) {
  const int64_t usable = audio.usableSamples();
  // Frames at or past the limit are not taken from a window yet; after finish the window is
  // only cut at the utterance's end.
  const int limit = audio.finished ? audio.usableFrames : std::max(0, audio.usableFrames - right_);
  while (featDone_ < needed) {
    const int s = winStart_;
    copyWindow(audio.samples, usable, int64_t(s) * kFrameSamples, kLegacySamples, window_.data());
    normaliseWindow(window_.data(), window_.size());
    const Ort::Value emb = frontend_.runLegacy(window_.data());
    const float* e = emb.GetTensorData<float>();
    const int from = std::max(s == 0 ? 0 : s + kLegacyHop / 2, featDone_);
    const int end = std::min(s + kLegacyFrames, limit);
    if (end > from) {
      ensureRows(end);
      for (int j = from; j < end; ++j) legacyFrameRow(e, j - s, row(j));
      featDone_ = end;
    }
    // A window cut short runs again once more audio has arrived.
    if (!audio.finished && s + kLegacyFrames - 1 >= limit) return featDone_ < needed;
    winStart_ += kLegacyHop;
  }
  return false;
}

bool FeatureStream::fillShortWindow(int needed, const AudioView& audio) {
  const int64_t usable = audio.usableSamples();
  while (featDone_ < needed) {
    const int b = winStart_;
    const int64_t end = (int64_t(b) + kBlockFrames + blockRight_) * kFrameSamples;
    if (!audio.finished && usable < end) return true;  // a trunk window is only taken whole
    const int64_t begin = end - kTrunkSamples;
    copyWindow(audio.samples, usable, begin, kTrunkSamples, window_.data());
    normaliseWindow(window_.data(), window_.size());
    const Ort::Value trunk = frontend_.runTrunk(window_.data());
    const uint16_t* t = trunk.GetTensorData<uint16_t>();
    const int lt = int(trunk.GetTensorTypeAndShapeInfo().GetShape()[2]);
    for (int i = b; i < b + kBlockFrames; ++i) {
      const double p = trunkColumn(i, end);
      const double k = std::floor(p);
      if (!(k >= 0 && k < lt)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int k0 = int(k), k1 = std::min(k0 + 1, lt - 1);
      const double w = p - k;
      float* dst = headInput_.data() + size_t(i - b) * kTrunkChannels;
      for (int c = 0; c < kTrunkChannels; ++c) {
        const double v0 = halfToFloat(t[size_t(c) * lt + k0]), v1 = halfToFloat(t[size_t(c) * lt + k1]);
        dst[c] = roundFeature(float(v0 * (1.0 - w) + v1 * w));
      }
    }
    const Ort::Value emb = frontend_.runHead(headInput_.data());
    ensureRows(b + kBlockFrames);
    roundFeatures(emb.GetTensorData<float>(), row(b), size_t(kBlockFrames) * kFeatureRow);
    winStart_ = featDone_ = b + kBlockFrames;
  }
  return false;
}

void legacyBatchFeatures(const SpeechFrontend& frontend, const float* samples, int64_t count, int frames, float* out,
                         float* window) {
  int filled = 0;
  for (int o = 0;; o += kLegacyHop) {
    copyWindow(samples, count, int64_t(o) * kFrameSamples, kLegacySamples, window);
    normaliseWindow(window, kLegacySamples);
    const Ort::Value emb = frontend.runLegacy(window);
    const float* e = emb.GetTensorData<float>();
    const int from = std::max(o == 0 ? 0 : o + kLegacyHop / 2, filled);
    const int end = std::min(o + kLegacyFrames, frames);
    for (int j = from; j < end; ++j) legacyFrameRow(e, j - o, out + size_t(j) * kFeatureRow);
    filled = std::max(filled, end);
    if (o + kLegacyHop >= frames) break;
  }
}

}  // namespace qo::audio
