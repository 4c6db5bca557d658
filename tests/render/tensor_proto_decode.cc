#include "render/tensor_proto_decode.h"

#include <cstring>

#include "tools/devkit/onnx_values.h"

namespace qo::test {

namespace {

// onnx.proto TensorProto fields.
enum : uint32_t {
  kDataType = 2, kSegment = 3, kFloatData = 4, kInt32Data = 5, kStringData = 6, kInt64Data = 7,
  kName = 8, kRawData = 9, kDoubleData = 10, kUint64Data = 11, kExternalData = 13, kDataLocation = 14,
};

bool readVarint(const uint8_t*& p, const uint8_t* end, uint64_t& v) {
  v = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (p >= end) return false;
    const uint8_t b = *p++;
    v |= uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

// Values of a repeated varint field (packed or not), each kept as its low `width` bytes.
bool appendVarints(const GsField& f, size_t width, std::vector<uint8_t>& out) {
  auto put = [&](uint64_t v) {
    uint8_t b[8];
    std::memcpy(b, &v, 8);
    out.insert(out.end(), b, b + width);
  };
  if (f.wireType == 0) {
    put(f.varint);
    return true;
  }
  if (f.wireType != 2) return false;
  const uint8_t* p = f.payload;
  const uint8_t* end = p + f.payloadLen;
  while (p < end) {
    uint64_t v;
    if (!readVarint(p, end, v)) return false;
    put(v);
  }
  return true;
}

// Values of a repeated fixed-width field (packed, or one value per field).
bool appendFixed(const GsField& f, size_t width, std::vector<uint8_t>& out) {
  if (f.wireType == 2) {
    if (f.payloadLen % width) return false;
    out.insert(out.end(), f.payload, f.payload + f.payloadLen);
    return true;
  }
  if ((width == 4 && f.wireType == 5) || (width == 8 && f.wireType == 1)) {
    out.insert(out.end(), f.raw + f.rawLen - width, f.raw + f.rawLen);
    return true;
  }
  return false;
}

// The typed field that carries elements of `type`, and how wide each element is there.
uint32_t typedFieldOf(int32_t type) {
  switch (type) {
    case onnx::kFloat: return kFloatData;
    case onnx::kDouble: return kDoubleData;
    case onnx::kInt64: return kInt64Data;
    case onnx::kUint32: case onnx::kUint64: return kUint64Data;
    case onnx::kString: return kStringData;
    default: return kInt32Data;
  }
}

}  // namespace

size_t DecodedTensor::elementCount() const {
  size_t n = 1;
  for (int64_t d : dims) n *= size_t(d);
  return n;
}

bool decodeTensorProto(GsSlice tensor, DecodedTensor& out, std::string& why) {
  out = DecodedTensor{};
  std::vector<GsField> typed;
  bool hasRaw = false;
  GsSlice raw;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    switch (f.number) {
      case kDataType: out.dataType = int32_t(f.varint); break;
      case kName: out.name = std::string(f.payloadSlice().view()); break;
      case kRawData:
        hasRaw = true;
        raw = f.payloadSlice();
        break;
      case kSegment: return why = "segmented tensor", false;
      case kExternalData: return why = "external data", false;
      case kDataLocation:
        if (f.varint != 0) return why = "external data", false;
        break;
      case kFloatData: case kInt32Data: case kStringData: case kInt64Data: case kDoubleData: case kUint64Data:
        typed.push_back(f);
        break;
      default: break;
    }
  }
  hcTensorDims(tensor, out.dims);
  for (int64_t d : out.dims)
    if (d < 0) return why = "negative dimension", false;
  const size_t count = out.elementCount();
  if (out.dataType == onnx::kString) {
    for (const GsField& t : typed)
      if (t.isBytes(kStringData)) out.strings.emplace_back(t.payloadSlice().view());
    if (out.strings.size() != count) return why = "string count disagrees with dims", false;
    return true;
  }
  const size_t width = onnx::elemSize(onnx::ElemType(out.dataType));
  if (width == 0) return why = "element type " + std::to_string(out.dataType), false;
  if (hasRaw) {
    out.bytes.assign(raw.ptr, raw.ptr + raw.len);
  } else {
    const uint32_t want = typedFieldOf(out.dataType);
    for (const GsField& t : typed) {
      if (t.number != want) continue;
      const bool ok = (want == kFloatData || want == kDoubleData) ? appendFixed(t, width, out.bytes)
                                                                  : appendVarints(t, width, out.bytes);
      if (!ok) return why = "malformed typed data", false;
    }
  }
  if (out.bytes.size() != count * width) return why = "element count disagrees with dims", false;
  return true;
}

}  // namespace qo::test

namespace qo::test {

bool decodeTensorSequence(GsSlice sequence, std::vector<DecodedTensor>& out, std::string& why) {
  out.clear();
  uint64_t elemType = 0;
  GsReader r(sequence);
  GsField f;
  while (r.next(f)) {
    if (f.number == 2 && f.wireType == 0) elemType = f.varint;  // SequenceProto.elem_type
    if (f.isBytes(3)) {                                         // tensor_values
      out.emplace_back();
      if (!decodeTensorProto(f.payloadSlice(), out.back(), why)) return false;
    }
    if (f.isBytes(4) || f.isBytes(5) || f.isBytes(6) || f.isBytes(7)) return why = "nested sequence elements", false;
  }
  if (elemType != 1) return why = "sequence of element kind " + std::to_string(elemType), false;
  return true;
}

}  // namespace qo::test
