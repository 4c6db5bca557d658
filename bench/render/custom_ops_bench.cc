// The engine's operators inside ONNX Runtime against ORT's own, at the same intra-op thread
// count, in one run: GridSampleFast vs GridSample (smooth and random grids), and the rewritten
// cubic head (edge Pad + depthwise 5x5 Conv + DepthToSpace) vs ORT's cubic x2 Resize. Each side
// runs a one-node session through IoBinding over buffers allocated once. A memcpy moving the same
// number of bytes as the GridSample (reads and writes) gives the memory-bandwidth bound.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "render/qo_custom_ops.h"
#include "render/qo_graph_rewrites.h"
#include "tools/devkit/onnx_model_builder.h"

namespace {

using namespace qo::onnx;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "qo_bench_custom_ops");
  return e;
}

std::unique_ptr<Ort::Session> session(const std::vector<uint8_t>& model, int threads, bool custom) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);  // the rewritten head leaves its scales unread
  if (custom) qo::registerGridSampleFast(o);
  return std::make_unique<Ort::Session>(env(), model.data(), model.size(), o);
}

// Float tensors bound by name once; the session runs over them.
struct Bound {
  std::unique_ptr<Ort::Session> s;
  std::unique_ptr<Ort::IoBinding> b;
  std::vector<std::vector<float>> bufs;
  std::vector<Ort::Value> vals;
  Ort::RunOptions ro;

  void bind(const char* name, std::vector<float> data, std::vector<int64_t> shape, bool output) {
    static const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    bufs.reserve(8);
    vals.reserve(8);
    bufs.push_back(std::move(data));
    vals.push_back(Ort::Value::CreateTensor<float>(mem, bufs.back().data(), bufs.back().size(), shape.data(), shape.size()));
    if (output) b->BindOutput(name, vals.back());
    else b->BindInput(name, vals.back());
  }
  void run() { s->Run(ro, *b); }
};

struct ImageShape {
  int64_t C, H, W;
};
const ImageShape kShapes[] = {{3, 512, 512}, {12, 512, 512}, {3, 1080, 1920}};

std::vector<float> grid(const ImageShape& s, bool smooth) {
  std::vector<float> g(size_t(s.H * s.W * 2));
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const float c = std::cos(0.05f) * 0.97f, sn = std::sin(0.05f) * 0.97f;
  for (int64_t y = 0; y < s.H; ++y)
    for (int64_t x = 0; x < s.W; ++x) {
      float* p = g.data() + size_t(y * s.W + x) * 2;
      if (!smooth) {
        p[0] = d(rng);
        p[1] = d(rng);
        continue;
      }
      const float u = 2.0f * (float(x) + 0.5f) / float(s.W) - 1.0f, v = 2.0f * (float(y) + 0.5f) / float(s.H) - 1.0f;
      p[0] = c * u - sn * v + 0.01f;
      p[1] = sn * u + c * v - 0.02f;
    }
  return g;
}

void BM_GridSample(benchmark::State& state, ImageShape s, bool smooth, int threads, bool fast) {
  ModelBuilder mb;
  mb.input("x", kFloat, {1, s.C, s.H, s.W});
  mb.input("g", kFloat, {1, s.H, s.W, 2});
  mb.node("GridSample", {"x", "g"}, {"y"}, {attrString("mode", "bilinear"), attrString("padding_mode", "border")});
  mb.output("y", kFloat, {1, s.C, s.H, s.W});
  std::vector<uint8_t> model = mb.bytes();
  if (fast && qo::rewriteGridSampleToFast(model) != 1) state.SkipWithError("rewrite did not apply");
  Bound r;
  r.s = session(model, threads, fast);
  r.b = std::make_unique<Ort::IoBinding>(*r.s);
  const size_t n = size_t(s.C * s.H * s.W);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = float(i % 251) / 251.0f;
  r.bind("x", std::move(x), {1, s.C, s.H, s.W}, false);
  r.bind("g", grid(s, smooth), {1, s.H, s.W, 2}, false);
  r.bind("y", std::vector<float>(n), {1, s.C, s.H, s.W}, true);
  r.run();
  for (auto _ : state) r.run();
  state.SetItemsProcessed(int64_t(state.iterations()) * s.H * s.W);
}

// memcpy moving the bytes a GridSample of this shape reads and writes.
void BM_CopyBound(benchmark::State& state, ImageShape s) {
  const size_t bytes = size_t(s.C * s.H * s.W * 2 + s.H * s.W * 2) * sizeof(float) / 2;
  std::vector<char> a(bytes, 1), b(bytes, 0);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
  }
}

// The head's Resize with a cheap depthwise 1x1 consumer (the rewrite asks for a Conv after it).
void BM_Head(benchmark::State& state, int64_t C, int64_t H, int64_t W, int threads, bool rewritten) {
  ModelBuilder mb;
  mb.input("x", kFloat, {1, C, H, W});
  mb.initializer("scales", tensorOf<float>({4}, {1, 1, 2, 2}));
  mb.node("Resize", {"x", "", "scales"}, {"up"},
          {attrString("mode", "cubic"), attrString("coordinate_transformation_mode", "half_pixel")});
  mb.initializer("w", tensorOf<float>({C, 1, 1, 1}, std::vector<float>(size_t(C), 1.0f)));
  mb.node("Conv", {"up", "w"}, {"y"}, {attrInt("group", C)});
  mb.output("y", kFloat, {1, C, 2 * H, 2 * W});
  std::vector<uint8_t> model = mb.bytes();
  if (rewritten && qo::rewriteHeadCubicResize(model) != 1) state.SkipWithError("rewrite did not apply");
  Bound r;
  r.s = session(model, threads, false);
  r.b = std::make_unique<Ort::IoBinding>(*r.s);
  r.bind("x", std::vector<float>(size_t(C * H * W), 0.25f), {1, C, H, W}, false);
  r.bind("y", std::vector<float>(size_t(C * H * W * 4)), {1, C, 2 * H, 2 * W}, true);
  r.run();
  for (auto _ : state) r.run();
  state.SetItemsProcessed(int64_t(state.iterations()) * C * H * W * 4);
}

// Console output, plus the fastest wall time of each run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double t = run.GetAdjustedRealTime();
      std::string name = run.run_name.str();
      const std::string suffix = "/real_time";
      if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
      auto [it, fresh] = times_.emplace(name, t);
      if (!fresh && t < it->second) it->second = t;
    }
  }
  void printRatios() const {
    std::printf("\n%-44s %12s %12s %9s %12s %9s\n", "case", "ORT ms", "qo ms", "ORT/qo", "bound ms", "qo/bound");
    for (const auto& [name, qo] : times_) {
      const std::string suffix = "/qo";
      if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix)) continue;
      const std::string base = name.substr(0, name.size() - suffix.size());
      const auto ort = times_.find(base + "/ort");
      if (ort == times_.end()) continue;
      const std::string shape = base.substr(0, base.find('/', base.find('/') + 1));
      const auto bound = times_.find(shape + "/memcpy_bound");
      std::printf("%-44s %12.3f %12.3f %8.1fx", base.c_str(), ort->second, qo, ort->second / qo);
      if (bound != times_.end())
        std::printf(" %12.3f %8.2fx", bound->second, qo / bound->second);
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, double> times_;  // milliseconds
};

}  // namespace

int main(int argc, char** argv) {
  for (const ImageShape& s : kShapes) {
    const std::string shape = "gridsample/" + std::to_string(s.C) + "x" + std::to_string(s.H) + "x" + std::to_string(s.W);
    benchmark::RegisterBenchmark((shape + "/memcpy_bound").c_str(), BM_CopyBound, s)->Unit(benchmark::kMillisecond);
    for (bool smooth : {true, false})
      for (int threads : {1, 2})
        for (bool fast : {false, true}) {
          const std::string name = shape + (smooth ? "/smooth" : "/random") + "/t" + std::to_string(threads) +
                                   (fast ? "/qo" : "/ort");
          benchmark::RegisterBenchmark(name.c_str(), BM_GridSample, s, smooth, threads, fast)
              ->Unit(benchmark::kMillisecond)
              ->UseRealTime();
        }
  }
  struct Head {
    int64_t C, H, W;
  } heads[] = {{3, 256, 256}, {64, 256, 256}};
  for (const Head& h : heads)
    for (int threads : {1, 2})
      for (bool rewritten : {false, true}) {
        const std::string name = "head/" + std::to_string(h.C) + "x" + std::to_string(h.H) + "x" + std::to_string(h.W) +
                                 "/t" + std::to_string(threads) + (rewritten ? "/qo" : "/ort");
        benchmark::RegisterBenchmark(name.c_str(), BM_Head, h.C, h.H, h.W, threads, rewritten)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
