#include "tools/devkit/onnx_values.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "render/qo_onnx_wire.h"

namespace qo::onnx {

namespace {

// onnx.proto field numbers.
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorInt32Data = 5,
                   kTensorStringData = 6, kTensorInt64Data = 7, kTensorName = 8, kTensorRawData = 9,
                   kTensorDoubleData = 10, kTensorUint64Data = 11;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrFloats = 7, kAttrInts = 8,
                   kAttrStrings = 9, kAttrType = 20;
enum AttrType : uint64_t { kAttrFloat = 1, kAttrInt = 2, kAttrString = 3, kAttrTensor = 4, kAttrFloatList = 6,
                           kAttrIntList = 7, kAttrStringList = 8 };

void putVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  gsPutVarint(out, uint64_t(field) << 3);
  gsPutVarint(out, v);
}

void putFloatField(std::vector<uint8_t>& out, uint32_t field, float v) {
  gsPutVarint(out, (uint64_t(field) << 3) | 5);
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

template <class T>
constexpr ElemType elemTypeOf() {
  if constexpr (std::is_same_v<T, float>) return kFloat;
  else if constexpr (std::is_same_v<T, double>) return kDouble;
  else if constexpr (std::is_same_v<T, int8_t>) return kInt8;
  else if constexpr (std::is_same_v<T, uint8_t>) return kUint8;
  else if constexpr (std::is_same_v<T, int16_t>) return kInt16;
  else if constexpr (std::is_same_v<T, uint16_t>) return kUint16;
  else if constexpr (std::is_same_v<T, int32_t>) return kInt32;
  else if constexpr (std::is_same_v<T, uint32_t>) return kUint32;
  else if constexpr (std::is_same_v<T, int64_t>) return kInt64;
  else return kUint64;
}

size_t countOf(const std::vector<int64_t>& dims) {
  size_t n = 1;
  for (int64_t d : dims) {
    if (d < 0) throw std::invalid_argument("onnx tensor: negative dimension");
    n *= size_t(d);
  }
  return n;
}

void checkCount(const std::vector<int64_t>& dims, size_t have) {
  if (countOf(dims) != have)
    throw std::invalid_argument("onnx tensor: " + std::to_string(have) + " values for dims holding " +
                                std::to_string(countOf(dims)));
}

template <class T>
T elementAt(const std::vector<uint8_t>& raw, size_t i) {
  T v;
  std::memcpy(&v, raw.data() + i * sizeof(T), sizeof(T));
  return v;
}

// Packed varints of each element widened to int64 (negative int32_data values are sign-extended,
// as protobuf encodes int32).
template <class T>
void packVarints(const Tensor& t, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < t.elementCount(); ++i) gsPutVarint(out, uint64_t(int64_t(elementAt<T>(t.raw, i))));
}

// The typed repeated field of the tensor's element type, packed.
void putTypedData(const Tensor& t, std::vector<uint8_t>& out) {
  std::vector<uint8_t> packed;
  uint32_t field = 0;
  switch (t.type) {
    case kFloat:
      field = kTensorFloatData;
      packed = t.raw;
      break;
    case kDouble:
      field = kTensorDoubleData;
      packed = t.raw;
      break;
    case kInt64:
      field = kTensorInt64Data;
      packVarints<int64_t>(t, packed);
      break;
    case kUint32:
      field = kTensorUint64Data;
      packVarints<uint32_t>(t, packed);
      break;
    case kUint64:
      field = kTensorUint64Data;
      for (size_t i = 0; i < t.elementCount(); ++i) gsPutVarint(packed, elementAt<uint64_t>(t.raw, i));
      break;
    case kInt32: field = kTensorInt32Data; packVarints<int32_t>(t, packed); break;
    case kInt16: field = kTensorInt32Data; packVarints<int16_t>(t, packed); break;
    case kInt8: field = kTensorInt32Data; packVarints<int8_t>(t, packed); break;
    case kUint16:
    case kFloat16:
    case kBfloat16: field = kTensorInt32Data; packVarints<uint16_t>(t, packed); break;
    case kUint8:
    case kBool: field = kTensorInt32Data; packVarints<uint8_t>(t, packed); break;
    default:
      throw std::invalid_argument("onnx tensor: no typed field for element type " + std::to_string(int(t.type)));
  }
  if (!packed.empty()) gsPutBytes(out, field, packed);
}

Attr attrWith(const std::string& name, AttrType type, const std::vector<uint8_t>& value) {
  Attr a;
  gsPutBytes(a.bytes, kAttrName, name);
  gsPutRaw(a.bytes, value);
  putVarintField(a.bytes, kAttrType, type);
  return a;
}

}  // namespace

size_t elemSize(ElemType t) {
  switch (t) {
    case kUint8: case kInt8: case kBool: return 1;
    case kUint16: case kInt16: case kFloat16: case kBfloat16: return 2;
    case kFloat: case kInt32: case kUint32: return 4;
    case kInt64: case kDouble: case kUint64: return 8;
    default: return 0;
  }
}

size_t Tensor::elementCount() const { return countOf(dims); }

Tensor Tensor::typed() const {
  Tensor t = *this;
  t.typedFields = true;
  return t;
}

template <class T>
Tensor tensorOf(std::vector<int64_t> dims, const std::vector<T>& values) {
  checkCount(dims, values.size());
  Tensor t;
  t.type = elemTypeOf<T>();
  t.dims = std::move(dims);
  t.raw.resize(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(t.raw.data(), values.data(), t.raw.size());
  return t;
}
template Tensor tensorOf<float>(std::vector<int64_t>, const std::vector<float>&);
template Tensor tensorOf<double>(std::vector<int64_t>, const std::vector<double>&);
template Tensor tensorOf<int8_t>(std::vector<int64_t>, const std::vector<int8_t>&);
template Tensor tensorOf<uint8_t>(std::vector<int64_t>, const std::vector<uint8_t>&);
template Tensor tensorOf<int16_t>(std::vector<int64_t>, const std::vector<int16_t>&);
template Tensor tensorOf<uint16_t>(std::vector<int64_t>, const std::vector<uint16_t>&);
template Tensor tensorOf<int32_t>(std::vector<int64_t>, const std::vector<int32_t>&);
template Tensor tensorOf<uint32_t>(std::vector<int64_t>, const std::vector<uint32_t>&);
template Tensor tensorOf<int64_t>(std::vector<int64_t>, const std::vector<int64_t>&);
template Tensor tensorOf<uint64_t>(std::vector<int64_t>, const std::vector<uint64_t>&);

Tensor tensorOfBools(std::vector<int64_t> dims, const std::vector<bool>& values) {
  checkCount(dims, values.size());
  Tensor t;
  t.type = kBool;
  t.dims = std::move(dims);
  for (bool b : values) t.raw.push_back(b ? 1 : 0);
  return t;
}

Tensor tensorOfStrings(std::vector<int64_t> dims, std::vector<std::string> values) {
  checkCount(dims, values.size());
  Tensor t;
  t.type = kString;
  t.dims = std::move(dims);
  t.strings = std::move(values);
  return t;
}

Tensor tensorRaw(ElemType type, std::vector<int64_t> dims, std::vector<uint8_t> bytes) {
  const size_t es = elemSize(type);
  if (es == 0) throw std::invalid_argument("onnx tensor: element type without a fixed size");
  if (bytes.size() % es != 0) throw std::invalid_argument("onnx tensor: bytes are not whole elements");
  checkCount(dims, bytes.size() / es);
  Tensor t;
  t.type = type;
  t.dims = std::move(dims);
  t.raw = std::move(bytes);
  return t;
}

Attr attrInt(const std::string& name, int64_t v) {
  std::vector<uint8_t> b;
  putVarintField(b, kAttrI, uint64_t(v));
  return attrWith(name, kAttrInt, b);
}

Attr attrFloat(const std::string& name, float v) {
  std::vector<uint8_t> b;
  putFloatField(b, kAttrF, v);
  return attrWith(name, kAttrFloat, b);
}

Attr attrString(const std::string& name, const std::string& v) {
  std::vector<uint8_t> b;
  gsPutBytes(b, kAttrS, v);
  return attrWith(name, kAttrString, b);
}

Attr attrInts(const std::string& name, const std::vector<int64_t>& v) {
  std::vector<uint8_t> b;
  for (int64_t x : v) putVarintField(b, kAttrInts, uint64_t(x));
  return attrWith(name, kAttrIntList, b);
}

Attr attrFloats(const std::string& name, const std::vector<float>& v) {
  std::vector<uint8_t> b;
  for (float x : v) putFloatField(b, kAttrFloats, x);
  return attrWith(name, kAttrFloatList, b);
}

Attr attrStrings(const std::string& name, const std::vector<std::string>& v) {
  std::vector<uint8_t> b;
  for (const std::string& s : v) gsPutBytes(b, kAttrStrings, s);
  return attrWith(name, kAttrStringList, b);
}

Attr attrTensor(const std::string& name, const Tensor& t) {
  std::vector<uint8_t> b;
  gsPutBytes(b, kAttrT, encodeTensor({}, t));
  return attrWith(name, kAttrTensor, b);
}

std::vector<uint8_t> encodeTensor(const std::string& name, const Tensor& t) {
  std::vector<uint8_t> out;
  out.reserve(t.raw.size() + name.size() + 32);
  for (int64_t d : t.dims) putVarintField(out, kTensorDims, uint64_t(d));
  putVarintField(out, kTensorDataType, uint64_t(int64_t(t.type)));
  if (t.type == kString) {
    for (const std::string& s : t.strings) gsPutBytes(out, kTensorStringData, s);
  } else if (t.typedFields) {
    putTypedData(t, out);
  }
  if (!name.empty()) gsPutBytes(out, kTensorName, name);
  if (t.type != kString && !t.typedFields) gsPutBytes(out, kTensorRawData, t.raw);
  return out;
}

std::vector<uint8_t> encodeTensorValueInfo(const std::string& name, ElemType type, const Shape* shape) {
  std::vector<uint8_t> tensorType;
  putVarintField(tensorType, 1, uint64_t(int64_t(type)));  // elem_type
  if (shape) {
    std::vector<uint8_t> shapeMsg;
    for (const Dim& d : *shape) {
      std::vector<uint8_t> dim;
      if (!d.param.empty())
        gsPutBytes(dim, 2, d.param);  // dim_param
      else if (d.value >= 0)
        putVarintField(dim, 1, uint64_t(d.value));  // dim_value
      gsPutBytes(shapeMsg, 1, dim);  // TensorShapeProto.dim
    }
    gsPutBytes(tensorType, 2, shapeMsg);  // shape
  }
  std::vector<uint8_t> typeProto;
  gsPutBytes(typeProto, 1, tensorType);  // TypeProto.tensor_type
  std::vector<uint8_t> vi;
  gsPutBytes(vi, 1, name);       // ValueInfoProto.name
  gsPutBytes(vi, 2, typeProto);  // ValueInfoProto.type
  return vi;
}

}  // namespace qo::onnx
