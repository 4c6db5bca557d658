// Int8ConvVNNI against what a graph would otherwise run, at the same thread count, in one run:
// ORT's float Conv on the same float weights, and ORT's standard quantised chain
// (DynamicQuantizeLinear -> ConvInteger -> Cast -> Mul -> Add) on the same int8 weights. Each
// side is a one-node (or one-chain) session over buffers bound once.
//
// The engine pool's size is fixed per process, so the thread count is QO_CORE_THREADS (ORT's
// intra-op threads follow it):
//   QO_CORE_THREADS=1 build/bench/qo_bench_int8conv --benchmark_min_time=0.5
//   QO_CORE_THREADS=2 build/bench/qo_bench_int8conv --benchmark_min_time=0.5
// After the Google Benchmark runs, qo and the float Conv also run interleaved (see interleaved()).
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qo/qo_pool.h"
#include "render/int8conv_vnni.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using namespace qo::onnx;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "qo_bench_int8conv");
  return e;
}

struct ConvShape {
  const char* name;
  int64_t C, H, W, M, K;  // K x K kernel, pads K / 2
};
const ConvShape kShapes[] = {
    {"demo_3x3_3to3_512", 3, 512, 512, 3, 3},
    {"3x3_64to64_128", 64, 128, 128, 64, 3},
    {"1x1_256to64_64", 256, 64, 64, 64, 1},
};

enum class Side { kQo, kOrtFloat, kOrtChain };

std::vector<uint8_t> graph(const ConvShape& s, Side side) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-1, 1);
  const size_t n = size_t(s.M * s.C * s.K * s.K);
  std::vector<float> wf(n), scale(size_t(s.M)), bias(size_t(s.M));
  std::vector<int8_t> wq(n);
  for (float& v : wf) v = u(rng) * 0.1f;
  for (int64_t m = 0; m < s.M; ++m) {
    float mx = 0;
    for (size_t i = 0; i < n / size_t(s.M); ++i) mx = std::fmax(mx, std::fabs(wf[size_t(m) * n / s.M + i]));
    scale[size_t(m)] = mx > 0 ? mx / 127 : 1;
    for (size_t i = 0; i < n / size_t(s.M); ++i)
      wq[size_t(m) * n / s.M + i] = int8_t(std::nearbyint(wf[size_t(m) * n / s.M + i] / scale[size_t(m)]));
    bias[size_t(m)] = u(rng);
  }
  const int64_t p = s.K / 2;
  const std::vector<Attr> attrs = {attrInts("pads", {p, p, p, p})};
  ModelBuilder b;
  b.input("x", kFloat, {1, s.C, s.H, s.W});
  if (side == Side::kOrtFloat) {
    b.initializer("w", tensorOf<float>({s.M, s.C, s.K, s.K}, wf));
    b.initializer("b", tensorOf<float>({s.M}, bias));
    b.node("Conv", {"x", "w", "b"}, {"y"}, attrs);
  } else if (side == Side::kOrtChain) {
    b.initializer("w", tensorOf<int8_t>({s.M, s.C, s.K, s.K}, wq));
    b.initializer("ws", tensorOf<float>({s.M, 1, 1}, scale));
    b.initializer("b", tensorOf<float>({s.M, 1, 1}, bias));
    b.node("DynamicQuantizeLinear", {"x"}, {"xq", "xs", "xzp"});
    b.node("ConvInteger", {"xq", "w", "xzp"}, {"acc"}, attrs);
    b.node("Cast", {"acc"}, {"accf"}, {attrInt("to", kFloat)});
    b.node("Mul", {"xs", "ws"}, {"k"});
    b.node("Mul", {"accf", "k"}, {"yk"});
    b.node("Add", {"yk", "b"}, {"y"});
  } else {
    b.opset("com.corvanta.int8", 1);
    b.initializer("w", tensorOf<int8_t>({s.M, s.C, s.K, s.K}, wq));
    b.initializer("ws", tensorOf<float>({s.M}, scale));
    b.initializer("b", tensorOf<float>({s.M}, bias));
    b.node("Int8ConvVNNI", {"x", "w", "ws", "b"}, {"y"}, attrs, {.domain = "com.corvanta.int8"});
  }
  b.output("y", kFloat, {1, s.M, s.H, s.W});
  return b.bytes();
}

// One side's session over buffers bound once.
struct Bound {
  Ort::Session session{nullptr};
  std::unique_ptr<Ort::IoBinding> bind;
  std::vector<float> x, y;
  Ort::Value xv{nullptr}, yv{nullptr};
  Ort::RunOptions ro;

  Bound(const ConvShape& s, Side side) {
    Ort::SessionOptions o;
    o.SetIntraOpNumThreads(qo::pool::threads());
    o.SetInterOpNumThreads(1);
    o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    o.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (side == Side::kQo) qo::registerInt8ConvVNNI(o);
    const std::vector<uint8_t> model = graph(s, side);
    session = Ort::Session(env(), model.data(), model.size(), o);
    bind = std::make_unique<Ort::IoBinding>(session);
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    x.resize(size_t(s.C * s.H * s.W));
    y.resize(size_t(s.M * s.H * s.W));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 2);
    for (float& v : x) v = u(rng);
    const std::vector<int64_t> xs{1, s.C, s.H, s.W}, ys{1, s.M, s.H, s.W};
    xv = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), 4);
    yv = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), ys.data(), 4);
    bind->BindInput("x", xv);
    bind->BindOutput("y", yv);
    run();
  }
  void run() { session.Run(ro, *bind); }
};

void BM_Conv(benchmark::State& state, ConvShape s, Side side) {
  Bound b(s, side);
  for (auto _ : state) b.run();
  state.SetItemsProcessed(int64_t(state.iterations()) * s.M * s.C * s.K * s.K * s.H * s.W);  // MACs
}

const char* kSideNames[] = {"qo", "ort_float_conv", "ort_convinteger_chain"};

// Console output, then the fastest wall time of each case and both ratios. With one thread every
// side runs on the calling thread, so its CPU time is also shown: it is less disturbed than wall
// time when other processes share the cores.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.str();
      if (const size_t cut = name.find("/real_time"); cut != std::string::npos) name.resize(cut);
      const double t = run.GetAdjustedRealTime(), c = run.GetAdjustedCPUTime();
      auto [it, fresh] = times_.emplace(name, t);
      if (!fresh && t < it->second) it->second = t;
      auto [ct, cfresh] = cpu_.emplace(name, c);
      if (!cfresh && c < ct->second) ct->second = c;
    }
  }
  void printRatios() const {
    std::printf("\n%-28s %3s %10s %10s %10s %12s %12s\n", "shape", "thr", "qo ms", "float ms", "chain ms",
                "float/qo", "chain/qo");
    for (const ConvShape& s : kShapes) {
      const std::string base = std::string("int8conv/") + s.name + "/t" + std::to_string(qo::pool::threads()) + "/";
      const auto qo = times_.find(base + kSideNames[0]), fl = times_.find(base + kSideNames[1]),
                 ch = times_.find(base + kSideNames[2]);
      if (qo == times_.end() || fl == times_.end() || ch == times_.end()) continue;
      std::printf("%-28s %3d %10.3f %10.3f %10.3f %11.2fx %11.2fx\n", s.name, qo::pool::threads(), qo->second,
                  fl->second, ch->second, fl->second / qo->second, ch->second / qo->second);
      if (qo::pool::threads() == 1) {
        const double cq = cpu_.at(qo->first), cf = cpu_.at(fl->first), cc = cpu_.at(ch->first);
        std::printf("%-28s %3s %10.3f %10.3f %10.3f %11.2fx %11.2fx\n", "  (cpu time)", "", cq, cf, cc, cf / cq,
                    cc / cq);
      }
    }
  }

 private:
  std::map<std::string, double> times_, cpu_;  // milliseconds
};

double nowMs(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// qo and ORT's float Conv run alternately, one run each in turn, so both see the same load from
// other processes; the fastest single run of each (the one least disturbed) and the medians are
// compared, with the process CPU time (every thread) per run. Runs per side: QO_BENCH_RUNS (25).
void interleaved() {
  const char* env = std::getenv("QO_BENCH_RUNS");
  const int runs = env && std::atoi(env) > 0 ? std::atoi(env) : 25;
  std::printf("\ninterleaved, %d runs per side, %d threads\n%-22s %9s %9s %9s %9s %9s %9s %9s %9s %8s\n", runs,
              qo::pool::threads(), "shape", "qo min", "fl min", "qo med", "fl med", "qo cpu", "fl cpu", "min", "med",
              "GMAC/s/t");
  for (const ConvShape& s : kShapes) {
    Bound sides[2] = {Bound(s, Side::kQo), Bound(s, Side::kOrtFloat)};
    std::vector<double> wall[2], cpu[2];
    for (int r = 0; r < runs; ++r)
      for (int k = 0; k < 2; ++k) {
        const double w0 = nowMs(CLOCK_MONOTONIC), c0 = nowMs(CLOCK_PROCESS_CPUTIME_ID);
        sides[k].run();
        cpu[k].push_back(nowMs(CLOCK_PROCESS_CPUTIME_ID) - c0);
        wall[k].push_back(nowMs(CLOCK_MONOTONIC) - w0);
      }
    double mn[2], med[2], cmed[2];
    for (int k = 0; k < 2; ++k) {
      std::sort(wall[k].begin(), wall[k].end());
      std::sort(cpu[k].begin(), cpu[k].end());
      mn[k] = wall[k].front(), med[k] = wall[k][wall[k].size() / 2], cmed[k] = cpu[k][cpu[k].size() / 2];
    }
    // Giga-MACs per second per thread in qo's fastest run: divide by the clock for MACs per cycle,
    // to set against qo_bench_issue_rate's ceiling.
    const double mac = double(s.M) * s.C * s.K * s.K * s.H * s.W;
    std::printf("%-22s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %8.2fx %8.2fx %8.1f\n", s.name, mn[0], mn[1], med[0],
                med[1], cmed[0], cmed[1], mn[1] / mn[0], med[1] / med[0],
                mac / (mn[0] * 1e-3) / 1e9 / qo::pool::threads());
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const ConvShape& s : kShapes)
    for (Side side : {Side::kOrtFloat, Side::kOrtChain, Side::kQo}) {
      const std::string name = std::string("int8conv/") + s.name + "/t" + std::to_string(qo::pool::threads()) + "/" +
                               kSideNames[int(side)];
      benchmark::RegisterBenchmark(name.c_str(), BM_Conv, s, side)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  interleaved();
  benchmark::Shutdown();
  return 0;
}
