#include "render/ort_values.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace qo::test {

Ort::Value toOrtValue(const DecodedTensor& t) {
  Ort::AllocatorWithDefaultOptions alloc;
  Ort::Value v = Ort::Value::CreateTensor(alloc, t.dims.data(), t.dims.size(), ONNXTensorElementDataType(t.dataType));
  if (t.dataType == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
    std::vector<const char*> ptrs;
    for (const std::string& s : t.strings) ptrs.push_back(s.c_str());
    if (!ptrs.empty()) v.FillStringTensor(ptrs.data(), ptrs.size());
  } else if (!t.bytes.empty()) {
    std::memcpy(v.GetTensorMutableRawData(), t.bytes.data(), t.bytes.size());
  }
  return v;
}

namespace {

bool sameTensor(const Ort::Value& a, const Ort::Value& b, std::string& why) {
  const auto ia = a.GetTensorTypeAndShapeInfo(), ib = b.GetTensorTypeAndShapeInfo();
  if (ia.GetElementType() != ib.GetElementType()) return why = "element types differ", false;
  if (ia.GetShape() != ib.GetShape()) return why = "shapes differ", false;
  const size_t n = ia.GetElementCount();
  if (ia.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING) {
    for (size_t i = 0; i < n; ++i)
      if (a.GetStringTensorElement(i) != b.GetStringTensorElement(i))
        return why = "string element " + std::to_string(i) + " differs", false;
    return true;
  }
  const size_t bytes = a.GetTensorSizeInBytes();
  if (bytes != b.GetTensorSizeInBytes()) return why = "tensor sizes differ", false;
  if (bytes && std::memcmp(a.GetTensorRawData(), b.GetTensorRawData(), bytes) != 0)
    return why = "tensor contents differ", false;
  return true;
}

}  // namespace

bool sameValue(const Ort::Value& a, const Ort::Value& b, std::string& why) {
  if (a.GetTypeInfo().GetONNXType() != b.GetTypeInfo().GetONNXType()) return why = "value kinds differ", false;
  if (!a.HasValue() || !b.HasValue()) {
    if (a.HasValue() != b.HasValue()) return why = "one optional is empty", false;
    return true;
  }
  switch (a.GetTypeInfo().GetONNXType()) {
    case ONNX_TYPE_TENSOR:
      return sameTensor(a, b, why);
    case ONNX_TYPE_SEQUENCE:
    case ONNX_TYPE_MAP: {
      const size_t n = a.GetCount();
      if (n != b.GetCount()) return why = "element counts differ", false;
      Ort::AllocatorWithDefaultOptions alloc;
      for (size_t i = 0; i < n; ++i)
        if (!sameValue(a.GetValue(int(i), alloc), b.GetValue(int(i), alloc), why)) return false;
      return true;
    }
    default:
      return why = "cannot compare a value of ONNX type " + std::to_string(int(a.GetTypeInfo().GetONNXType())), false;
  }
}

}  // namespace qo::test

namespace qo::test {

namespace {

template <class T>
bool closeFloats(const void* got, const std::vector<uint8_t>& want, size_t n, std::string& why) {
  for (size_t i = 0; i < n; ++i) {
    T g, w;
    std::memcpy(&g, static_cast<const uint8_t*>(got) + i * sizeof(T), sizeof(T));
    std::memcpy(&w, want.data() + i * sizeof(T), sizeof(T));
    if (std::isnan(g) && std::isnan(w)) continue;
    if (g == w) continue;  // equal infinities
    if (!(std::fabs(double(g) - double(w)) <= 1e-7 + 1e-3 * std::fabs(double(w)))) {
      why = "element " + std::to_string(i) + ": " + std::to_string(double(g)) + " vs " + std::to_string(double(w));
      return false;
    }
  }
  return true;
}

}  // namespace

bool matchesReference(const Ort::Value& got, const DecodedTensor& want, std::string& why) {
  if (!got.IsTensor()) return why = "not a tensor", false;
  const auto info = got.GetTensorTypeAndShapeInfo();
  if (int32_t(info.GetElementType()) != want.dataType) return why = "element type differs", false;
  if (info.GetShape() != want.dims) return why = "shape differs", false;
  const size_t n = info.GetElementCount();
  switch (info.GetElementType()) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return closeFloats<float>(got.GetTensorRawData(), want.bytes, n, why);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE: return closeFloats<double>(got.GetTensorRawData(), want.bytes, n, why);
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING:
      for (size_t i = 0; i < n; ++i)
        if (got.GetStringTensorElement(i) != want.strings[i]) return why = "string differs", false;
      return true;
    default:
      if (got.GetTensorSizeInBytes() != want.bytes.size()) return why = "size differs", false;
      if (!want.bytes.empty() && std::memcmp(got.GetTensorRawData(), want.bytes.data(), want.bytes.size()) != 0)
        return why = "contents differ", false;
      return true;
  }
}

}  // namespace qo::test
