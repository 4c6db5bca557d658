// The streaming borrow per frame at the demo's crop 512, beside the batch pass on a canvas and
// mask already prepared (what qo_tessera_run_shift does per frame): the stream's own share is the
// float-to-byte conversion, the delivered mask with its shift, and the window write-back.
//   build/bench/qo_bench_tessera --benchmark_filter=StreamBorrow --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "qo/qo_pool.h"
#include "tessera/qo_tessera_stream.h"
#include "tools/devkit/demo_face.h"
#include "tools/devkit/demo_pi.h"
#include "tessera/demo_bank_data.h"
#include "tools/devkit/demo_tessera.h"

namespace {

using namespace qo::tessera;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void BM_StreamBorrow(benchmark::State& state) {
  const int crop = 512, frames = 8;
  const BankData bank = qo::bench::demoBankData(crop, 32);
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(qo::devkit::demoHeadConfig());
  const std::string pt = qo::devkit::demoHeadPt();
  const HeadWeights head = loadHeadPt(reinterpret_cast<const uint8_t*>(pt.data()), pt.size());
  const UnifiedPi pi =
      UnifiedPi::fromManifestJson("{\"unified\": " + qo::devkit::demoUnifiedManifestBlock(crop) + "}", crop);
  StreamBorrow stream(bank, head, cfg, pi, qo::devkit::demoLipTemplateJson(crop));
  TeethPass pass(bank, head, cfg);
  LipContour contour = LipContour::fromTemplateJson(qo::devkit::demoLipTemplateJson(crop), crop);

  // A few mouths of the demo face, as crops and as the batch runner's prepared canvases.
  const size_t plane = size_t(crop) * crop;
  std::vector<std::vector<float>> crops(frames);
  std::vector<std::array<float, 63>> kps(frames);
  std::vector<std::vector<uint8_t>> rgb(frames), masks(frames);
  std::vector<std::array<int32_t, 2>> shifts(frames);
  for (int k = 0; k < frames; ++k) {
    const float open = 0.15f + 0.05f * float(k);
    crops[k].resize(3 * plane);
    qo::devkit::renderCrop(crop, open, crops[k].data());
    kps[k] = qo::devkit::faceKeypoints(open);
    rgb[k].resize(3 * plane);
    masks[k].resize(plane);
    for (size_t p = 0; p < plane; ++p)
      for (int c = 0; c < 3; ++c) rgb[k][p * 3 + c] = StreamBorrow::quantise(crops[k][c * plane + p]);
    contour.deliveredU8AndShift(kps[k].data(), pi, bank.c_canon.data(), masks[k].data(), &shifts[k][0], &shifts[k][1]);
  }
  std::vector<float> work(3 * plane);
  FrameResult r;
  int k = 0;
  int32_t frameNo = 0;
  double tStream = 0, tPass = 0, tWrite = 0;
  for (auto _ : state) {
    const int j = k++ % frames;
    auto t0 = Clock::now();
    const bool got = stream.push(crops[j].data(), kps[j].data(), r);
    const double st = since(t0);
    tStream += st;
    t0 = Clock::now();
    work = crops[j];
    if (got) StreamBorrow::writeWindowDelta(work.data(), crop, r, stream.stamp());
    const double w = since(t0);
    tWrite += w;
    t0 = Clock::now();
    pass.push(frameNo++, rgb[j].data(), masks[j].data(), shifts[j].data(), r);
    tPass += since(t0);
    state.SetIterationTime(st + w);
  }
  const double it = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["threads"] = qo::pool::threads();
  state.counters["stream_ms"] = 1e3 * tStream / it;
  state.counters["write_ms"] = 1e3 * tWrite / it;
  state.counters["batch_pass_ms"] = 1e3 * tPass / it;
  state.counters["stream_over_batch"] = (tStream + tWrite) / std::max(tPass, 1e-12);
}

BENCHMARK(BM_StreamBorrow)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
