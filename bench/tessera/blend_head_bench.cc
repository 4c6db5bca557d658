// The blend head's convolution stack (3x3 7->16, ReLU, 16->16, ReLU, 16->1 over K pooled
// candidates at the demo's window, 56 x 71) one candidate at a time, on the engine's direct conv3x3
// kernel and as the pass runs it (minimal-filtering layers, conv3x3F23), beside the same stack as
// an ONNX Runtime graph (Conv, Relu) over the same weights and a batch of K, at the same thread
// count. The whole head forward (pooling, stack,
// upsampling, softmax, blend) is reported beside them.
//   QO_CORE_THREADS=1 build/bench/qo_bench_tessera --benchmark_filter=BlendHead --benchmark_min_time=0.5
//   QO_CORE_THREADS=2 build/bench/qo_bench_tessera --benchmark_filter=BlendHead --benchmark_min_time=0.5
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "qo/qo_conv_f23.h"
#include "qo/qo_pool.h"
#include "qo/qo_simd.h"
#include "tessera/qo_tessera_pass.h"
#include "tessera/demo_bank_data.h"
#include "tools/devkit/demo_tessera.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using namespace qo::tessera;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::vector<uint8_t> stackGraph(const HeadWeights& hw, int64_t K, int64_t h, int64_t w) {
  using namespace qo::onnx;
  const std::vector<Attr> pads = {attrInts("pads", {1, 1, 1, 1})};
  ModelBuilder b;
  b.input("x", kFloat, {K, 7, h, w});
  b.initializer("w0", tensorOf<float>({16, 7, 3, 3}, hw.cand0_w));
  b.initializer("b0", tensorOf<float>({16}, hw.cand0_b));
  b.initializer("w2", tensorOf<float>({16, 16, 3, 3}, hw.cand2_w));
  b.initializer("b2", tensorOf<float>({16}, hw.cand2_b));
  b.initializer("w4", tensorOf<float>({1, 16, 3, 3}, hw.cand4_w));
  b.initializer("b4", tensorOf<float>({1}, hw.cand4_b));
  b.node("Conv", {"x", "w0", "b0"}, {"c0"}, pads);
  b.node("Relu", {"c0"}, {"r0"});
  b.node("Conv", {"r0", "w2", "b2"}, {"c2"}, pads);
  b.node("Relu", {"c2"}, {"r2"});
  b.node("Conv", {"r2", "w4", "b4"}, {"y"}, pads);
  b.output("y", kFloat, {K, 1, h, w});
  return b.bytes();
}

void relu(float* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = std::max(p[i], 0.0f);
}

void BM_BlendHead(benchmark::State& state) {
  const int K = int(state.range(0)), crop = 512;
  const BankData bank = qo::bench::demoBankData(crop, 32);
  ServeConfig cfg = ServeConfig::fromHeadMemberJson(qo::devkit::demoHeadConfig());
  cfg.K = K;
  cfg.cut = std::max(cfg.cut, K);
  cfg.kshort = std::max(cfg.kshort, K);
  const std::string pt = qo::devkit::demoHeadPt();
  const HeadWeights head = loadHeadPt(reinterpret_cast<const uint8_t*>(pt.data()), pt.size());
  TeethPass pass(bank, head, cfg);
  const int H = pass.windowH(), W = pass.windowW(), h = H / 2, w = W / 2;
  const size_t hw = size_t(H) * W, hw2 = size_t(h) * w;

  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> cands(size_t(K) * 3 * hw), frame(3 * hw), blended(3 * hw), wts(size_t(K + 1) * hw);
  for (float& f : cands) f = u(rng);
  for (float& f : frame) f = u(rng);
  std::vector<uint8_t> del(hw, 1);
  std::vector<float> x(size_t(K) * 7 * hw2), a1(size_t(K) * 16 * hw2), a2(a1.size()), y(size_t(K) * hw2),
      yOrt(y.size());
  for (float& f : x) f = u(rng);

  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "qo_bench_blend_head");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(qo::pool::threads());
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  const std::vector<uint8_t> model = stackGraph(head, K, h, w);
  Ort::Session session(env, model.data(), model.size(), o);
  Ort::IoBinding bind(session);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::vector<int64_t> xs{K, 7, h, w}, ys{K, 1, h, w};
  Ort::Value xv = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), 4);
  Ort::Value yv = Ort::Value::CreateTensor<float>(mem, yOrt.data(), yOrt.size(), ys.data(), 4);
  bind.BindInput("x", xv);
  bind.BindOutput("y", yv);
  Ort::RunOptions ro;
  session.Run(ro, bind);

  const auto qoStack = [&] {
    qo::pool::parallelRange(size_t(K), 1, [&](size_t lo, size_t hi) {
      for (size_t k = lo; k < hi; ++k) {
        float* p1 = a1.data() + k * 16 * hw2;
        float* p2 = a2.data() + k * 16 * hw2;
        qo::simd::conv3x3Range(x.data() + k * 7 * hw2, 1, 7, h, w, head.cand0_w.data(), head.cand0_b.data(), 16, p1,
                               0, 16);
        relu(p1, 16 * hw2);
        qo::simd::conv3x3Range(p1, 1, 16, h, w, head.cand2_w.data(), head.cand2_b.data(), 16, p2, 0, 16);
        relu(p2, 16 * hw2);
        qo::simd::conv3x3Range(p2, 1, 16, h, w, head.cand4_w.data(), head.cand4_b.data(), 1, y.data() + k * hw2, 0,
                               1);
      }
    });
  };
  // The stack as the head runs it: the two 16-channel layers by the minimal-filtering transform
  // with the ReLU fused, the logit layer direct.
  std::vector<float> u0(qo::simd::conv3x3F23WeightFloats(7, 16)), u2(qo::simd::conv3x3F23WeightFloats(16, 16)),
      yF23(y.size());
  qo::simd::conv3x3F23Weights(head.cand0_w.data(), 7, 16, u0.data());
  qo::simd::conv3x3F23Weights(head.cand2_w.data(), 16, 16, u2.data());
  const auto f23Stack = [&] {
    qo::pool::parallelRange(size_t(K), 1, [&](size_t lo, size_t hi) {
      for (size_t k = lo; k < hi; ++k) {
        float* p1 = a1.data() + k * 16 * hw2;
        float* p2 = a2.data() + k * 16 * hw2;
        qo::simd::conv3x3F23(x.data() + k * 7 * hw2, 7, h, w, u0.data(), head.cand0_b.data(), 16, true, p1);
        qo::simd::conv3x3F23(p1, 16, h, w, u2.data(), head.cand2_b.data(), 16, true, p2);
        qo::simd::conv3x3Range(p2, 1, 16, h, w, head.cand4_w.data(), head.cand4_b.data(), 1, yF23.data() + k * hw2, 0,
                               1);
      }
    });
  };
  f23Stack();
  qoStack();
  double maxDiff = 0, maxDiffF23 = 0;
  for (size_t i = 0; i < y.size(); ++i) maxDiffF23 = std::max(maxDiffF23, double(std::abs(yF23[i] - yOrt[i])));
  for (size_t i = 0; i < y.size(); ++i) maxDiff = std::max(maxDiff, double(std::abs(y[i] - yOrt[i])));

  double tQo = 0, tOrt = 0, tHead = 0, tF23 = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    qoStack();
    tQo += since(t0);
    t0 = Clock::now();
    f23Stack();
    tF23 += since(t0);
    t0 = Clock::now();
    session.Run(ro, bind);
    tOrt += since(t0);
    t0 = Clock::now();
    pass.headForward(cands.data(), K, frame.data(), del.data(), blended.data(), wts.data());
    tHead += since(t0);
  }
  const double it = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["threads"] = qo::pool::threads();
  state.counters["qo_stack_ms"] = 1e3 * tQo / it;
  state.counters["ort_stack_ms"] = 1e3 * tOrt / it;
  state.counters["ort_over_qo"] = tOrt / std::max(tQo, 1e-12);
  state.counters["f23_stack_ms"] = 1e3 * tF23 / it;
  state.counters["ort_over_f23"] = tOrt / std::max(tF23, 1e-12);
  state.counters["direct_over_f23"] = tQo / std::max(tF23, 1e-12);
  state.counters["f23_max_abs_diff"] = maxDiffF23;
  state.counters["qo_head_ms"] = 1e3 * tHead / it;
  state.counters["max_abs_diff"] = maxDiff;
}

BENCHMARK(BM_BlendHead)->Arg(16)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
