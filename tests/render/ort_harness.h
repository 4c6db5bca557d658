// ONNX Runtime sessions for the render tests: one process-wide environment, sessions on one
// intra-op thread without spinning (the machine is shared), float runs by tensor name.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qo::test {

Ort::Env& ortEnv();
Ort::SessionOptions quietSessionOptions();
Ort::Session openSession(const std::vector<uint8_t>& model);
// With the engine's com.corvanta operators registered.
Ort::Session openCustomSession(const std::vector<uint8_t>& model, int threads = 1);

struct FloatArray {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// Uniform random values in [lo, hi) of the given shape.
FloatArray randomArray(std::vector<int64_t> shape, uint32_t seed, float lo, float hi);
// Largest absolute elementwise difference; shapes must agree.
float maxAbsDiff(const FloatArray& a, const FloatArray& b);

// Runs `session` with the given float inputs and returns the named outputs (float tensors).
std::vector<FloatArray> runFloats(Ort::Session& session, const std::vector<std::pair<std::string, FloatArray>>& inputs,
                                  const std::vector<std::string>& outputs);

}  // namespace qo::test
