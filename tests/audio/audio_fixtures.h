// Fixtures of the audio tests: speech-like signals made by code, motion directories holding the
// demo audio models, and streaming drivers that push and poll in a given pattern.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/qo_a2x.h"
#include "audio/qo_speech_frontend.h"
#include "support/test_support.h"
#include "tools/devkit/demo_audio.h"

namespace qo::test {

inline constexpr int kRate = 16000;

// A voiced stretch: a harmonic series on f0 (with slow vibrato) under two formant peaks, shaped
// into syllables of `syllable` seconds (raised-cosine envelopes), peak amplitude `amp`.
std::vector<float> voiced(double seconds, double f0, double amp = 0.3, double syllable = 0.25);
std::vector<float> silence(double seconds);
// White noise (a fricative-like unvoiced sound) of the given amplitude.
std::vector<float> noise(double seconds, double amp, uint32_t seed);
// Syllables and pauses of varying length and pitch, deterministic per seed.
std::vector<float> speechLike(double seconds, uint32_t seed);
std::vector<float> concat(const std::vector<std::vector<float>>& parts);

// A directory with the demo audio models; instances made by create() get their own speech
// frontend (one per rig), so each rig's deployment is independent of other tests.
class AudioRig {
 public:
  explicit AudioRig(const devkit::DemoAudioOptions& options = {});
  const std::string& dir() const { return dir_.path(); }
  std::string frontendPath() const { return devkit::demoFrontendPath(dir()); }
  audio::SpeechFrontend& frontend() { return *frontend_; }
  // $W2V_ONNX points at this rig's legacy graph for the call.
  std::unique_ptr<audio::A2x> create(int threads = 1);

 private:
  TempDir dir_;
  std::unique_ptr<audio::SpeechFrontend> frontend_;
};

// Frames as pulled: rows, 63 base and 63 kp floats and one wn value per frame.
struct Frames {
  std::vector<int> rows;
  std::vector<float> base, kp, wn;
  int count() const { return int(rows.size()); }
  void append(const int* r, const float* b, const float* k, const float* w, int n);
  float gap(int frame) const;  // lip opening: bottom lip y - top lip y
};

// Pulls everything currently available, `pullMax` at a time.
void drain(audio::A2x& a, Frames& into, int pullMax);

// Streams the audio in pushes of `pushSize` samples, draining after every `pollEvery` pushes,
// then finishes and drains to the end.
Frames streamAll(audio::A2x& a, const std::vector<float>& audio, int pushSize, int pollEvery, int pullMax = 8);

// Frames computed so far after polling avail until it stops growing.
int computedAfterPolling(audio::A2x& a);

// Writes a float32 file.
void writeFloats(const std::string& path, const std::vector<float>& v);
std::vector<float> readFloats(const std::string& path);

}  // namespace qo::test
