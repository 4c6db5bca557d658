// Streaming audio-to-expression on the demo audio models: compute per 320 ms block with the
// legacy 8 s frontend and with the short-window trunk/head pair, and the real-time factor of a
// 10 s utterance pushed in 320 ms blocks and drained after each.
//   qo_bench_audio
//
// Rows: Stream/<deployment>/<threads> (ms_per_block, rtf counters), and the frontend alone per
// block (FrontendBlock/<deployment>): one legacy window rerun against one trunk + head run, the
// ratio the NOT DEPLOYED warning prices.
//
// MotionVsA2x/<threads>/<eager>: qo_motion on the demo motion directory and qo_a2x with the
// short-window frontend, alternately on the same utterance in the same 320 ms blocks, both
// timed in one run (motion_ms_per_block, a2x_ms_per_block, both real-time factors and
// a2x_over_motion, the time ratio). MotionMel: the log-mel of one window (21 windowed 512-point
// FFTs and the mel matrix); 1.6 windows fall in a block, which prices the FFT's share of a block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/qo_a2x.h"
#include "audio/qo_feature_stream.h"
#include "audio/qo_motion.h"
#include "audio/qo_motion_mel.h"
#include "audio/qo_motion_members.h"
#include "audio/qo_speech_frontend.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_motion.h"

namespace {

constexpr int kRate = 16000, kBlock = 5120;  // 320 ms
constexpr double kSeconds = 10.0;
const std::string kLegacyDir = "/tmp/qo_bench_audio_legacy", kPairDir = "/tmp/qo_bench_audio_pair";
const std::string kMotionDir = "/tmp/qo_bench_audio_motion";

// Voiced syllables on a drifting pitch with pauses between words.
std::vector<float> utterance() {
  std::vector<float> s(size_t(kSeconds * kRate));
  double phase = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = double(i) / kRate;
    const double f0 = 140 + 40 * std::sin(2 * 3.14159 * 0.3 * t);
    phase += 2 * 3.14159 * f0 / kRate;
    double v = 0;
    for (int k = 1; k * f0 < 3500; ++k) v += std::sin(k * phase) / k;
    const double word = std::fmod(t, 1.1);
    const double env = word < 0.8 ? 0.5 - 0.5 * std::cos(2 * 3.14159 * word / 0.2) : 0.0;
    s[i] = float(0.25 * env * v);
  }
  return s;
}

void writeModels() {
  static const bool done = [] {
    qo::devkit::DemoAudioOptions legacy;
    legacy.shortWindow = false;
    std::system(("rm -rf " + kLegacyDir + " " + kPairDir).c_str());
    qo::devkit::writeDemoAudioModels(kLegacyDir, legacy);
    qo::devkit::writeDemoAudioModels(kPairDir, qo::devkit::DemoAudioOptions{});
    std::system(("rm -rf " + kMotionDir).c_str());
    qo::devkit::writeDemoMotion(kMotionDir, qo::devkit::DemoMotionOptions{});
    return true;
  }();
  (void)done;
}

struct Deployment {
  std::unique_ptr<qo::audio::SpeechFrontend> frontend = std::make_unique<qo::audio::SpeechFrontend>();
  std::unique_ptr<qo::audio::A2x> model;
};

Deployment open(const std::string& dir, int threads) {
  writeModels();
  Deployment d;
  setenv("W2V_ONNX", qo::devkit::demoFrontendPath(dir).c_str(), 1);
  d.model = qo::audio::A2x::create(dir, threads, *d.frontend);
  return d;
}

void streamUtterance(benchmark::State& state, const std::string& dir) {
  Deployment d = open(dir, int(state.range(0)));
  const std::vector<float> audio = utterance();
  std::vector<int> rows(64);
  std::vector<float> base(64 * 63), kp(64 * 63);
  const int blocks = int((audio.size() + kBlock - 1) / kBlock);  // the last one partial
  double seconds = 0;
  int frames = 0;
  for (auto _ : state) {
    d.model->reset(0, 1, 1);
    const auto t0 = std::chrono::steady_clock::now();
    frames = 0;
    for (int b = 0; b < blocks; ++b) {
      const size_t at = size_t(b) * kBlock;
      d.model->push(audio.data() + at, int(std::min<size_t>(kBlock, audio.size() - at)));
      while (d.model->avail() > 0) frames += d.model->pull(rows.data(), base.data(), kp.data(), nullptr, 64);
    }
    d.model->finish();
    while (d.model->avail() > 0) frames += d.model->pull(rows.data(), base.data(), kp.data(), nullptr, 64);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(kp.data());
  }
  if (frames != 250) state.SkipWithError("wrong frame count");
  const double perIteration = seconds / double(state.iterations());
  state.counters["ms_per_block"] = perIteration * 1000.0 / blocks;
  state.counters["rtf"] = perIteration / kSeconds;
}

void BM_Stream_Legacy(benchmark::State& state) { streamUtterance(state, kLegacyDir); }
void BM_Stream_ShortWindow(benchmark::State& state) { streamUtterance(state, kPairDir); }
BENCHMARK(BM_Stream_Legacy)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Stream_ShortWindow)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The frontend's own work for one 320 ms block of an open utterance: the legacy deployment reruns
// its 8 s window (fed the audio up to the block), the pair runs one 2 s trunk window and the head.
void frontendBlock(benchmark::State& state, bool shortWindow) {
  writeModels();
  const std::string dir = shortWindow ? kPairDir : kLegacyDir;
  qo::audio::SpeechFrontend fe;
  fe.legacySession(qo::devkit::demoFrontendPath(dir), int(state.range(0)));
  if (shortWindow && !fe.tryShortWindow(int(state.range(0)), qo::devkit::demoFrontendPath(dir))) {
    state.SkipWithError("pair not loaded");
    return;
  }
  const std::vector<float> audio = utterance();
  qo::audio::AudioView view;
  view.samples = audio.data();
  view.count = 96 * 640;
  view.usableFrames = 96;
  const int right = shortWindow ? 20 : 12;
  for (auto _ : state) {
    qo::audio::FeatureStream fs(fe, shortWindow, right, 12);
    if (shortWindow) {
      // Everything before the last block once, untimed; then the block itself.
      state.PauseTiming();
      fs.fill(68, view);
      state.ResumeTiming();
      view.count += kBlock;
      view.usableFrames += 8;
      fs.fill(76, view);
      view.count -= kBlock;
      view.usableFrames -= 8;
    } else {
      fs.fill(96, view);  // one window run: frames 0 .. 83
    }
    benchmark::DoNotOptimize(fs.row(0));
  }
}

void BM_FrontendBlock_Legacy(benchmark::State& state) { frontendBlock(state, false); }
void BM_FrontendBlock_ShortWindow(benchmark::State& state) { frontendBlock(state, true); }
BENCHMARK(BM_FrontendBlock_Legacy)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrontendBlock_ShortWindow)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Seconds to stream the utterance through qo_motion in 320 ms blocks, draining after each.
double streamMotion(qo::audio::Motion& m, const std::vector<float>& audio, int* frames) {
  std::vector<int> rows(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  m.reset(0, 1, 1);
  const auto t0 = std::chrono::steady_clock::now();
  *frames = 0;
  for (size_t at = 0; at < audio.size(); at += kBlock) {
    m.push(audio.data() + at, int(std::min<size_t>(kBlock, audio.size() - at)));
    while (m.avail() > 0) *frames += m.pull(rows.data(), xs.data(), xd.data(), 64);
  }
  m.finish();
  while (m.avail() > 0) *frames += m.pull(rows.data(), xs.data(), xd.data(), 64);
  benchmark::DoNotOptimize(xd.data());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double streamA2x(qo::audio::A2x& a, const std::vector<float>& audio, int* frames) {
  std::vector<int> rows(64);
  std::vector<float> base(64 * 63), kp(64 * 63);
  a.reset(0, 1, 1);
  const auto t0 = std::chrono::steady_clock::now();
  *frames = 0;
  for (size_t at = 0; at < audio.size(); at += kBlock) {
    a.push(audio.data() + at, int(std::min<size_t>(kBlock, audio.size() - at)));
    while (a.avail() > 0) *frames += a.pull(rows.data(), base.data(), kp.data(), nullptr, 64);
  }
  a.finish();
  while (a.avail() > 0) *frames += a.pull(rows.data(), base.data(), kp.data(), nullptr, 64);
  benchmark::DoNotOptimize(kp.data());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_MotionVsA2x(benchmark::State& state) {
  const int threads = int(state.range(0));
  Deployment a2x = open(kPairDir, threads);
  auto motion = qo::audio::Motion::create(kMotionDir, threads, "");
  motion->setEager(int(state.range(1)));
  const std::vector<float> audio = utterance();
  const int blocks = int((audio.size() + kBlock - 1) / kBlock);
  double motionSeconds = 0, a2xSeconds = 0;
  int motionFrames = 0, a2xFrames = 0;
  for (auto _ : state) {
    motionSeconds += streamMotion(*motion, audio, &motionFrames);
    a2xSeconds += streamA2x(*a2x.model, audio, &a2xFrames);
  }
  if (motionFrames != 250 || a2xFrames != 250) state.SkipWithError("wrong frame count");
  const double n = double(state.iterations());
  state.counters["motion_ms_per_block"] = motionSeconds / n * 1000.0 / blocks;
  state.counters["a2x_ms_per_block"] = a2xSeconds / n * 1000.0 / blocks;
  state.counters["motion_rtf"] = motionSeconds / n / kSeconds;
  state.counters["a2x_rtf"] = a2xSeconds / n / kSeconds;
  state.counters["a2x_over_motion"] = a2xSeconds / motionSeconds;
}
BENCHMARK(BM_MotionVsA2x)->ArgsProduct({{1, 2}, {0, 3}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_MotionMel(benchmark::State& state) {
  writeModels();
  const qo::audio::MotionMembers mb = qo::audio::readMotionMembers(kMotionDir);
  qo::audio::MotionMel mel(mb.window, mb.binmat);
  const std::vector<float> audio = utterance();
  std::vector<float> out(80 * 21);
  size_t at = 0;
  for (auto _ : state) {
    mel.compute(audio.data() + at, out.data());
    benchmark::DoNotOptimize(out.data());
    at = (at + 3200) % (audio.size() - qo::audio::kMelWindowSamples);
  }
  state.counters["ffts_per_s"] = benchmark::Counter(double(state.iterations()) * 21, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MotionMel)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
