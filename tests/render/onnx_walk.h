// A schema-aware walk over a whole ONNX model with the wire readers: every message of the model
// that onnx.proto defines (graphs and subgraphs, nodes, attributes, tensors, types, functions)
// is visited and every reader is applied where it belongs. Parse errors propagate as
// std::runtime_error; disagreements between readers throw std::logic_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo::test {

struct WalkStats {
  size_t fields = 0;
  size_t graphs = 0;
  size_t nodes = 0;
  size_t attributes = 0;
  size_t tensors = 0;
  size_t floatTensors = 0;  // tensors hcTensorFloats read values from
  size_t valueInfos = 0;
};

// Messages nested deeper than `maxDepth` are not entered (their bytes are still walked).
WalkStats walkModel(GsSlice model, int maxDepth = 64);

}  // namespace qo::test

namespace qo::test {

// What gsRebuild with an empty edit must produce from `model`: the same fields in the same
// order, each graph field (ModelProto 7) written with a minimal tag and length, all else as is.
std::vector<uint8_t> expectedEmptyRebuild(GsSlice model);

}  // namespace qo::test
