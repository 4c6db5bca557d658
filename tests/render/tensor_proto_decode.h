// Decodes a serialized TensorProto (as in the ONNX backend tests' input_*.pb files) with the
// wire reader, into element bytes that an ONNX Runtime tensor can be filled from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo::test {

struct DecodedTensor {
  std::string name;
  int32_t dataType = 0;
  std::vector<int64_t> dims;
  std::vector<uint8_t> bytes;        // little-endian elements (fixed-size types)
  std::vector<std::string> strings;  // STRING elements
  size_t elementCount() const;
};

// False (with `why` set) for what is not a plain tensor of a fixed-size type or STRING:
// external data, segments, complex and sub-byte types, element counts that disagree with dims.
bool decodeTensorProto(GsSlice tensor, DecodedTensor& out, std::string& why);

}  // namespace qo::test

namespace qo::test {

// The tensors of a SequenceProto whose elements are tensors; false (with `why`) otherwise.
bool decodeTensorSequence(GsSlice sequence, std::vector<DecodedTensor>& out, std::string& why);

}  // namespace qo::test
