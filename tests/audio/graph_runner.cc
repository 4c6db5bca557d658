#include "audio/graph_runner.h"

#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <tuple>

#include "qo/qo_simd.h"

namespace qo::test {

std::vector<GraphOutput> runGraph(const std::string& path,
                                  const std::vector<std::tuple<std::string, std::vector<int64_t>, std::vector<float>>>& inputs,
                                  const std::vector<std::string>& outputs) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "qo_test_audio");
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  Ort::Session session(env, path.c_str(), o);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> inNames, outNames;
  for (const auto& [name, shape, data] : inputs) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(data.data()), data.size(), shape.data(),
                                                     shape.size()));
    inNames.push_back(name.c_str());
  }
  for (const std::string& n : outputs) outNames.push_back(n.c_str());
  std::vector<Ort::Value> got =
      session.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames.data(), outNames.size());
  std::vector<GraphOutput> result;
  for (Ort::Value& v : got) {
    const Ort::TensorTypeAndShapeInfo info = v.GetTensorTypeAndShapeInfo();
    GraphOutput g;
    g.shape = info.GetShape();
    if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16) {
      const uint16_t* p = v.GetTensorData<uint16_t>();
      g.halves.assign(p, p + info.GetElementCount());
    } else {
      const float* p = v.GetTensorData<float>();
      g.values.assign(p, p + info.GetElementCount());
    }
    result.push_back(std::move(g));
  }
  return result;
}

std::vector<float> normalised(const std::vector<float>& w) {
  double mean = 0;
  for (float v : w) mean += v;
  mean /= double(w.size());
  double var = 0;
  for (float v : w) var += (v - mean) * (v - mean);
  var /= double(w.size());
  const double inv = 1.0 / double(std::sqrt(float(var + 1e-7)));
  std::vector<float> out(w.size());
  for (size_t i = 0; i < w.size(); ++i) out[i] = float((w[i] - mean) * inv);
  return out;
}

std::vector<float> windowOf(const std::vector<float>& audio, int64_t from, int64_t n) {
  std::vector<float> w(size_t(n), 0.0f);
  for (int64_t i = 0; i < n; ++i)
    if (from + i >= 0 && from + i < int64_t(audio.size())) w[size_t(i)] = audio[size_t(from + i)];
  return w;
}

float viaHalf(float v) {
  if (std::isnan(v)) return std::copysign(INFINITY, v);
  if (std::fabs(v) < std::ldexp(1.0f, -14)) return std::copysign(0.0f, v);
  return halfToFloat(f32ToF16(v));
}

}  // namespace qo::test
