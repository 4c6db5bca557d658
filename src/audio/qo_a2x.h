// Streaming audio-to-expression: speech audio in, one keypoint set per video frame out, computed
// incrementally in blocks of 8 frames with a bounded look-ahead (class behind the qo_a2x_* C
// functions of qo/qo_a2x.h).
//
//   auto a = A2x::create("bundle", 0, SpeechFrontend::shared());   // throws std::runtime_error
//   a->push(pcm, n);
//   while (a->avail() > 0) a->pull(rows, base, kp, nullptr, 8);
//
// Not locked: one thread at a time per instance. The frontend is shared and may be used by any
// number of instances at once.
#pragma once

#include <memory>
#include <string>

#include "audio/qo_speech_frontend.h"

namespace qo::audio {

class A2x {
 public:
  // Builds an instance over bundle `bundle` (a directory or container); `threads` is honoured
  // only when 0 < threads < qo::pool::threads(). Reads $W2V_ONNX and loads the shared frontend
  // through `frontend`. Throws std::runtime_error with the reason (without the function prefix).
  static std::unique_ptr<A2x> create(const std::string& bundle, int threads, SpeechFrontend& frontend);
  ~A2x();

  void push(const float* samples, int n);  // n < 1: nothing
  void finish();
  int total() const;  // ceil(samples / 640) after finish, -1 before

  // Frames computed and not pulled, after computing at most one step (8 frames with the short
  // window, 64 with the legacy frontend). A computation failure sets the family's last error
  // ("qo_a2x extend: ...") and reports what was computed before it.
  int avail();
  // Hands out up to `max` frames (computing first when everything computed has been handed
  // out). rows, base and kp must hold max, 63 max, 63 max values; wn (may be null) max.
  int pull(int* rows, float* base, float* kp, float* wn, int max);

  // Whole-utterance conversion with the legacy frontend: ceil(n / 640) frames of 63 deltas into
  // out (and "wn" values into wn when it is not null). 0 when n < 1, -2 (nothing written) when
  // cap is below the frame count. Throws on failure.
  int deltas(const float* audio, int n, float* out, float* wn, int cap);

  // A new utterance; start < 0 continues from the row the current mapping gives next.
  void reset(int start, int dir, int loop);
  void setEager(int eager);

  int nt() const;
  bool hasWn() const;

  // Diagnostics.
  bool shortWindow() const;
  int aheadTotal() const;
  int right() const;
  int featuresDone() const;
  const float* featureRow(int frame) const;  // null when the row does not exist
  int decoded() const;

 private:
  struct Impl;
  explicit A2x(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo::audio
