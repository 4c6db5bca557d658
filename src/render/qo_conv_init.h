// Initializers and graph-input shapes of a serialized ONNX model, for the native conv engine,
// which takes only weights from the file and none of its nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo {

struct OnnxInitializer {
  std::string name;
  std::vector<int64_t> dims;
  int64_t elements = 0;  // product of dims; -1 when a dim is negative or the product overflows
  uint64_t dataType = 0;
  GsSlice raw;           // raw_data payload (inside the model bytes)
  bool hasRaw = false;
  std::vector<float> floatData;  // float_data, packed or not
};

// Every GraphProto initializer of the model's graph, in file order. Wire errors throw the wire
// reader's "onnx: ..." texts; nothing here checks data against dims (see onnxInitializerFloats).
std::vector<OnnxInitializer> onnxInitializers(GsSlice model);

// The values of one initializer as float32. Throws "onnx: non-fp32 initializer <name>",
// "onnx: raw size mismatch <name>" when raw_data is not exactly 4 bytes per element (checked
// before a byte of it is read), "onnx: float_data size mismatch <name>", or
// "onnx: no data for <name>".
std::vector<float> onnxInitializerFloats(const OnnxInitializer& init);

// Declared dims of graph input `name` (dynamic dims as -1); false when there is no such input
// or it has no tensor shape.
bool onnxGraphInputDims(GsSlice model, const std::string& name, std::vector<int64_t>& dims);

}  // namespace qo
