// Audio-to-motion model: speech audio in, per video frame a driver row with its source and
// driving keypoints out (class behind the qo_motion_* C functions of qo/qo_motion.h).
//
//   auto m = Motion::create("motion", 0, "");   // throws std::runtime_error
//   m->push(pcm, n);
//   int got = m->pull(rows, xs, xd, 8);
//
// Not locked: one thread at a time per instance.
#pragma once

#include <memory>
#include <string>

namespace qo::audio {

class Motion {
 public:
  // Builds an instance over motion directory `dir`; `threads` < 1 means qo::pool::threads().
  // Throws std::runtime_error with the reason (without the function prefix).
  static std::unique_ptr<Motion> create(const std::string& dir, int threads, const std::string& ep);
  ~Motion();

  // False (nothing appended) once the utterance is finished.
  bool push(const float* samples, int n);
  void finish();
  int total() const;  // ceil(samples / 640) after finish, -1 before

  // Computes what the audio allows, then the frames ready to pull. Throws on a graph failure
  // (what was computed before it is kept).
  int avail();
  // Up to `max` frames (computing first when everything ready has been handed out): rows max
  // ints, xs and xd 63 max floats each. Throws on a graph failure.
  int pull(int* rows, float* xs, float* xd, int max);

  void reset(int start, int dir, int loop);
  void setEager(int eager);
  int nt() const;

  // Diagnostics: motion rows generated so far (speculative ones included), and how many of them
  // come from the eager step.
  int generatedRows() const;
  int speculativeRows() const;

 private:
  struct Impl;
  explicit Motion(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qo::audio
