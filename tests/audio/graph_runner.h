// Runs the demo graphs directly in ONNX Runtime, apart from the engine, for expected values.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace qo::test {

struct GraphOutput {
  std::vector<int64_t> shape;
  std::vector<float> values;        // float outputs
  std::vector<uint16_t> halves;     // float16 outputs
};

// Feeds float inputs (name, shape, values) and returns the named outputs.
std::vector<GraphOutput> runGraph(const std::string& path,
                                  const std::vector<std::tuple<std::string, std::vector<int64_t>, std::vector<float>>>& inputs,
                                  const std::vector<std::string>& outputs);

// The normalisation the frontend windows get, written out from its definition.
std::vector<float> normalised(const std::vector<float>& window);

// Samples [from, from + n) of `audio`, zero outside it.
std::vector<float> windowOf(const std::vector<float>& audio, int64_t from, int64_t n);

// The stored features' rounding, from its definition: through binary16 (nearest even), with
// magnitudes below 2^-14 flushed to signed zero and NaN to signed infinity.
float viaHalf(float v);

}  // namespace qo::test
