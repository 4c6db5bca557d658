// The whole-utterance audio-to-keypoint model behind qo_fca: a frontend session and a recurrent
// stream session of its own, on one ONNX Runtime environment ("qo_fca").
//
//   qo::audio::Fca fca(w2vPath, fcaPath, /*threads=*/0);
//   std::vector<float> deltas(63 * fca.frames(n));
//   fca.deltas(audio, n, deltas.data());
//
// Failures throw std::runtime_error naming the graph or the quantity at fault. One caller at a
// time.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <memory>
#include <string>
#include <vector>

namespace qo::audio {

class Fca {
 public:
  Fca(const std::string& w2vPath, const std::string& fcaPath, int threads);
  ~Fca();
  Fca(const Fca&) = delete;
  Fca& operator=(const Fca&) = delete;

  // Frames of an utterance of n samples: ceil(n / 640), 0 for n < 1.
  static int frames(int n);

  // Writes frames(n) rows of 63 deltas to out.
  void deltas(const float* audio, int n, float* out);

 private:
  // Per-frame features (mean of the chosen frontend layers), frames x 768.
  void features(const float* audio, int n, int frames);
  void stream(int frames, float* out);

  std::unique_ptr<Ort::Env> env_;
  Ort::SessionOptions options_;
  std::unique_ptr<Ort::Session> frontend_, stream_;
  Ort::MemoryInfo mem_;
  Ort::RunOptions run_;
  std::vector<float> window_, feats_, cond_, prev_, h_, m_, hn_;
};

}  // namespace qo::audio
