// Values that go into an ONNX model: element types, declared shapes, tensors and node attributes,
// each with its protobuf encoding (written with the engine's own wire writer).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <vector>

namespace qo::onnx {

// TensorProto.DataType.
enum ElemType : int32_t {
  kUndefined = 0,
  kFloat = 1,
  kUint8 = 2,
  kInt8 = 3,
  kUint16 = 4,
  kInt16 = 5,
  kInt32 = 6,
  kInt64 = 7,
  kString = 8,
  kBool = 9,
  kFloat16 = 10,
  kDouble = 11,
  kUint32 = 12,
  kUint64 = 13,
  kBfloat16 = 16,
};

// Bytes per element; 0 for kString and unknown types.
size_t elemSize(ElemType t);

// One dimension of a declared shape: a size (0 allowed), a named symbolic size, or a negative
// number for a dimension left unknown.
struct Dim {
  int64_t value = -1;
  std::string param;

  template <std::integral T>
  Dim(T v) : value(int64_t(v)) {}  // NOLINT: implicit so that {1, 3, "h", -1} reads naturally
  Dim(const char* p) : param(p) {}  // NOLINT
  Dim(std::string p) : param(std::move(p)) {}  // NOLINT
};
using Shape = std::vector<Dim>;

// A tensor value. Elements are kept as little-endian bytes (strings apart) and written as
// raw_data, or with `typedFields` in the typed repeated field ONNX has for the type
// (float_data, int32_data, int64_data, double_data, uint64_data).
struct Tensor {
  ElemType type = kFloat;
  std::vector<int64_t> dims;
  std::vector<uint8_t> raw;
  std::vector<std::string> strings;  // kString elements
  bool typedFields = false;

  size_t elementCount() const;
  Tensor typed() const;  // the same value, written in the typed repeated field
};

// Typed constructors; the element count must match the dims (std::invalid_argument otherwise).
// tensorOf is defined for float, double and the 8- to 64-bit integer types.
template <class T>
Tensor tensorOf(std::vector<int64_t> dims, const std::vector<T>& values);
Tensor tensorOfBools(std::vector<int64_t> dims, const std::vector<bool>& values);
Tensor tensorOfStrings(std::vector<int64_t> dims, std::vector<std::string> values);
// Any element type from its little-endian bytes (kFloat16 / kBfloat16 as uint16 bit patterns).
Tensor tensorRaw(ElemType type, std::vector<int64_t> dims, std::vector<uint8_t> bytes);

// A complete AttributeProto (the payload of a NodeProto attribute field).
struct Attr {
  std::vector<uint8_t> bytes;
};
Attr attrInt(const std::string& name, int64_t v);
Attr attrFloat(const std::string& name, float v);
Attr attrString(const std::string& name, const std::string& v);
Attr attrInts(const std::string& name, const std::vector<int64_t>& v);
Attr attrFloats(const std::string& name, const std::vector<float>& v);
Attr attrStrings(const std::string& name, const std::vector<std::string>& v);
Attr attrTensor(const std::string& name, const Tensor& t);

// Encoders of the messages above (payloads, without an enclosing tag).
std::vector<uint8_t> encodeTensor(const std::string& name, const Tensor& t);
// ValueInfoProto of a tensor; `shape` null leaves the rank unknown.
std::vector<uint8_t> encodeTensorValueInfo(const std::string& name, ElemType type, const Shape* shape);

}  // namespace qo::onnx
