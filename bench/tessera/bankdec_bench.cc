// Bank track decode (from memory, each frame converted straight into its donor slot) side by side
// with the ffmpeg command line decoding the same track to RGB24. The CLI's side is its own
// -benchmark "rtime" (open, decode and convert, without process start-up): subtracting a
// separately timed start-up left the noise of two ~60 ms process launches in a ~20 ms figure.
//   qo_bench_tessera            (needs the ffmpeg CLI on PATH for the comparison)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qo/qo_tessera.h"
#include <unistd.h>

#include <algorithm>
#include "tools/devkit/demo_tessera.h"

namespace {

// ffmpeg's own wall time for the command's transcode, or -1 when the CLI is missing or fails.
double ffmpegRtime(const std::string& args) {
  FILE* p = ::popen(("ffmpeg -hide_banner -nostats -benchmark " + args + " 2>&1").c_str(), "r");
  if (!p) return -1;
  double rtime = -1;
  char line[512];
  while (std::fgets(line, sizeof line, p))
    if (const char* r = std::strstr(line, "rtime=")) rtime = std::atof(r + 6);
  return ::pclose(p) == 0 ? rtime : -1;
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
  double engine = 0, cli = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = qo::tessera::decodeBankTrack(bytes, track.size(), b.n, b.w, b.h, b.track_order,
                                            qo::devkit::kDemoBankPixFmt);
    benchmark::DoNotOptimize(out.data());
    const double e = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double c =
        ffmpegRtime("-threads 1 -i " + dir + "/tessera_bank.v1.mp4 -f rawvideo -pix_fmt rgb24 -y /dev/null");
    if (c < 0) {
      state.SkipWithError("ffmpeg CLI not available");
      break;
    }
    engine += e;
    cli += c;
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
