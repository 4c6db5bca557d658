// Driver-video and prior decoding through the cursor, side by side with the ffmpeg command line
// decoding the same files (its start-up time subtracted), at the engine's real sizes.
//   qo_bench_driver            (needs the ffmpeg CLI on PATH for the comparison rows)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qo/qo_driver.h"
#include "tools/devkit/media_writer.h"

namespace {

constexpr int kFrames = 125;  // 5 s at 25 fps
const std::string kDir = "/tmp/qo_bench_driver";

// A moving scene with texture, so the encoder produces realistic packets.
void writeMovies() {
  std::system(("mkdir -p " + kDir).c_str());
  {
    qo::devkit::MovieOptions o;
    o.width = 1920;
    o.height = 1080;
    o.crf = 23;
    qo::devkit::MovieWriter w(kDir + "/driver.mp4", o);
    std::vector<uint8_t> rgb(1920 * 1080 * 3);
    for (int i = 0; i < kFrames; ++i) {
      for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x) {
          uint8_t* p = &rgb[(size_t(y) * 1920 + x) * 3];
          const double s = std::sin((x + 3 * i) * 0.02) * std::cos((y - 2 * i) * 0.015);
          p[0] = uint8_t(128 + 100 * s);
          p[1] = uint8_t((x * 7 + y * 3 + i * 5) & 0xFF);
          p[2] = uint8_t(((x ^ y) + i) & 0xFF);
        }
      w.addRgb(rgb.data());
    }
    w.finish();
  }
  {
    qo::devkit::MovieOptions o;
    o.width = o.height = 512;
    o.codec = qo::devkit::VideoCodec::kHevc444;
    o.crf = 18;
    qo::devkit::MovieWriter w(kDir + "/prior.mov", o);
    std::vector<uint8_t> rgb(512 * 512 * 3);
    for (int i = 0; i < kFrames; ++i) {
      for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
          uint8_t* p = &rgb[(size_t(y) * 512 + x) * 3];
          const double r = std::hypot(x - 256.0, y - 256.0 - i);
          p[0] = uint8_t(200 - std::min(r, 200.0));
          p[1] = uint8_t((x + i) & 0xFF);
          p[2] = uint8_t((y * 2) & 0xFF);
        }
      w.addRgb(rgb.data());
    }
    w.finish();
  }
}

double wallSeconds(const std::string& cmd) {
  const auto t0 = std::chrono::steady_clock::now();
  if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_CursorPull(benchmark::State& state, bool prior, bool byIndex) {
  int frames = 0;
  for (auto _ : state) {
    auto c = qo::DriverCursor::over(prior ? qo::driver::openPriorHevc(kDir + "/prior.mov", kFrames, 512)
                                          : qo::driver::openMp4(kDir + "/driver.mp4", kFrames, 1920, 1080),
                                    2, 11);
    const auto t0 = std::chrono::steady_clock::now();
    int si = 0;
    for (int k = 0; k < kFrames; ++k) {
      const uint8_t* p = byIndex ? c->pullAt(k, &si) : c->pull(&si);
      benchmark::DoNotOptimize(p);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    frames += kFrames;
    state.SetIterationTime(s);
    state.counters["resident_MB"] = double(c->residentBytes()) / 1e6;
    state.counters["ring_MB"] = double(c->frameBytes() * 14) / 1e6;
  }
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
}

// `threads` is the decoder's thread count; `out` the output options (e.g. a conversion to rgb24).
void BM_FfmpegCli(benchmark::State& state, const std::string& file, int threads, const std::string& out) {
  const double startup = wallSeconds("ffmpeg -v error -f lavfi -i nullsrc=s=16x16:d=0.04 -f null -");
  for (auto _ : state) {
    const double s = wallSeconds("ffmpeg -v error -threads " + std::to_string(threads) + " -i " + file + " " + out +
                                 " -threads " + std::to_string(threads) + " -f null -");
    if (s < 0 || startup < 0) {
      state.SkipWithError("ffmpeg CLI not available");
      return;
    }
    state.SetIterationTime(std::max(s - startup, 1e-6));
  }
  state.counters["fps"] = benchmark::Counter(double(kFrames) * double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  writeMovies();
  const std::string drv = kDir + "/driver.mp4", prior = kDir + "/prior.mov";
  using benchmark::RegisterBenchmark;
  auto reg = [](auto* b) { b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3); };
  reg(RegisterBenchmark("driver1080p/cursor_pull", BM_CursorPull, false, false));
  reg(RegisterBenchmark("driver1080p/cursor_pullAt", BM_CursorPull, false, true));
  for (int t : {1, 2, 4}) {
    const std::string n = std::to_string(t);
    reg(RegisterBenchmark(("driver1080p/ffmpeg_yuv_threads" + n).c_str(), BM_FfmpegCli, drv, t, ""));
    reg(RegisterBenchmark(("driver1080p/ffmpeg_rgb24_threads" + n).c_str(), BM_FfmpegCli, drv, t, "-pix_fmt rgb24"));
  }
  reg(RegisterBenchmark("prior512/cursor_pull", BM_CursorPull, true, false));
  for (int t : {1, 2, 4}) {
    const std::string n = std::to_string(t);
    reg(RegisterBenchmark(("prior512/ffmpeg_yuv444p_threads" + n).c_str(), BM_FfmpegCli, prior, t, ""));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("Compare the fps counters: the cursor rows decode and convert to RGB (or half planes) with the\n"
              "engine's decoder (4 frame threads); the ffmpeg rows decode the same files, start-up subtracted.\n");
  return 0;
}
