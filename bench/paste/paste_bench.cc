// Paste::composite of a 512 crop into a 1080p frame in each sampling mode. The pool's thread
// count is fixed per process, so run the binary once per count:
//
//   QO_CORE_THREADS=1 build/bench/qo_bench_paste
//   QO_CORE_THREADS=2 build/bench/qo_bench_paste
//
// When OpenCV was found, the same binary also times what a user would otherwise write
// (paste_bench_opencv.cc), on as many OpenCV threads as the pool has.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "paste/paste_scene.h"
#include "paste/qo_paste.h"
#include "qo/qo_pool.h"

namespace {

void BM_PasteComposite(benchmark::State& state) {
  static const char* const kModes[] = {"0", "1", "2"};
  qo::bench::PasteScene scene;
  setenv("QO_PASTE_FAST", kModes[state.range(0)], 1);
  qo::Paste paste(scene.mask, scene.kSide, qo::Unsharp{});
  unsetenv("QO_PASTE_FAST");
  paste.composite(scene.crop.data(), 255.0f, scene.M, scene.frame.data(), scene.kW, scene.kH);  // warm
  for (auto _ : state) {
    paste.composite(scene.crop.data(), 255.0f, scene.M, scene.frame.data(), scene.kW, scene.kH);
    benchmark::ClobberMemory();
  }
  static const char* const kNames[] = {"lanczos8", "bicubic", "bilinear"};
  state.SetLabel(std::string(kNames[state.range(0)]) + " threads=" + std::to_string(qo::pool::threads()));
}
BENCHMARK(BM_PasteComposite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
