// The native fp16 conv engine against ONNX Runtime on the m4b demo graph at crop 512, batch 1,
// at 1 and 2 threads: both run alternately inside one benchmark so that they share the load of
// the machine, and the counters report each side's ms/frame and GFLOP/s and their ratio. GFLOP/s
// count the network's direct-convolution FLOPs for both sides (the same work); the percentages of
// peak count what each side executes (ORT: direct; the engine: Winograd products). The conv3x3_*
// counters take the 3x3 layers alone from the engine's profile, in executed products and, for
// conv3x3_graph_pct_peak, in the network's FLOPs (QO_BENCH_LAYERS=1 lists every layer and the rest
// of the frame's phases on stderr).
// BM_Conv3x3Layer runs single 3x3 layers on one thread, the direct kernel and its Winograd form
// alternately, against this CPU's FMA peak per core, measured: 12 independent FMA chains on one
// thread at 256 and (where the CPU has AVX-512) 512 bits, the faster width taken. A peak from the
// clock alone guesses twice: the boost clock (VMs report a nominal "cpu MHz" well under it, and
// newer Intel cores fold dependent immediate adds, so an add chain reads 4x the clock) and the
// FMA width per cycle (Zen 4 splits 512-bit FMAs over its 256-bit pipes, server Intel cores run
// two at full width). Winograd rates count the direct FLOPs.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "compute/fma_chains.h"
#include "compute/qo_convf16.h"
#include "hwy/aligned_allocator.h"
#include "qo/qo_simd.h"
#include "render/qo_conv.h"
#include "tools/devkit/demo_m4b.h"

namespace {

const std::string kGraph = "/tmp/qo_bench_m4b_b1.onnx";

// Multiply-adds per frame of the network's convolutions and basis product (or of its 3x3 layers
// alone), times two.
double flopsPerFrame(bool only3x3 = false) {
  struct L {
    double hw, cin, cout, taps;
  };
  const L layers[] = {{1024, 85, 96, 1},   {1024, 96, 96, 9},   {256, 96, 144, 9},   {64, 144, 192, 9},
                      {256, 336, 144, 9},  {1024, 240, 96, 9},  {4096, 96, 48, 9},   {4096, 48, 23, 9},
                      {65536, 7, 24, 9},   {65536, 24, 24, 9},  {65536, 24, 12, 9},  {6 * 53248, 7, 32, 9},
                      {6 * 53248, 32, 32, 9}, {6 * 53248, 32, 32, 9}, {6 * 53248, 32, 3, 9}};
  double macs = only3x3 ? 0.0 : 64.0 * 196608;
  for (const L& l : layers)
    if (!only3x3 || l.taps == 9) macs += l.hw * l.cin * l.cout * l.taps;
  return 2 * macs;
}

// Multiply-adds the engine executes per frame, times two: 3x3 layers in Winograd F(4x4, 3x3) form
// (36 products per 16 outputs) over stored channel counts (padded to multiples of 8); the 1x1 layer
// and the basis product as they are. The transforms' additions are not counted.
double executedFlopsPerFrame() {
  struct L {
    double hw, cin, cout, taps;
  };
  const L layers[] = {{1024, 88, 96, 1},   {1024, 96, 96, 9},   {256, 96, 144, 9},   {64, 144, 192, 9},
                      {256, 336, 144, 9},  {1024, 240, 96, 9},  {4096, 96, 48, 9},   {4096, 48, 24, 9},
                      {65536, 8, 24, 9},   {65536, 24, 24, 9},  {65536, 24, 16, 9},  {6 * 53248, 8, 32, 9},
                      {6 * 53248, 32, 32, 9}, {6 * 53248, 32, 32, 9}, {6 * 53248, 32, 8, 9}};
  double macs = 64.0 * 196608;
  for (const L& l : layers) macs += l.taps == 9 ? l.hw / 16 * 36 * l.cin * l.cout : l.hw * l.cin * l.cout;
  return 2 * macs;
}

// This thread's CPU time: on the shared machine it leaves out the time the thread was not running.
double threadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Sustained float FLOP/s of one core, timed on the calling thread's CPU time so that time the
// core spent elsewhere is not counted.
double peakGflopsPerCore() {
  static const double gflops = [] {
#ifdef QO_FMA_CHAINS_X86
    const auto rate = [](void (*run)(int64_t), int lanes) {
      constexpr int64_t kIters = 20000000;
      double best = 0;
      for (int round = 0; round < 3; ++round) {
        const double t0 = threadSeconds();
        run(kIters);
        const double s = threadSeconds() - t0;
        best = std::max(best, double(qo::bench::kFmaChains) * lanes * 2 * double(kIters) / s / 1e9);
      }
      return best;
    };
    double peak = 0;
    if (__builtin_cpu_supports("fma")) peak = rate(qo::bench::fmaChainsYmm, 8);
    if (__builtin_cpu_supports("avx512f")) peak = std::max(peak, rate(qo::bench::fmaChainsZmm, 16));
    if (peak > 0) return peak;
#endif
    // Elsewhere: two 128-bit FMA pipes at the nominal clock.
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("cpu MHz", 0) == 0) return 2.0 * 4 * 2 * std::stod(line.substr(line.find(':') + 1)) / 1000.0;
    return 1.0;
  }();
  return gflops;
}

double processCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void ensureGraph() {
  static bool done = false;
  if (done) return;
  qo::devkit::writeM4bDirector(kGraph, {});
  done = true;
}

void BM_EngineVsOrt(benchmark::State& state) {
  const int threads = int(state.range(0));
  ensureGraph();
  std::unique_ptr<qo::ConvBackend> engine = qo::ConvBackend::create(kGraph, threads);

  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "bench");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  Ort::Session session(env, kGraph.c_str(), so);

  std::vector<float> pooled(65536), p(3 * 512 * 512), ks(63), kd(63), out(3 * 512 * 512), ortOut(out.size());
  for (size_t i = 0; i < pooled.size(); ++i) pooled[i] = 0.25f * std::sin(float(i) * 0.013f);
  for (size_t i = 0; i < p.size(); ++i) p[i] = 0.5f + 0.3f * std::sin(float(i % 512) * 0.02f);
  for (int i = 0; i < 63; ++i) ks[size_t(i)] = 0.02f * float(i % 21) - 0.2f, kd[size_t(i)] = ks[size_t(i)] + 0.01f;
  std::vector<uint16_t> pooled16(pooled.size()), p16(p.size());
  qo::simd::f32ToF16(pooled.data(), pooled16.data(), pooled.size());
  qo::simd::f32ToF16(p.data(), p16.data(), p.size());
  const uint16_t* pp[1] = {pooled16.data()};
  const uint16_t* pr[1] = {p16.data()};

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t sp[] = {1, 64, 32, 32}, sP[] = {1, 3, 512, 512}, sk[] = {1, 21, 3};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), sp, 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, p.data(), p.size(), sP, 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), sk, 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), sk, 3));
  Ort::Value o = Ort::Value::CreateTensor<float>(mem, ortOut.data(), ortOut.size(), sP, 4);
  const char* inNames[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* outNames[] = {"rgb"};
  auto runOrt = [&] { session.Run(Ort::RunOptions{nullptr}, inNames, in.data(), 4, outNames, &o, 1); };
  auto runEngine = [&] { engine->render(pp, pr, ks.data(), kd.data(), 1, out.data()); };
  runOrt();
  runEngine();
  engine->setProfiling(true);  // a few clock reads per layer: the 3x3 layers' own rate below

  using Clock = std::chrono::steady_clock;
  double engineS = 0, ortS = 0, engineCpu = 0, ortCpu = 0;
  for (auto _ : state) {
    const double c0 = processCpuSeconds();
    auto t0 = Clock::now();
    runEngine();
    auto t1 = Clock::now();
    const double c1 = processCpuSeconds();
    runOrt();
    auto t2 = Clock::now();
    const double c2 = processCpuSeconds();
    engineS += std::chrono::duration<double>(t1 - t0).count();
    ortS += std::chrono::duration<double>(t2 - t1).count();
    engineCpu += c1 - c0;
    ortCpu += c2 - c1;
  }
  const double n = double(state.iterations()), flops = flopsPerFrame();
  state.counters["engine_ms"] = engineS / n * 1e3;
  state.counters["ort_ms"] = ortS / n * 1e3;
  state.counters["ort_over_engine"] = ortS / engineS;
  state.counters["engine_GFLOPs"] = flops * n / engineS / 1e9;
  state.counters["ort_GFLOPs"] = flops * n / ortS / 1e9;
  // Against the peak: the engine's executed products, over its wall time, per thread used.
  state.counters["engine_exec_pct_peak"] =
      100.0 * executedFlopsPerFrame() * n / engineS / 1e9 / (peakGflopsPerCore() * threads);
  state.counters["ort_pct_peak"] = 100.0 * flops * n / ortS / 1e9 / (peakGflopsPerCore() * threads);
  state.counters["GFLOP_per_frame"] = flops / 1e9;
  state.counters["engine_exec_GFLOP_per_frame"] = executedFlopsPerFrame() / 1e9;
  // CPU seconds of every thread of the process: on a loaded machine the steadier measure of work.
  state.counters["engine_cpu_ms"] = engineCpu / n * 1e3;
  state.counters["ort_cpu_ms"] = ortCpu / n * 1e3;
  state.counters["ort_over_engine_cpu"] = ortCpu / engineCpu;
  // The 3x3 layers alone: their executed products over their phases' wall time per thread, and
  // over the process CPU time of those phases (the per-core rate, steadier on a loaded machine).
  double flops3 = 0, wall3 = 0, cpu3 = 0;
  for (const qo::ConvBackend::LayerProfile& l : engine->profile()) {
    if (l.taps == 9) flops3 += l.executedFlops, wall3 += l.wallSeconds, cpu3 += l.cpuSeconds;
    if (std::getenv("QO_BENCH_LAYERS")) {  // per layer, and the rest of the frame's phases
      std::fprintf(stderr, "threads %d %-8s %s %7.3f ms wall %7.3f ms cpu", threads, l.name.c_str(),
                   l.taps == 0 ? "other   " : l.winograd ? "winograd" : "direct  ", l.wallSeconds / n * 1e3,
                   l.cpuSeconds / n * 1e3);
      if (l.taps > 0)
        std::fprintf(stderr, " %6.1f%% of peak per core (cpu)",
                     100.0 * l.executedFlops / l.cpuSeconds / 1e9 / peakGflopsPerCore());
      std::fprintf(stderr, "\n");
    }
  }
  const double peak = peakGflopsPerCore();
  state.counters["conv3x3_ms"] = wall3 / n * 1e3;
  state.counters["rest_ms"] = (engineS - wall3) / n * 1e3;  // 1x1 layer, per-frame path, basis, image path
  state.counters["conv3x3_exec_pct_peak"] = 100.0 * flops3 / wall3 / 1e9 / (peak * threads);
  state.counters["conv3x3_exec_pct_peak_cpu"] = 100.0 * flops3 / cpu3 / 1e9 / peak;
  // The same phases in the network's own FLOPs (the measure of engine_GFLOPs and of ORT's figures):
  // the Winograd form does a quarter of the products, so this rate can pass the peak.
  state.counters["conv3x3_graph_pct_peak"] = 100.0 * flopsPerFrame(true) * n / wall3 / 1e9 / (peak * threads);
}
BENCHMARK(BM_EngineVsOrt)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

// One 3x3 layer: args width, height, cin, cout (stored channels, multiples of 8).
void BM_Conv3x3Layer(benchmark::State& state) {
  const int W = int(state.range(0)), H = int(state.range(1)), cin = int(state.range(2)), cout = int(state.range(3));
  auto in = hwy::AllocateAligned<uint16_t>(size_t(H + 2) * (W + 2) * cin);
  auto outp = hwy::AllocateAligned<uint16_t>(size_t(H + 2) * (W + 2) * cout);
  auto w = hwy::AllocateAligned<float>(size_t(9) * cin * cout);
  auto b = hwy::AllocateAligned<float>(size_t(cout));
  auto stage = hwy::AllocateAligned<float>(qo::simd::convF16StageFloats(W, cin));
  for (size_t i = 0; i < size_t(H + 2) * (W + 2) * cin; ++i) in[i] = qo::f32ToF16(float(i % 7) * 0.1f);
  for (size_t i = 0; i < size_t(9) * cin * cout; ++i) w[i] = float(i % 5) * 0.01f;
  for (int i = 0; i < cout; ++i) b[size_t(i)] = 0.0f;
  const qo::simd::ConvF16Layer L{9, cin, cout, w.get(), b.get(), true};
  // The Winograd form of the same layer, timed alternately with the direct one.
  auto u = hwy::AllocateAligned<float>(qo::simd::winogradWeightFloats(cin, cout));
  auto wstage = hwy::AllocateAligned<float>(qo::simd::winogradStageFloats(W, cin, cout));
  qo::simd::winogradWeights(w.get(), cin, cout, u.get());
  const qo::simd::ConvF16Layer LW{9, cin, cout, u.get(), b.get(), true};
  double directS = 0, winogradS = 0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    qo::simd::convF16Rows(L, {in.get(), outp.get(), W}, 0, H, stage.get());
    const double t1 = threadSeconds();
    qo::simd::winogradRows(LW, {in.get(), outp.get(), W}, 0, H, wstage.get());
    winogradS += threadSeconds() - t1;
    directS += t1 - t0;
  }
  // Direct-convolution FLOPs for both, so that the Winograd figure is the equivalent rate.
  const double flops = 2.0 * W * H * cin * cout * 9 * double(state.iterations());
  state.counters["direct_GFLOPs"] = flops / directS / 1e9;
  state.counters["winograd_equiv_GFLOPs"] = flops / winogradS / 1e9;
  state.counters["direct_over_winograd"] = directS / winogradS;
  state.counters["peak_GFLOPs"] = peakGflopsPerCore();
}
BENCHMARK(BM_Conv3x3Layer)
    ->Args({208, 256, 32, 32})  // tile1 / tile2
    ->Args({256, 256, 24, 24})  // corr1
    ->Args({32, 32, 240, 96})   // d0
    ->Args({64, 64, 96, 48})    // ref
    ->Args({208, 256, 8, 32})   // tile0
    ->Args({208, 256, 32, 8})   // tile3
    ->Args({16, 16, 336, 144})  // d1: narrow, the weights stream
    ->Args({8, 8, 144, 192})    // e2: four blocks per map
    ->Args({16, 16, 96, 144})   // e1
    ->Unit(benchmark::kMillisecond);

// The image path's refine and feather rows (one 512-pixel row, three 208-pixel tile rows per
// colour) against the plain loops they replace, alternately: per-row microseconds and the ratio.
void BM_ImageRows(benchmark::State& state) {
  constexpr int side = 512, tileW = 208, tileX[3] = {0, 152, 304};
  std::vector<uint16_t> k2(size_t(side / 2) * 16), row8(size_t(side) * 8), tile(size_t(tileW) * 8);
  std::vector<float> warped(3 * side), occ(side), refined(3 * side), fe(tileW), out(3 * side), k2f(k2.size()),
      rowF(size_t(side) * 8), tileF(tile.size());
  for (size_t i = 0; i < k2.size(); ++i) k2[i] = qo::f32ToF16(std::sin(float(i)) * 0.1f);
  for (size_t i = 0; i < tile.size(); ++i) tile[i] = qo::f32ToF16(std::cos(float(i)) * 0.1f);
  for (int i = 0; i < 3 * side; ++i) warped[size_t(i)] = std::sin(float(i) * 0.3f);
  for (int i = 0; i < side; ++i) occ[size_t(i)] = 0.5f;
  for (int i = 0; i < tileW; ++i) fe[size_t(i)] = float(i) / tileW;
  double kernelS = 0, plainS = 0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    qo::simd::ConvRefineRowArgs a;
    a.k2 = k2.data(), a.phase = 1, a.occ = occ.data(), a.row8 = row8.data(), a.side = side;
    for (int c = 0; c < 3; ++c) a.warped[c] = warped.data() + c * side, a.refined[c] = refined.data() + c * side;
    qo::simd::convRefineRow(a);
    for (int c = 0; c < 3; ++c)
      for (int t = 0; t < 3; ++t)
        qo::simd::convFeatherRow(tile.data(), c, fe.data(), out.data() + c * side + tileX[t], tileW);
    benchmark::DoNotOptimize(out.data());
    const double t1 = threadSeconds();
    // The plain loops: widen, combine per pixel, narrow; widen the tile row, strided multiply-add.
    qo::simd::f16ToF32(k2.data(), k2f.data(), k2.size());
    for (int x = 0; x < side; ++x) {
      const float* k = k2f.data() + size_t(x / 2) * 16 + 2 + (x % 2);
      float* r = rowF.data() + size_t(x) * 8;
      for (int c = 0; c < 3; ++c) {
        const float w = warped[size_t(c * side + x)];
        r[c] = refined[size_t(c * side + x)] = w + k[c * 4];
        r[3 + c] = w;
      }
      r[6] = occ[size_t(x)], r[7] = 0.0f;
    }
    qo::simd::f32ToF16(rowF.data(), row8.data(), rowF.size());
    for (int c = 0; c < 3; ++c)
      for (int t = 0; t < 3; ++t) {
        qo::simd::f16ToF32(tile.data(), tileF.data(), tile.size());
        float* o = out.data() + c * side + tileX[t];
        for (int x = 0; x < tileW; ++x) o[x] = o[x] + tileF[size_t(x) * 8 + size_t(c)] * fe[size_t(x)];
      }
    benchmark::DoNotOptimize(out.data());
    plainS += threadSeconds() - t1;
    kernelS += t1 - t0;
  }
  state.counters["kernel_us"] = kernelS / double(state.iterations()) * 1e6;
  state.counters["plain_us"] = plainS / double(state.iterations()) * 1e6;
  state.counters["plain_over_kernel"] = plainS / kernelS;
}
BENCHMARK(BM_ImageRows);

// The basis product of one and of four frames (64 coefficients against 3 x 256 x 256 columns, the
// 50 MB float table streamed once per call) against the plain loop over a row-major basis, each
// frame's row accumulated coefficient by coefficient, alternately: ms per call and the ratio.
void BM_BasisProduct(benchmark::State& state) {
  constexpr int k = 64;
  constexpr size_t cols = 196608;
  const int frames = int(state.range(0));
  std::vector<float> rowMajor(size_t(k) * cols), blocked(rowMajor.size()), coef(size_t(4) * k);
  for (size_t i = 0; i < rowMajor.size(); ++i) rowMajor[i] = float(i % 97) * 0.01f;
  for (int j = 0; j < k; ++j)
    for (size_t c = 0; c < cols; ++c) blocked[(c / 8 * k + size_t(j)) * 8 + c % 8] = rowMajor[size_t(j) * cols + c];
  for (size_t i = 0; i < coef.size(); ++i) coef[i] = std::sin(float(i));
  std::vector<std::vector<float>> out(4, std::vector<float>(cols));
  float* rows[4] = {out[0].data(), out[1].data(), out[2].data(), out[3].data()};
  double kernelS = 0, plainS = 0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    qo::simd::basisColumns(coef.data(), k, blocked.data(), 0, cols, rows, frames);
    benchmark::DoNotOptimize(rows[0]);
    const double t1 = threadSeconds();
    for (int f = 0; f < frames; ++f) {
      float* o = rows[f];
      std::fill(o, o + cols, 0.0f);
      for (int j = 0; j < k; ++j) {
        const float w = coef[size_t(f * k + j)], *b = rowMajor.data() + size_t(j) * cols;
        for (size_t c = 0; c < cols; ++c) o[c] += w * b[c];
      }
    }
    benchmark::DoNotOptimize(rows[0]);
    plainS += threadSeconds() - t1;
    kernelS += t1 - t0;
  }
  state.counters["kernel_ms"] = kernelS / double(state.iterations()) * 1e3;
  state.counters["plain_ms"] = plainS / double(state.iterations()) * 1e3;
  state.counters["plain_over_kernel"] = plainS / kernelS;
  state.counters["kernel_GBps"] = double(blocked.size()) * 4 * double(state.iterations()) / kernelS / 1e9;
}
BENCHMARK(BM_BasisProduct)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
