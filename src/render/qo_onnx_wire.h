// ONNX protobuf wire toolkit: walks a serialized model in place and writes the few messages the
// load-time graph rewrites add. Nothing is parsed into objects; unchanged fields are copied as
// their original bytes (tag and payload), so a rewrite never disturbs what it does not touch.
//
// Conventions shared by every function here:
// - a "node" is a GraphProto field 1 of wire type 2 (likewise graph = ModelProto field 7,
//   input/output/value_info = GraphProto fields 11/12/13, all wire type 2); a field with the
//   right number but another wire type is not that message and is copied like any unknown field;
// - malformed bytes throw std::runtime_error with "onnx: bad varint", "onnx: truncated" or
//   "onnx: bad wire type"; absence is reported by an empty result, never by an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qo {

// A byte range inside a buffer that outlives it.
struct GsSlice {
  const uint8_t* ptr = nullptr;
  size_t len = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* p, size_t n) : ptr(p), len(n) {}
  GsSlice(const std::vector<uint8_t>& v) : ptr(v.data()), len(v.size()) {}  // NOLINT: implicit on purpose
  bool empty() const { return len == 0; }
  std::string_view view() const { return {reinterpret_cast<const char*>(ptr), len}; }
};

// One decoded field. `varint` is set for wire type 0 only, `payload`/`payloadLen` for wire
// type 2 only; `raw`/`rawLen` always span the whole field from its tag on.
struct GsField {
  uint32_t number = 0;
  uint32_t wireType = 0;
  uint64_t varint = 0;
  const uint8_t* payload = nullptr;
  size_t payloadLen = 0;
  const uint8_t* raw = nullptr;
  size_t rawLen = 0;

  GsSlice payloadSlice() const { return {payload, payloadLen}; }
  GsSlice rawSlice() const { return {raw, rawLen}; }
  bool isBytes(uint32_t num) const { return number == num && wireType == 2; }
};

// Forward-only walk over the fields of one message.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : pos_(s.ptr), end_(s.ptr + s.len) {}
  GsReader(const uint8_t* p, size_t n) : pos_(p), end_(p + n) {}

  // Decodes the next field into `f`; false at the end of the slice.
  bool next(GsField& f);

 private:
  const uint8_t* pos_;
  const uint8_t* end_;
};

// The edit gsRebuild applies to a model's graph. A default-constructed edit changes nothing.
struct GsGraphEdit {
  // Indexed by node position (0-based, file order); a non-zero byte drops that node. Nodes past
  // the end of the mask are kept. Null keeps every node.
  const std::vector<uint8_t>* dropMask = nullptr;
  bool dropPRgbInput = false;
  bool keepOnlyPRgbInput = false;  // every graph input other than "P_rgb" is dropped
  bool dropOutputs = false;        // every graph output is dropped
  // A tensor value declared after the last graph field; it replaces any value_info entry of the
  // same name (that entry is dropped whenever a name is set, even with addedField 0).
  const std::string* addedName = nullptr;
  const int64_t* addedDims = nullptr;  // null: every dim symbolic
  uint64_t addedDimCount = 0;
  uint32_t addedField = 0;  // 11 (input), 12 (output); 0 writes nothing
};

// The attributes of a Resize node that the cubic rewrite looks at. Strings are empty when absent.
struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  std::string keepAspectRatioPolicy;
  bool hasCubicCoeffA = false;
  bool hasAxes = false;
  bool excludeOutside = false;
  bool antialias = false;
  float cubicCoeffA = -0.75f;  // ONNX's default, kept when the attribute is absent
};

// ---- readers ----

// Payload of the first ModelProto graph field; empty when absent.
GsSlice gsGraphOf(GsSlice model);
// Payload of the first length-delimited field `field`, as a string; empty when absent.
std::string gsFirstStr(GsSlice msg, uint32_t field);
// Appends the payload of every length-delimited field `field`, in order.
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
// Payload of the slice's first field when it is length-delimited; empty otherwise. Turns the raw
// bytes of a copied field back into the message they carry.
GsSlice hcPayload(GsSlice field);
// TensorProto bytes of a node's attribute "value": the first attribute named exactly "value"
// that carries a t (its last t). The caller decides that the node is a Constant.
GsSlice hcConstValue(GsSlice node);
// Float contents of a FLOAT TensorProto: raw_data when present (whole floats only), otherwise
// float_data packed or not. False for other data types, for raw_data under 4 bytes, and when no
// value was found. `out` is replaced.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
// A TensorProto's dims, unpacked or packed. `out` is replaced.
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);
// The Resize attributes of a NodeProto.
HcAttrs hcReadAttrs(GsSlice node);

// ---- writers (all append to `out`) ----

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v);
// Length-delimited field: tag, length, bytes.
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, GsSlice bytes);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, std::string_view bytes);
// Bytes exactly as given (an unchanged field with its tag).
void gsPutRaw(std::vector<uint8_t>& out, GsSlice bytes);
// A NodeProto as GraphProto field 1: inputs, output, name, op_type, `attrs` (complete attribute
// fields) and, when non-empty, domain.
void hcNode(std::vector<uint8_t>& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, GsSlice attrs, std::string_view domain = {});
// AttributeProto fields (NodeProto field 5): INT, INTS (unpacked), and STRING named "mode".
void hcAttrI(std::vector<uint8_t>& out, std::string_view name, int64_t value);
void hcAttrIs(std::vector<uint8_t>& out, std::string_view name, const int64_t* values, size_t count);
void hcAttrS(std::vector<uint8_t>& out, std::string_view value);
// A TensorProto initializer as GraphProto field 5, data as raw_data.
void hcInit(std::vector<uint8_t>& out, std::string_view name, int32_t dataType, const int64_t* dims,
            size_t dimCount, GsSlice raw);
// A FLOAT tensor ValueInfoProto as field `field`: positive dims as dim_value, the others (and all
// of them when `dims` is null) as dim_param "qo_hoist_d<index>".
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, std::string_view name, const int64_t* dims,
                          size_t count);
// Copies `model` into `out` with `edit` applied to its graph; every other byte is kept as it was,
// only each graph field's tag and length are re-encoded minimally. `out` is written only on
// success and may be the same vector as `model`.
void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

}  // namespace qo
