// The per-frame compose geometry of the teeth borrow at canvas 512 on the demo's lip motion: the
// boxed pi mask and the delivered (contour-cut, shifted) mask, side by side with the plain
// whole-canvas pi mask a caller would otherwise rasterise.
//   qo_bench_tessera --benchmark_filter=Pi
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "tessera/qo_tessera_pi.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_PiDeliveredAgainstWholeCanvas(benchmark::State& state) {
  constexpr int kCanvas = 512, kFrames = 100;
  const qo::tessera::UnifiedPi pi = qo::tessera::UnifiedPi::fromManifestJson(
      "{\"unified\": " + qo::devkit::demoUnifiedManifestBlock(kCanvas) + "}", kCanvas);
  qo::tessera::LipContour lip =
      qo::tessera::LipContour::fromTemplateJson(qo::devkit::demoLipTemplateJson(kCanvas), kCanvas);
  std::vector<std::array<float, 63>> kps;
  for (int i = 0; i < kFrames; ++i) kps.push_back(qo::devkit::faceKeypoints(qo::devkit::demoIdleOpen(i)));
  const std::array<double, 2> ref = qo::devkit::demoPiCentroid(kCanvas);
  std::vector<uint8_t> out(size_t(kCanvas) * kCanvas);
  double boxed = 0, delivered = 0, whole = 0;
  int32_t rs = 0, cs = 0;
  size_t frames = 0;
  for (auto _ : state) {
    const double before = delivered;
    for (const auto& kp : kps) {
      const auto t0 = Clock::now();
      pi.piU8Boxed(kp.data(), out.data());
      const auto t1 = Clock::now();
      benchmark::DoNotOptimize(lip.deliveredU8AndShift(kp.data(), pi, ref.data(), out.data(), &rs, &cs));
      const auto t2 = Clock::now();
      pi.piU8(kp.data(), out.data());
      benchmark::DoNotOptimize(out.data());
      const auto t3 = Clock::now();
      boxed += std::chrono::duration<double>(t1 - t0).count();
      delivered += std::chrono::duration<double>(t2 - t1).count();
      whole += std::chrono::duration<double>(t3 - t2).count();
      ++frames;
    }
    state.SetIterationTime((delivered - before) / kFrames);  // per frame
  }
  const double n = double(std::max<size_t>(frames, 1));
  state.counters["boxed_ms"] = 1e3 * boxed / n;
  state.counters["delivered_ms"] = 1e3 * delivered / n;  // includes its own boxed pi mask
  state.counters["whole_canvas_ms"] = 1e3 * whole / n;
  state.counters["x_boxed"] = boxed > 0 ? whole / boxed : 0;
  state.counters["x_delivered"] = delivered > 0 ? whole / delivered : 0;
}
BENCHMARK(BM_PiDeliveredAgainstWholeCanvas)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
