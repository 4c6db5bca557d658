// The speech frontend shared by every qo_a2x instance of the process: the legacy whole-window
// graph ($W2V_ONNX, 8 s windows) and the optional short-window trunk/head pair (2 s windows per
// block of 8 frames), loaded once under one mutex, plus the cached features of 8 s of silence
// under a second one. After loading, the sessions are run by all instances at once.
//
//   SpeechFrontend& fe = SpeechFrontend::shared();
//   fe.legacySession(path, threads);            // first path wins
//   bool pair = fe.tryShortWindow(threads, path);
//
// Separate instances exist for tests and benchmarks that need both deployments in one process.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qo::audio {

inline constexpr int kFeatureLayers = 12;
inline constexpr int kFeatureWidth = 768;
inline constexpr int kFeatureRow = kFeatureLayers * kFeatureWidth;  // 9216 floats per frame
inline constexpr int kFrameSamples = 640;                           // 40 ms at 16 kHz
inline constexpr int kLegacySamples = 128000;                       // 8 s
inline constexpr int kLegacyFrames = 200;
inline constexpr int kLegacyHop = 100;                              // frames (4 s)
inline constexpr int kTrunkSamples = 32000;                         // 2 s
inline constexpr int kTrunkChannels = 640;
inline constexpr int kBlockFrames = 8;

class SpeechFrontend {
 public:
  SpeechFrontend();
  ~SpeechFrontend();
  SpeechFrontend(const SpeechFrontend&) = delete;
  SpeechFrontend& operator=(const SpeechFrontend&) = delete;

  // The process's frontend; lives until the process ends.
  static SpeechFrontend& shared();

  // The legacy session, loaded from `path` on the first call (threads < 1: the pool's count);
  // later calls return it whatever path they name. Load errors propagate.
  Ort::Session* legacySession(const std::string& path, int threads);
  bool legacyLoaded() const;
  std::string legacyPath() const;

  // Whether the short-window pair is available; only the first call per frontend looks for it
  // (explicit paths, else beside `w2vPath`) and prints what it found.
  bool tryShortWindow(int threads, const std::string& w2vPath);

  // Length of the trunk output's time axis; 0 until declared by the graph or seen in a run.
  int trunkLength() const { return trunkLength_.load(std::memory_order_acquire); }

  // Runs; safe from any number of threads once the sessions are loaded. Each checks the output
  // against the interface and throws std::runtime_error naming what differs.
  // 128 000 normalised samples -> 12 x 200 x 768 floats, layer-major.
  Ort::Value runLegacy(const float* window) const;
  // 32 000 normalised samples -> half precision [1, 640, LT]; fixes LT from the first run when
  // the graph left it open.
  Ort::Value runTrunk(const float* window);
  // [8, 640] -> 8 x 9216 floats, frame-major.
  Ort::Value runHead(const float* x) const;

  // The legacy output for 8 s of silence (200 x 9216 floats, layer-major), computed once.
  const std::vector<float>& silenceFeatures();

 private:
  Ort::Env& env();

  mutable std::mutex mutex_;  // loading of all three sessions
  std::unique_ptr<Ort::Env> env_;
  std::unique_ptr<Ort::Session> legacy_, trunk_, head_;
  std::string legacyPath_, trunkOutName_, legacyOutName_;
  bool winTried_ = false;
  std::atomic<int> trunkLength_{0};
  Ort::MemoryInfo mem_;

  std::mutex silenceMutex_;
  std::vector<float> silence_;
};

}  // namespace qo::audio
