// Bank track decode (from memory, each frame converted straight into its donor slot) side by side
// with the ffmpeg command line decoding the same track to RGB24, start-up subtracted.
//   qo_bench_tessera            (needs the ffmpeg CLI on PATH for the comparison)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qo/qo_tessera.h"
#include <unistd.h>

#include <algorithm>
#include "tools/devkit/demo_tessera.h"

namespace {

double wallSeconds(const std::string& cmd) {
  const auto t0 = std::chrono::steady_clock::now();
  if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The demo bank at crop 512: 32 donors of 124 x 98, in one run alternating both sides.
void BM_BankDecodeAgainstFfmpegCli(benchmark::State& state) {
  const std::string dir = "/tmp/qo_bench_tessera_" + std::to_string(::getpid());
  std::system(("mkdir -p " + dir).c_str());
  qo::devkit::writeDemoTessera(dir, 512, 32);
  std::string track;
  if (FILE* f = std::fopen((dir + "/tessera_bank.v1.mp4").c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) track.append(buf, n);
    std::fclose(f);
  }
  const qo::devkit::DemoBank b = qo::devkit::demoBank(512, 32);
  const auto* bytes = reinterpret_cast<const uint8_t*>(track.data());
  const double startup = wallSeconds("ffmpeg -v error -f lavfi -i nullsrc=s=16x16:d=0.04 -f null -");
  double engine = 0, cli = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = qo::tessera::decodeBankTrack(bytes, track.size(), b.n, b.w, b.h, b.track_order,
                                            qo::devkit::kDemoBankPixFmt);
    benchmark::DoNotOptimize(out.data());
    const double e = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double c = wallSeconds("ffmpeg -v error -threads 1 -i " + dir +
                                 "/tessera_bank.v1.mp4 -f rawvideo -pix_fmt rgb24 -y /dev/null");
    if (c < 0 || startup < 0) {
      state.SkipWithError("ffmpeg CLI not available");
      break;
    }
    engine += e;
    cli += std::max(c - startup, 1e-6);
    state.SetIterationTime(e);
  }
  std::system(("rm -rf " + dir).c_str());
  const double it = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["engine_ms"] = 1e3 * engine / it;
  state.counters["ffmpeg_cli_ms"] = 1e3 * cli / it;
  state.counters["x"] = engine > 0 ? cli / engine : 0;
}
BENCHMARK(BM_BankDecodeAgainstFfmpegCli)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
