#include "render/qo_conv_init.h"

#include <cstring>
#include <stdexcept>

namespace qo {
namespace {

constexpr uint32_t kGraphInitializer = 5, kGraphInput = 11;
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorName = 8, kTensorRawData = 9;
constexpr uint64_t kElemFloat = 1;

void appendPackedVarints(GsSlice s, std::vector<int64_t>& out) {
  // A packed repeated int64: a run of varints, decoded through a reader over synthetic fields
  // would be overkill; the wire format is the same loop.
  const uint8_t* p = s.ptr;
  const uint8_t* end = s.ptr + s.len;
  while (p < end) {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (p >= end || shift > 63) throw std::runtime_error("onnx: bad varint");
      const uint8_t b = *p++;
      v |= uint64_t(b & 0x7f) << shift;
      if (!(b & 0x80)) break;
    }
    out.push_back(int64_t(v));
  }
}

int64_t elementCount(const std::vector<int64_t>& dims) {
  int64_t n = 1;
  for (int64_t d : dims) {
    if (d < 0 || __builtin_mul_overflow(n, d, &n)) return -1;
  }
  return n;
}

}  // namespace

std::vector<OnnxInitializer> onnxInitializers(GsSlice model) {
  std::vector<OnnxInitializer> out;
  const GsSlice graph = gsGraphOf(model);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(kGraphInitializer)) continue;
    OnnxInitializer t;
    GsReader tr(f.payloadSlice());
    GsField tf;
    while (tr.next(tf)) {
      if (tf.number == kTensorDims && tf.wireType == 0) t.dims.push_back(int64_t(tf.varint));
      else if (tf.isBytes(kTensorDims)) appendPackedVarints(tf.payloadSlice(), t.dims);
      else if (tf.number == kTensorDataType && tf.wireType == 0) t.dataType = tf.varint;
      else if (tf.isBytes(kTensorName)) t.name.assign(tf.payloadSlice().view());
      else if (tf.isBytes(kTensorRawData)) {
        t.raw = tf.payloadSlice();
        t.hasRaw = true;
      } else if (tf.isBytes(kTensorFloatData)) {
        const size_t n = tf.payloadLen / 4;
        const size_t at = t.floatData.size();
        t.floatData.resize(at + n);
        std::memcpy(t.floatData.data() + at, tf.payload, n * 4);
        if (tf.payloadLen % 4) throw std::runtime_error("onnx: truncated");
      } else if (tf.number == kTensorFloatData && tf.wireType == 5) {
        float v;
        std::memcpy(&v, tf.raw + tf.rawLen - 4, 4);
        t.floatData.push_back(v);
      }
    }
    t.elements = elementCount(t.dims);
    out.push_back(std::move(t));
  }
  return out;
}

std::vector<float> onnxInitializerFloats(const OnnxInitializer& t) {
  if (t.dataType != kElemFloat) throw std::runtime_error("onnx: non-fp32 initializer " + t.name);
  if (t.hasRaw) {
    // The declared length is checked against the shape before any value is read.
    if (t.elements < 0 || t.raw.len / 4 != uint64_t(t.elements) || t.raw.len % 4)
      throw std::runtime_error("onnx: raw size mismatch " + t.name);
    if (t.elements == 0) throw std::runtime_error("onnx: no data for " + t.name);
    std::vector<float> v(size_t(t.elements));
    std::memcpy(v.data(), t.raw.ptr, t.raw.len);
    return v;
  }
  if (t.floatData.empty()) throw std::runtime_error("onnx: no data for " + t.name);
  if (t.elements < 0 || t.floatData.size() != uint64_t(t.elements))
    throw std::runtime_error("onnx: float_data size mismatch " + t.name);
  return t.floatData;
}

bool onnxGraphInputDims(GsSlice model, const std::string& name, std::vector<int64_t>& dims) {
  dims.clear();
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(kGraphInput) || gsFirstStr(f.payloadSlice(), 1) != name) continue;
    // ValueInfoProto.type (2) -> TypeProto.tensor_type (1) -> shape (2) -> dim (1) -> dim_value (1)
    GsReader vr(f.payloadSlice());
    GsField vf;
    bool shaped = false;
    while (vr.next(vf)) {
      if (!vf.isBytes(2)) continue;
      GsReader tr(vf.payloadSlice());
      GsField tf;
      while (tr.next(tf)) {
        if (!tf.isBytes(1)) continue;
        GsReader sr(tf.payloadSlice());
        GsField sf;
        while (sr.next(sf)) {
          if (!sf.isBytes(2)) continue;
          shaped = true;
          GsReader dr(sf.payloadSlice());
          GsField df;
          while (dr.next(df)) {
            if (!df.isBytes(1)) continue;
            int64_t v = -1;
            GsReader xr(df.payloadSlice());
            GsField xf;
            while (xr.next(xf))
              if (xf.number == 1 && xf.wireType == 0) v = int64_t(xf.varint);
            dims.push_back(v);
          }
        }
      }
    }
    return shaped;
  }
  return false;
}

}  // namespace qo
