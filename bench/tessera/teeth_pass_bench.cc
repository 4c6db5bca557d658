// The teeth pass per frame at the demo's window (crop 512: 142 x 112), split into retrieval, blend
// head and the rest of the emit step (donor windows, delivery mask, composite), and the two-stage
// retrieval side by side with a plain exact search over every donor (what a user would write with
// the exact kernel). The pool size is fixed per process:
//   QO_CORE_THREADS=1 build/bench/qo_bench_tessera --benchmark_filter=TeethPass --benchmark_min_time=0.2
//   QO_CORE_THREADS=2 build/bench/qo_bench_tessera --benchmark_filter=TeethPass --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "qo/qo_pool.h"
#include "qo/qo_simd.h"
#include "tessera/qo_tessera_pass.h"
#include "tools/devkit/demo_tessera.h"

namespace {

using namespace qo::tessera;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// args: K, donors.
void BM_TeethPass(benchmark::State& state) {
  const int crop = 512, K = int(state.range(0)), donors = int(state.range(1));
  const qo::devkit::DemoBank b = qo::devkit::demoBank(crop, donors);
  BankData bank;
  bank.stamp = GeometryStamp::fromValues(qo::devkit::demoTesseraStamp(crop));
  bank.n_donors = b.n;
  bank.bands = b.donorBands;
  bank.cent = b.cent;
  bank.c_canon = {b.c_canon[0], b.c_canon[1]};
  bank.aperture = b.aperture;
  ServeConfig cfg = ServeConfig::fromHeadMemberJson(qo::devkit::demoHeadConfig());
  cfg.K = K;
  cfg.cut = std::max(cfg.cut, K);
  cfg.kshort = std::max(cfg.kshort, K);
  const std::string pt = qo::devkit::demoHeadPt();
  TeethPass pass(bank, loadHeadPt(reinterpret_cast<const uint8_t*>(pt.data()), pt.size()), cfg);
  const GeometryStamp& s = pass.stamp();

  // A mouth-like canvas: one donor's band pasted into the window with a little noise, the mask an
  // ellipse over the band.
  std::mt19937 rng(1);
  std::vector<uint8_t> rgb(size_t(crop) * crop * 3, 90), mask(size_t(crop) * crop, 0);
  const int bx = s.window_x0 + s.band_c0 - s.shift_margin, by = s.window_y0 + s.band_r0 - s.shift_margin;
  const uint8_t* band = b.donorBands.data() + size_t(donors / 2) * b.w * b.h * 3;
  for (int y = 0; y < b.h; ++y)
    for (int x = 0; x < b.w; ++x)
      for (int c = 0; c < 3; ++c)
        rgb[(size_t(by + y) * crop + bx + x) * 3 + c] =
            uint8_t(std::clamp(int(band[(size_t(y) * b.w + x) * 3 + c]) + int(rng() % 7) - 3, 0, 255));
  const double cx = b.c_canon[0], cy = b.c_canon[1], ax = 0.45 * (s.band_c1 - s.band_c0), ay = 0.45 * (s.band_r1 - s.band_r0);
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x) {
      const double e = ((x - cx) / ax) * ((x - cx) / ax) + ((y - cy) / ay) * ((y - cy) / ay);
      mask[size_t(y) * crop + x] = e < 1 ? 255 : (e < 1.3 ? uint8_t(255 * (1.3 - e) / 0.3) : 0);
    }

  const int H = s.window_h, W = s.window_w;
  const size_t hw = size_t(H) * W;
  std::vector<float> cands(size_t(K) * 3 * hw, 0.5f), frame(3 * hw, 0.4f), blended(3 * hw), wts(size_t(K + 1) * hw);
  std::vector<uint8_t> del(hw, 1);
  std::vector<int32_t> picked;
  std::vector<uint16_t> frame16(3 * hw), all16(size_t(donors) * 3 * hw);
  for (int d = 0; d < donors; ++d) pass.canonicalWindowF16(d, all16.data() + size_t(d) * 3 * hw);
  FrameResult r;
  int32_t frameNo = 0;
  double tPass = 0, tRetr = 0, tHead = 0, tBrute = 0;
  pass.push(frameNo++, rgb.data(), mask.data(), nullptr, r);
  for (auto _ : state) {
    auto t0 = Clock::now();
    pass.push(frameNo++, rgb.data(), mask.data(), nullptr, r);  // retrieval of this frame + emit of the last
    const double p = since(t0);
    t0 = Clock::now();
    pass.retrieve(rgb.data(), mask.data(), 0, 0, picked);
    tRetr += since(t0);
    t0 = Clock::now();
    pass.headForward(cands.data(), K, frame.data(), del.data(), blended.data(), wts.data());
    tHead += since(t0);
    // The plain alternative: the exact kernel against every donor's full-resolution window (the
    // windows converted once, up front).
    t0 = Clock::now();
    qo::simd::rgb8ToPlanarF16(pass.frameWindowU8().data(), frame16.data(), hw, hw);
    float best = INFINITY;
    int bestD = 0;
    for (int d = 0; d < donors; ++d) {
      const float v = qo::simd::retrieveTermExact(frame16.data(), all16.data() + size_t(d) * 3 * hw,
                                                  pass.teethWeights().data(), hw);
      if (v < best) best = v, bestD = d;
    }
    benchmark::DoNotOptimize(bestD);
    tBrute += since(t0);
    tPass += p;
    state.SetIterationTime(p);
  }
  const double it = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["threads"] = qo::pool::threads();
  state.counters["pass_ms"] = 1e3 * tPass / it;
  state.counters["retrieval_ms"] = 1e3 * tRetr / it;
  state.counters["head_ms"] = 1e3 * tHead / it;
  state.counters["rest_ms"] = 1e3 * std::max(0.0, tPass - tRetr - tHead) / it;
  state.counters["brute_exact_ms"] = 1e3 * tBrute / it;
  state.counters["brute_over_two_stage"] = tBrute / std::max(tRetr, 1e-12);
  state.counters["donors_blended"] = r.donors;
}

BENCHMARK(BM_TeethPass)->Args({16, 32})->Args({64, 128})->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
