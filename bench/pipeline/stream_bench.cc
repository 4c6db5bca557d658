// qo_stream against what a host would otherwise write with the frame functions: the same deltas
// (qo_fca), rows and frames, rendered and pasted one after the other on one thread. Both sides
// run alternately inside one benchmark, so they see the same load on shared cores, and the
// counters report each side's frames per second and their ratio (the overlap's gain).
//
//   build/bench/qo_bench_stream --benchmark_min_time=1x
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qo/qo.h"
#include "qo/qo_fca.h"
#include "qo/qo_stream.h"
#include "tools/devkit/demo_audio.h"
#include "tools/devkit/demo_bundle.h"

namespace {

const std::string kDir = "/tmp/qo_bench_stream_bundle";
constexpr int kFrames = 24;
constexpr int kNT = 6;

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU seconds of the whole process (all threads): per wall second, the cores a side kept busy.
double processCpu() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

std::vector<float> speech() {
  std::vector<float> a(size_t(kFrames) * 640);
  for (size_t i = 0; i < a.size(); ++i) a[i] = 0.3f * std::sin(float(i) * 0.06f) * std::sin(float(i) * 0.0007f);
  return a;
}

void sink(void* user, int, const uint8_t* rgb, int, int) { *static_cast<uint8_t*>(user) ^= rgb[0]; }

void BM_StreamVsSerial(benchmark::State& state) {
  const std::string frontend = qo::devkit::demoFrontendPath(kDir);
  const std::vector<float> audio = speech();
  // The runner's engine threads (0: the engine's count, as the serial side has).
  const int streamThreads = int(state.range(0));
  qo_stream* s = qo_stream_create(kDir.c_str(), frontend.c_str(), streamThreads, 0, 1.0f);
  qo_ctx* ctx = qo_create(kDir.c_str(), "render", 0, "");
  qo_fca* fca = qo_fca_create(frontend.c_str(), (kDir + "/fca_stream.onnx").c_str(), 0);
  if (!s || !ctx || !fca) {
    state.SkipWithError((std::string(qo_stream_last_error()) + qo_last_error() + qo_fca_last_error()).c_str());
    return;
  }
  std::vector<float> target(size_t(kNT) * 63, 0.0f), deltas(size_t(kFrames) * 63), xd(63);
  if (FILE* f = std::fopen((kDir + "/xs_target.bin").c_str(), "rb")) {
    if (std::fread(target.data(), 4, target.size(), f) != target.size()) state.SkipWithError("short xs_target.bin");
    std::fclose(f);
  }
  std::vector<uint8_t> frame(size_t(qo_width(ctx)) * qo_height(ctx) * 3);
  uint8_t mix = 0;
  double fcaSecs = 0, renderSecs = 0, pasteSecs = 0;  // the serial side's stages
  auto serial = [&] {
    auto t = Clock::now();
    qo_fca_deltas(fca, audio.data(), int(audio.size()), deltas.data(), kFrames);
    fcaSecs += since(t);
    for (int i = 0; i < kFrames; ++i) {
      const int row = i % kNT;
      for (int j = 0; j < 63; ++j) xd[size_t(j)] = target[size_t(row) * 63 + j] + deltas[size_t(i) * 63 + j];
      t = Clock::now();
      const float* crop = qo_render_kp_crop(ctx, row, target.data() + size_t(row) * 63, xd.data());
      renderSecs += since(t);
      t = Clock::now();
      if (!crop || !qo_paste_crop(ctx, row, crop, frame.data(), frame.size())) return false;
      pasteSecs += since(t);
      sink(&mix, i, frame.data(), 0, 0);
    }
    return true;
  };
  // Warm both sides (sessions, arenas, the pools of the calling and render threads).
  serial();
  qo_stream_run(s, audio.data(), int(audio.size()), sink, &mix);
  fcaSecs = renderSecs = pasteSecs = 0;

  double serialSecs = 0, streamSecs = 0, serialCpu = 0, streamCpu = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    double c0 = processCpu();
    if (!serial()) state.SkipWithError(qo_last_error());
    serialSecs += since(t0);
    serialCpu += processCpu() - c0;
    t0 = Clock::now();
    c0 = processCpu();
    if (qo_stream_run(s, audio.data(), int(audio.size()), sink, &mix) != kFrames) state.SkipWithError(qo_stream_last_error());
    streamSecs += since(t0);
    streamCpu += processCpu() - c0;
  }
  const double n = double(state.iterations()) * kFrames;
  state.counters["serial_fps"] = n / serialSecs;
  state.counters["stream_fps"] = n / streamSecs;
  state.counters["stream_over_serial"] = serialSecs / streamSecs;
  state.counters["serial_cores"] = serialCpu / serialSecs;
  state.counters["stream_cores"] = streamCpu / streamSecs;
  state.counters["serial_fca_ms"] = 1e3 * fcaSecs / double(state.iterations());
  state.counters["serial_render_ms"] = 1e3 * renderSecs / n;
  state.counters["serial_paste_ms"] = 1e3 * pasteSecs / n;
  state.SetLabel(std::to_string(kFrames) + " frames 1920x1080 crop 512 per side per iteration, runner threads " +
                 (streamThreads ? std::to_string(streamThreads) : std::string("default")));
  benchmark::DoNotOptimize(mix);
  qo_fca_destroy(fca);
  qo_destroy(ctx);
  qo_stream_destroy(s);
}

}  // namespace

int main(int argc, char** argv) {
  // As qo say and qo stream do on two cores: one warp node rather than the hoisted cone.
  if (!std::getenv("QO_WARP_NODE")) ::setenv("QO_WARP_NODE", "1", 1);
  qo::devkit::DemoOptions o;
  o.nt = kNT;
  std::fprintf(stderr, "writing the demo bundle (1920x1080, crop 512) to %s\n", kDir.c_str());
  qo::devkit::writeDemoBundle(kDir, o);
  benchmark::RegisterBenchmark("stream/qo_stream_run_vs_serial_render_paste", BM_StreamVsSerial)
      ->Arg(0)
      ->Arg(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(2);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
