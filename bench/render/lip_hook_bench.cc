// The renderer's per-frame lip hook at crop 512 on the demo director: the contour rasterisation
// alone (LipContour::contourF32Canvas on the demo's lip motion), beside the whole frame render
// with the contour bound and the same render on the graph's own ellipse, all in one run.
//   qo_bench_lip_hook --benchmark_min_time=0.5s
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qo/qo_identity.h"
#include "qo/qo_renderer.h"
#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kDir = "/tmp/qo_bench_lip_hook";
constexpr int kCrop = 512, kFrames = 25;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::vector<std::array<float, 63>> lipMotion() {
  std::vector<std::array<float, 63>> kps;
  for (int i = 0; i < kFrames; ++i) kps.push_back(qo::devkit::faceKeypoints(qo::devkit::demoIdleOpen(i)));
  return kps;
}

// Per frame: the contour alone, then the bound render, then the ellipse render of the same frame.
void BM_LipHookAgainstFrameRender(benchmark::State& state) {
  qo::Manifest m = qo::loadManifest(kDir);
  qo::Identity id(m);
  std::remove((kDir + "/lip_template.v1.json").c_str());
  qo::Renderer ellipse(m, id, "b1", 0, "");
  qo::devkit::writeDemoPi(kDir, kCrop);
  qo::Renderer bound(m, id, "b1", 0, "");
  qo::tessera::LipContour lip =
      qo::tessera::LipContour::fromTemplateJson(qo::devkit::demoLipTemplateJson(kCrop), kCrop);
  std::vector<float> plane(size_t(kCrop) * kCrop);
  const auto kps = lipMotion();
  const std::array<float, 63> ks = qo::devkit::faceKeypoints(0);
  int32_t si = 0;
  bound.render(&si, ks.data(), kps[0].data(), 1);  // warm-up
  ellipse.render(&si, ks.data(), kps[0].data(), 1);
  double hook = 0, withLip = 0, without = 0;
  size_t frames = 0;
  for (auto _ : state) {
    const double before = hook;
    for (const auto& kd : kps) {
      si = int32_t(frames % size_t(m.NT));
      const auto t0 = Clock::now();
      lip.contourF32Canvas(kd.data(), plane.data());
      benchmark::DoNotOptimize(plane.data());
      const auto t1 = Clock::now();
      benchmark::DoNotOptimize(bound.render(&si, ks.data(), kd.data(), 1));
      const auto t2 = Clock::now();
      benchmark::DoNotOptimize(ellipse.render(&si, ks.data(), kd.data(), 1));
      const auto t3 = Clock::now();
      hook += seconds(t0, t1);
      withLip += seconds(t1, t2);
      without += seconds(t2, t3);
      ++frames;
    }
    state.SetIterationTime((hook - before) / kFrames);  // per frame
  }
  const double n = double(frames ? frames : 1);
  state.counters["contour_ms"] = 1e3 * hook / n;
  state.counters["render_lip_ms"] = 1e3 * withLip / n;
  state.counters["render_ellipse_ms"] = 1e3 * without / n;
  state.counters["contour_share_pct"] = withLip > 0 ? 100 * hook / withLip : 0;
}
BENCHMARK(BM_LipHookAgainstFrameRender)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// The rasterisation against the floor it cannot go under: clearing the canvas plane it writes.
void BM_ContourAgainstPlaneClear(benchmark::State& state) {
  qo::tessera::LipContour lip =
      qo::tessera::LipContour::fromTemplateJson(qo::devkit::demoLipTemplateJson(kCrop), kCrop);
  std::vector<float> plane(size_t(kCrop) * kCrop);
  const auto kps = lipMotion();
  double contour = 0, clear = 0;
  size_t frames = 0;
  for (auto _ : state) {
    const double before = contour;
    for (const auto& kd : kps) {
      const auto t0 = Clock::now();
      lip.contourF32Canvas(kd.data(), plane.data());
      benchmark::DoNotOptimize(plane.data());
      const auto t1 = Clock::now();
      std::fill(plane.begin(), plane.end(), 0.0f);
      benchmark::DoNotOptimize(plane.data());
      const auto t2 = Clock::now();
      contour += seconds(t0, t1);
      clear += seconds(t1, t2);
      ++frames;
    }
    state.SetIterationTime((contour - before) / kFrames);
  }
  const double n = double(frames ? frames : 1);
  state.counters["contour_us"] = 1e6 * contour / n;
  state.counters["clear_us"] = 1e6 * clear / n;
  state.counters["x_clear"] = clear > 0 ? contour / clear : 0;
}
BENCHMARK(BM_ContourAgainstPlaneClear)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  qo::devkit::DemoOptions o;
  o.nt = 4;
  o.audio = false;
  o.motion = false;
  std::fprintf(stderr, "writing the demo bundle (1920x1080, crop 512) to %s\n", kDir.c_str());
  qo::devkit::writeDemoBundle(kDir, o);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
