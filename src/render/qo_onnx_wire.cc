#include "render/qo_onnx_wire.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace qo {

static_assert(std::endian::native == std::endian::little, "floats are copied as little-endian bytes");

namespace {

// ONNX field numbers (onnx.proto).
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttribute = 5,
                   kNodeDomain = 7;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrInts = 8, kAttrType = 20;
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorName = 8, kTensorRawData = 9;
constexpr uint32_t kValueInfoName = 1, kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeElem = 1, kTensorTypeShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1, kDimParam = 2;

constexpr uint64_t kAttrTypeInt = 2, kAttrTypeString = 3, kAttrTypeInts = 7;
constexpr uint64_t kElemFloat = 1;

constexpr const char* kPRgb = "P_rgb";

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

// At most 10 bytes: a continuation bit on the byte that already holds bits 63+ is malformed.
uint64_t readVarint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (p >= end) fail("onnx: bad varint");
    const uint8_t b = *p++;
    v |= uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
    if (shift >= 63) fail("onnx: bad varint");
  }
}

void putTag(std::vector<uint8_t>& out, uint32_t field, uint32_t wireType) {
  gsPutVarint(out, (uint64_t(field) << 3) | wireType);
}

void putVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  putTag(out, field, 0);
  gsPutVarint(out, v);
}

// The 4 bytes of a wire-type-5 field end the field.
float fixed32Float(const GsField& f) {
  float v;
  std::memcpy(&v, f.raw + f.rawLen - 4, 4);
  return v;
}

void appendFloats(const uint8_t* p, size_t n, std::vector<float>& out) {
  const size_t count = n / 4;  // a trailing partial float is not data
  const size_t at = out.size();
  out.resize(at + count);
  if (count) std::memcpy(out.data() + at, p, count * 4);
}

bool carriesAnyInts(const GsField& f) {
  return f.number == kAttrInts && (f.wireType == 0 || (f.wireType == 2 && f.payloadLen > 0));
}

}  // namespace

bool GsReader::next(GsField& f) {
  if (pos_ >= end_) return false;
  const uint8_t* p = pos_;
  const uint64_t tag = readVarint(p, end_);
  f = GsField{};
  f.number = uint32_t(tag >> 3);
  f.wireType = uint32_t(tag & 7);
  f.raw = pos_;
  switch (f.wireType) {
    case 0:
      f.varint = readVarint(p, end_);
      break;
    case 1:
      if (end_ - p < 8) fail("onnx: truncated");
      p += 8;
      break;
    case 2: {
      const uint64_t len = readVarint(p, end_);
      // Compared against what is left: a length near 2^64 must not wrap the pointer sum.
      if (len > uint64_t(end_ - p)) fail("onnx: truncated");
      f.payload = p;
      f.payloadLen = size_t(len);
      p += len;
      break;
    }
    case 5:
      if (end_ - p < 4) fail("onnx: truncated");
      p += 4;
      break;
    default:
      fail("onnx: bad wire type");
  }
  f.rawLen = size_t(p - pos_);
  pos_ = p;
  return true;
}

// ---- readers ----

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.isBytes(kModelGraph)) return f.payloadSlice();
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.isBytes(field)) return std::string(f.payloadSlice().view());
  return {};
}

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.isBytes(field)) out.emplace_back(f.payloadSlice().view());
}

GsSlice hcPayload(GsSlice field) {
  GsReader r(field);
  GsField f;
  if (r.next(f) && f.wireType == 2) return f.payloadSlice();
  return {};
}

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(kNodeAttribute)) continue;
    GsReader ar(f.payloadSlice());
    GsField af;
    std::string_view name;
    GsSlice t;
    bool hasT = false;
    while (ar.next(af)) {
      if (af.isBytes(kAttrName)) name = af.payloadSlice().view();
      if (af.isBytes(kAttrT)) {
        t = af.payloadSlice();
        hasT = true;
      }
    }
    if (hasT && name == "value") return t;
  }
  return {};
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  uint64_t dataType = 0;
  bool hasRaw = false;
  GsSlice raw;
  std::vector<float> listed;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == kTensorDataType && f.wireType == 0) {
      dataType = f.varint;
    } else if (f.number == kTensorFloatData && f.wireType == 2) {
      appendFloats(f.payload, f.payloadLen, listed);
    } else if (f.number == kTensorFloatData && f.wireType == 5) {
      listed.push_back(fixed32Float(f));
    } else if (f.isBytes(kTensorRawData)) {
      raw = f.payloadSlice();
      hasRaw = true;
    }
  }
  if (dataType != kElemFloat) return false;
  if (hasRaw) {
    if (raw.len < 4) return false;
    appendFloats(raw.ptr, raw.len, out);
  } else {
    out = std::move(listed);
  }
  return !out.empty();
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number != kTensorDims) continue;
    if (f.wireType == 0) {
      out.push_back(int64_t(f.varint));
    } else if (f.wireType == 2) {
      const uint8_t* p = f.payload;
      const uint8_t* end = p + f.payloadLen;
      while (p < end) out.push_back(int64_t(readVarint(p, end)));
    }
  }
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(kNodeAttribute)) continue;
    std::string_view name, s;
    bool hasF = false, hasI = false, hasInts = false;
    float fv = 0;
    uint64_t iv = 0;
    GsReader ar(f.payloadSlice());
    GsField af;
    while (ar.next(af)) {
      if (af.isBytes(kAttrName)) {
        name = af.payloadSlice().view();
      } else if (af.isBytes(kAttrS)) {
        s = af.payloadSlice().view();
      } else if (af.number == kAttrF && af.wireType == 5) {
        fv = fixed32Float(af);
        hasF = true;
      } else if (af.number == kAttrI && af.wireType == 0) {
        iv = af.varint;
        hasI = true;
      } else if (carriesAnyInts(af)) {
        hasInts = true;
      }
    }
    if (name == "mode") {
      a.mode = s;
    } else if (name == "coordinate_transformation_mode") {
      a.coordinateTransformationMode = s;
    } else if (name == "keep_aspect_ratio_policy") {
      a.keepAspectRatioPolicy = s;
    } else if (name == "cubic_coeff_a" && hasF) {
      a.hasCubicCoeffA = true;
      a.cubicCoeffA = fv;
    } else if (name == "antialias") {
      a.antialias = hasI && iv != 0;
    } else if (name == "exclude_outside") {
      a.excludeOutside = hasI && iv != 0;
    } else if (name == "axes" && hasInts) {
      a.hasAxes = true;
    }
  }
  return a;
}

// ---- writers ----

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, GsSlice bytes) {
  putTag(out, field, 2);
  gsPutVarint(out, bytes.len);
  out.insert(out.end(), bytes.ptr, bytes.ptr + bytes.len);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, std::string_view bytes) {
  gsPutBytes(out, field, GsSlice(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice bytes) { out.insert(out.end(), bytes.ptr, bytes.ptr + bytes.len); }

void hcNode(std::vector<uint8_t>& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, GsSlice attrs, std::string_view domain) {
  std::vector<uint8_t> node;
  for (const std::string& in : inputs) gsPutBytes(node, kNodeInput, in);
  gsPutBytes(node, kNodeOutput, output);
  gsPutBytes(node, kNodeName, name);
  gsPutBytes(node, kNodeOpType, opType);
  gsPutRaw(node, attrs);
  if (!domain.empty()) gsPutBytes(node, kNodeDomain, domain);
  gsPutBytes(out, kGraphNode, node);
}

void hcAttrI(std::vector<uint8_t>& out, std::string_view name, int64_t value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  putVarintField(a, kAttrI, uint64_t(value));
  putVarintField(a, kAttrType, kAttrTypeInt);
  gsPutBytes(out, kNodeAttribute, a);
}

void hcAttrIs(std::vector<uint8_t>& out, std::string_view name, const int64_t* values, size_t count) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  for (size_t i = 0; i < count; ++i) putVarintField(a, kAttrInts, uint64_t(values[i]));
  putVarintField(a, kAttrType, kAttrTypeInts);
  gsPutBytes(out, kNodeAttribute, a);
}

void hcAttrS(std::vector<uint8_t>& out, std::string_view value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, std::string_view("mode"));
  gsPutBytes(a, kAttrS, value);
  putVarintField(a, kAttrType, kAttrTypeString);
  gsPutBytes(out, kNodeAttribute, a);
}

void hcInit(std::vector<uint8_t>& out, std::string_view name, int32_t dataType, const int64_t* dims,
            size_t dimCount, GsSlice raw) {
  std::vector<uint8_t> t;
  t.reserve(raw.len + 64);
  for (size_t i = 0; i < dimCount; ++i) putVarintField(t, kTensorDims, uint64_t(dims[i]));
  putVarintField(t, kTensorDataType, uint64_t(int64_t(dataType)));
  gsPutBytes(t, kTensorName, name);
  gsPutBytes(t, kTensorRawData, raw);
  gsPutBytes(out, kGraphInitializer, t);
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, std::string_view name, const int64_t* dims,
                          size_t count) {
  std::vector<uint8_t> shape;
  for (size_t i = 0; i < count; ++i) {
    std::vector<uint8_t> dim;
    if (dims && dims[i] > 0)
      putVarintField(dim, kDimValue, uint64_t(dims[i]));
    else
      gsPutBytes(dim, kDimParam, "qo_hoist_d" + std::to_string(i));
    gsPutBytes(shape, kShapeDim, dim);
  }
  std::vector<uint8_t> tensorType;
  putVarintField(tensorType, kTensorTypeElem, kElemFloat);
  gsPutBytes(tensorType, kTensorTypeShape, shape);
  std::vector<uint8_t> type;
  gsPutBytes(type, kTypeTensor, tensorType);
  std::vector<uint8_t> vi;
  gsPutBytes(vi, kValueInfoName, name);
  gsPutBytes(vi, kValueInfoType, type);
  gsPutBytes(out, field, vi);
}

namespace {

bool keepInput(GsSlice valueInfo, const GsGraphEdit& edit) {
  if (!edit.keepOnlyPRgbInput && !edit.dropPRgbInput) return true;
  const bool isPRgb = gsFirstStr(valueInfo, kValueInfoName) == kPRgb;
  if (edit.keepOnlyPRgbInput) return isPRgb && !edit.dropPRgbInput;
  return !isPRgb;
}

// Copies one GraphProto with the edit applied. `nodeIndex` runs on across graph fields, which
// protobuf merges into one graph.
void rebuildGraph(GsSlice graph, const GsGraphEdit& edit, size_t& nodeIndex, bool last, std::vector<uint8_t>& out) {
  out.reserve(graph.len + 256);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    bool keep = true;
    if (f.isBytes(kGraphNode)) {
      const size_t i = nodeIndex++;
      keep = !(edit.dropMask && i < edit.dropMask->size() && (*edit.dropMask)[i] != 0);
    } else if (f.isBytes(kGraphInput)) {
      keep = keepInput(f.payloadSlice(), edit);
    } else if (f.isBytes(kGraphOutput)) {
      keep = !edit.dropOutputs;
    } else if (f.isBytes(kGraphValueInfo) && edit.addedName) {
      keep = gsFirstStr(f.payloadSlice(), kValueInfoName) != *edit.addedName;
    }
    if (keep) gsPutRaw(out, f.rawSlice());
  }
  if (last && edit.addedName && edit.addedField != 0)
    gsPutTensorValueInfo(out, edit.addedField, *edit.addedName, edit.addedDims, size_t(edit.addedDimCount));
}

}  // namespace

void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  size_t graphs = 0;
  {
    GsReader r(model);
    GsField f;
    while (r.next(f)) graphs += f.isBytes(kModelGraph);
  }
  std::vector<uint8_t> built;
  built.reserve(model.len + 256);
  size_t nodeIndex = 0, graphsSeen = 0;
  GsReader r(model);
  GsField f;
  std::vector<uint8_t> graph;
  while (r.next(f)) {
    if (!f.isBytes(kModelGraph)) {
      gsPutRaw(built, f.rawSlice());
      continue;
    }
    graph.clear();
    rebuildGraph(f.payloadSlice(), edit, nodeIndex, ++graphsSeen == graphs, graph);
    gsPutBytes(built, kModelGraph, graph);
  }
  out = std::move(built);
}

}  // namespace qo
