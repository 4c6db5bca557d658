// The live stream of qo serve (RGB frames to fragmented MP4, in process) against what a host
// would otherwise do: pipe raw frames into the ffmpeg CLI with the same x264 settings. Both run
// alternately in one benchmark over the same frames, so they share the machine's load; the
// counters give milliseconds per frame for each and their ratio (x = CLI / in process).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/qo/serve_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 25;

// A face-sized moving disc over a gradient: content x264 has to work on, not a flat field.
std::vector<std::vector<uint8_t>> makeFrames(int w, int h) {
  std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(size_t(w) * h * 3));
  for (int f = 0; f < kFrames; ++f) {
    const double cx = w * (0.4 + 0.1 * std::sin(f * 0.3)), cy = h * 0.5, r = h * 0.25;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &frames[f][(size_t(y) * w + x) * 3];
        const bool in = (x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r;
        p[0] = in ? 220 : uint8_t(40 + 80 * x / w);
        p[1] = in ? uint8_t(170 + 20 * std::sin(y * 0.1 + f)) : uint8_t(60 + 60 * y / h);
        p[2] = in ? 150 : 90;
      }
  }
  return frames;
}

double inProcess(const std::vector<std::vector<uint8_t>>& frames, int w, int h, size_t* bytes) {
  const std::vector<int16_t> pcm(640, 0);
  const auto t0 = Clock::now();
  qo::tool::LiveMp4 mp4(w, h, w, h, 2, 50, [bytes](const uint8_t*, size_t n) { *bytes += n; });
  for (const auto& f : frames) mp4.add(f.data(), pcm.data());
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// ffmpeg reading raw RGB on stdin, writing fragmented MP4 to a pipe that a thread drains.
double throughCli(const std::vector<std::vector<uint8_t>>& frames, int w, int h, size_t* bytes) {
  int in[2], out[2];
  if (pipe(in) || pipe(out)) return -1;
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    execlp("ffmpeg", "ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", size.c_str(), "-r", "25",
           "-i", "-", "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-profile:v", "baseline",
           "-pix_fmt", "yuv420p", "-crf", "23", "-g", "50", "-f", "mp4", "-movflags", "frag_every_frame+empty_moov+default_base_moof", "-",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  std::thread drain([&] {
    char buf[1 << 16];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) *bytes += size_t(n);
  });
  for (const auto& f : frames) {
    size_t at = 0;
    while (at < f.size()) {
      const ssize_t n = write(in[1], f.data() + at, f.size() - at);
      if (n <= 0) break;
      at += size_t(n);
    }
  }
  close(in[1]);
  drain.join();
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void BM_LiveStreamAgainstFfmpegCli(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const auto frames = makeFrames(w, h);
  double ours = 0, cli = 0;
  size_t ourBytes = 0, cliBytes = 0;
  for (auto _ : state) {
    ours += inProcess(frames, w, h, &ourBytes);
    cli += throughCli(frames, w, h, &cliBytes);
  }
  const double n = double(state.iterations()) * kFrames;
  state.counters["ours_ms"] = ours / n;
  state.counters["cli_ms"] = cli / n;
  state.counters["x"] = cli / ours;
  state.counters["ours_kB"] = double(ourBytes) / n / 1000;
  state.counters["cli_kB"] = double(cliBytes) / n / 1000;
}
BENCHMARK(BM_LiveStreamAgainstFfmpegCli)->Args({320, 240})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
