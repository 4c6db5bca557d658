// One utterance's speech features, filled incrementally from its audio with the legacy 8 s
// window procedure or the short-window block procedure of the shared frontend.
//
// A row, once final (index < done()), is never rewritten. While the utterance is open only the
// usable audio is read: the first 640 x U samples, U being the frames of complete 8-frame blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/qo_speech_frontend.h"

namespace qo::audio {

// The audio a fill may read.
struct AudioView {
  const float* samples = nullptr;
  int64_t count = 0;      // samples pushed
  bool finished = false;  // the utterance's audio is complete
  int usableFrames = 0;   // U (after finish: all frames the audio touches)

  int64_t usableSamples() const;
};

class FeatureStream {
 public:
  // `right`: frames a legacy window leaves untaken before the usable end while open;
  // `blockRight`: frames of audio a trunk window needs past its block.
  FeatureStream(SpeechFrontend& frontend, bool shortWindow, int right, int blockRight);

  void reset();

  // Makes rows [0, needed) final as far as the audio allows (all of them after finish).
  // Throws std::runtime_error from the frontend ("w2v_win: trunk pos out of range", ...).
  void fill(int needed, const AudioView& audio);

  int done() const { return featDone_; }
  int rows() const { return int(features_.size() / kFeatureRow); }
  // Grows the store to `n` rows, new rows zero.
  void ensureRows(int n);
  const float* row(int j) const { return features_.data() + size_t(j) * kFeatureRow; }
  float* row(int j) { return features_.data() + size_t(j) * kFeatureRow; }

  bool shortWindow() const { return shortWindow_; }

 private:
  // Each returns true when it stopped for want of audio rather than having reached `needed`.
  bool fillLegacy(int needed, const AudioView& audio);
  bool fillShortWindow(int needed, const AudioView& audio);

  SpeechFrontend& frontend_;
  const bool shortWindow_;
  const int right_, blockRight_;
  std::vector<float> features_;
  int winStart_ = 0, featDone_ = 0;
  // Usable samples of the last fill that stopped for want of audio: until more arrives, running
  // the same window again would only reproduce rows already final.
  int64_t stalledAt_ = -1;
  std::vector<float> window_;     // the frontend window being prepared
  std::vector<float> headInput_;  // 8 x 640
};

// Legacy window feature procedure over a whole utterance (batch conversion): windows at frames
// 0, 100, 200, ... over `samples` (zero beyond), filling rows [0, frames) of `out` (9216 per
// row). `window` is scratch of 128 000 floats.
void legacyBatchFeatures(const SpeechFrontend& frontend, const float* samples, int64_t count, int frames,
                         float* out, float* window);

// Feature row of window frame i of a layer-major 12 x 200 x 768 legacy output, rounded through
// half precision.
void legacyFrameRow(const float* emb, int i, float* row);

// Where frame i's features sit in a trunk window ending at sample `windowEnd`, in trunk columns:
// the column the legacy graph would have used (its window and position), as a real number.
double trunkColumn(int frame, int64_t windowEnd);

}  // namespace qo::audio
