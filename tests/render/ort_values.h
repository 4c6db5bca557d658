// Conversions between decoded TensorProtos and ONNX Runtime values, and value comparison.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>

#include "render/tensor_proto_decode.h"

namespace qo::test {

// A tensor owned by ORT's default allocator holding the decoded elements.
Ort::Value toOrtValue(const DecodedTensor& t);

// Bit-exact equality of two values (tensors of any type, sequences and maps of them, optionals).
// False with `why` set on the first difference or on a kind of value it cannot compare.
bool sameValue(const Ort::Value& a, const Ort::Value& b, std::string& why);

}  // namespace qo::test

namespace qo::test {

// Whether `got` matches a reference tensor the way ONNX's backend tests judge it: same element
// type and shape, floats within 1e-7 + 1e-3 x |reference| (NaN matching NaN), all else exact.
bool matchesReference(const Ort::Value& got, const DecodedTensor& want, std::string& why);

}  // namespace qo::test
