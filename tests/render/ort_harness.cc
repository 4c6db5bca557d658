#include "render/ort_harness.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "render/qo_custom_ops.h"

namespace qo::test {

Ort::Env& ortEnv() {
  static Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "qo_test_onnx_wire");
  return env;
}

Ort::SessionOptions quietSessionOptions() {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  o.SetExecutionMode(ORT_SEQUENTIAL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.AddConfigEntry("session.inter_op.allow_spinning", "0");
  return o;
}

Ort::Session openSession(const std::vector<uint8_t>& model) {
  return Ort::Session(ortEnv(), model.data(), model.size(), quietSessionOptions());
}

Ort::Session openCustomSession(const std::vector<uint8_t>& model, int threads) {
  Ort::SessionOptions o = quietSessionOptions();
  o.SetIntraOpNumThreads(threads);
  registerGridSampleFast(o);
  return Ort::Session(ortEnv(), model.data(), model.size(), o);
}

FloatArray randomArray(std::vector<int64_t> shape, uint32_t seed, float lo, float hi) {
  size_t n = 1;
  for (int64_t d : shape) n *= size_t(d);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  FloatArray a{std::move(shape), std::vector<float>(n)};
  for (float& f : a.data) f = dist(rng);
  return a;
}

float maxAbsDiff(const FloatArray& a, const FloatArray& b) {
  if (a.shape != b.shape || a.data.size() != b.data.size()) return INFINITY;
  float worst = 0;
  for (size_t i = 0; i < a.data.size(); ++i) worst = std::max(worst, std::fabs(a.data[i] - b.data[i]));
  return worst;
}

std::vector<FloatArray> runFloats(Ort::Session& session, const std::vector<std::pair<std::string, FloatArray>>& inputs,
                                  const std::vector<std::string>& outputs) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> inNames, outNames;
  for (const auto& [name, arr] : inputs) {
    // ORT only reads input buffers; the const_cast is its API's.
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(arr.data.data()), arr.data.size(),
                                                     arr.shape.data(), arr.shape.size()));
    inNames.push_back(name.c_str());
  }
  for (const std::string& n : outputs) outNames.push_back(n.c_str());
  std::vector<Ort::Value> got =
      session.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames.data(), outNames.size());
  std::vector<FloatArray> result;
  for (Ort::Value& v : got) {
    const Ort::TensorTypeAndShapeInfo info = v.GetTensorTypeAndShapeInfo();
    FloatArray a;
    a.shape = info.GetShape();
    const float* p = v.GetTensorData<float>();
    a.data.assign(p, p + info.GetElementCount());
    result.push_back(std::move(a));
  }
  return result;
}

}  // namespace qo::test
