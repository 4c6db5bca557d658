// Renderer::render on the demo director at crop 512 (batch 1 and 4), side by side with a plain
// ONNX Runtime session running the same graph on pre-filled tensors: the difference is what the
// renderer adds per frame (fp16 widening of pooled features and prior, keypoint copies) and what
// its load-time rewrites take away (the plain session runs the graph as written).
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qo/qo_identity.h"
#include "qo/qo_pool.h"
#include "qo/qo_renderer.h"
#include "tools/devkit/demo_bundle.h"
#include "tools/devkit/demo_face.h"

namespace {

const std::string kDir = "/tmp/qo_bench_render";

// Second argument: 0 QO_GS_FAST=0 (ORT's own GridSample; the cubic head is rewritten either way),
// 1 the library's defaults (rewrites, and the source-cone hoist where it applies), 2 the warp
// node (QO_WARP_NODE=1). Third: 1 holds the arena between runs, as the utterance pipeline does.
// The source frame steps through the loop, so a hoisted cone is prepared for every frame.
void BM_Render(benchmark::State& state) {
  const int batch = int(state.range(0)), mode = int(state.range(1));
  if (mode == 0) setenv("QO_GS_FAST", "0", 1);
  if (mode == 2) setenv("QO_WARP_NODE", "1", 1);
  qo::Manifest m = qo::loadManifest(kDir);
  qo::Identity id(m);
  qo::Renderer r(m, id, "b" + std::to_string(batch), 0, "");
  unsetenv("QO_GS_FAST");
  unsetenv("QO_WARP_NODE");
  r.holdArenaBetweenRuns(state.range(2) != 0);
  std::vector<int32_t> si(batch);
  std::vector<float> ks, kd;
  for (int j = 0; j < batch; ++j) {
    auto a = qo::devkit::faceKeypoints(0), b = qo::devkit::faceKeypoints(0.5f);
    ks.insert(ks.end(), a.begin(), a.end());
    kd.insert(kd.end(), b.begin(), b.end());
  }
  int frame = 0;
  auto next = [&] {
    for (int j = 0; j < batch; ++j) si[j] = (frame + j) % m.NT;
    frame += batch;
  };
  next();
  r.render(si.data(), ks.data(), kd.data(), batch);  // warm-up
  for (auto _ : state) {
    next();
    benchmark::DoNotOptimize(r.render(si.data(), ks.data(), kd.data(), batch));
  }
  // Frames per second; ms/frame is its inverse.
  state.SetItemsProcessed(int64_t(state.iterations()) * batch);
}

void BM_PlainOrtRun(benchmark::State& state) {
  const int batch = int(state.range(0));
  qo::Manifest m = qo::loadManifest(kDir);
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "bench");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(qo::pool::threads());
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  Ort::Session s(env, m.modelPath("b" + std::to_string(batch)).c_str(), o);
  const int64_t B = batch, C = m.crop;
  std::vector<float> pooled(size_t(B) * 65536, 0.1f), prior(size_t(B * 3 * C * C), 0.5f), kp(size_t(B) * 63, 0.0f);
  auto open = qo::devkit::faceKeypoints(0.5f), closed = qo::devkit::faceKeypoints(0.0f);
  std::vector<float> kd, ks;
  for (int j = 0; j < batch; ++j) {
    kd.insert(kd.end(), open.begin(), open.end());
    ks.insert(ks.end(), closed.begin(), closed.end());
  }
  std::vector<float> out(size_t(B * 3 * C * C));
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t ps[4] = {B, 64, 32, 32}, is[4] = {B, 3, C, C}, ks3[3] = {B, 21, 3};
  Ort::IoBinding bind(s);
  std::vector<Ort::Value> vals;
  vals.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), ps, 4));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), is, 4));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), ks3, 3));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), ks3, 3));
  vals.push_back(Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), is, 4));
  bind.BindInput("pooled64", vals[0]);
  bind.BindInput("P_rgb", vals[1]);
  bind.BindInput("kp_driving", vals[2]);
  bind.BindInput("kp_source", vals[3]);
  bind.BindOutput("rgb", vals[4]);
  Ort::RunOptions ro;
  if (state.range(1)) ro.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  s.Run(ro, bind);
  for (auto _ : state) s.Run(ro, bind);
  // Frames per second; ms/frame is its inverse.
  state.SetItemsProcessed(int64_t(state.iterations()) * batch);
}

}  // namespace

int main(int argc, char** argv) {
  qo::devkit::DemoOptions o;
  o.nt = 4;
  o.directorBatches = {1, 4};
  std::fprintf(stderr, "writing the demo bundle (1920x1080, crop 512) to %s\n", kDir.c_str());
  qo::devkit::writeDemoBundle(kDir, o);
  benchmark::RegisterBenchmark("render/Renderer::render", BM_Render)
      ->Args({1, 0, 0})
      ->Args({1, 1, 0})
      ->Args({1, 2, 0})
      ->Args({1, 1, 1})
      ->Args({1, 2, 1})
      ->Args({4, 1, 0})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  // Second argument: with the arena shrinkage the renderer's run options ask for.
  benchmark::RegisterBenchmark("render/plain_ORT_Session::Run", BM_PlainOrtRun)
      ->Args({1, 0})
      ->Args({1, 1})
      ->Args({4, 0})
      ->Args({4, 1})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
