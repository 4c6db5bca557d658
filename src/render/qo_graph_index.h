// A read-only index over the graph of a serialized model, for the load-time rewrites: the nodes
// in file order with their raw bytes, and maps from tensor names to producers, consumers and
// constant values. Every slice points into the model bytes, which must outlive the index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "render/qo_onnx_wire.h"

namespace qo {

struct GsNode {
  GsSlice raw;      // the whole GraphProto field (tag included), to copy it unchanged
  GsSlice payload;  // the NodeProto
  std::string opType, domain, name;
  std::vector<std::string> inputs, outputs;  // empty names kept: they are positional
};

struct GsGraphIndex {
  bool hasGraph = false;
  // Protobuf merges repeated graph fields into one graph; the rewrites only ever see the first,
  // so a model with several is left alone.
  bool singleGraph = true;
  std::vector<GsNode> nodes;
  std::map<std::string, size_t> producer;                // tensor -> index of the node writing it
  std::map<std::string, std::vector<size_t>> consumers;  // tensor -> indices of nodes reading it
  std::set<std::string> initializers, graphInputs, graphOutputs;
  // Initializers by name and outputs of single-output Constant nodes: TensorProto bytes.
  std::map<std::string, GsSlice> constants;
  // Graph inputs by name: ValueInfoProto bytes.
  std::map<std::string, GsSlice> inputInfo;

  explicit GsGraphIndex(GsSlice model);

  const GsSlice* constant(const std::string& name) const;
  // True when some node reads or writes `name`.
  bool namesTensor(const std::string& name) const;
};

// The names of one node (`payload` is the NodeProto, `raw` the graph field holding it).
GsNode gsNodeOf(GsSlice raw, GsSlice payload);

// A node's domain is the standard one when it is empty or "ai.onnx".
bool gsStandardDomain(const std::string& domain);

// Dims of a graph input's tensor type; false when it has no tensor shape. Symbolic dims are -1.
bool gsInputDims(GsSlice valueInfo, std::vector<int64_t>& dims);

// One attribute of a node, as far as the rewrites read attributes.
struct GsAttr {
  bool present = false;
  bool hasS = false, hasI = false, hasF = false;
  std::string s;
  int64_t i = 0;
  float f = 0;
};
// The last attribute named `name` wins, as in protobuf's merge of repeated fields into a map.
GsAttr gsNodeAttr(GsSlice node, std::string_view name);
// Number of attributes the node carries.
size_t gsAttrCount(GsSlice node);

// Whether the model imports an operator set of `domain`, and a ModelProto opset_import field
// (version `version`) to append when it does not.
bool gsImportsDomain(GsSlice model, std::string_view domain);
std::vector<uint8_t> gsOpsetImport(std::string_view domain, uint64_t version);

// An edit of a model's graph nodes, applied by gsRebuildNodes.
struct GsNodeEdit {
  // Called with each node's index; returns true after appending the node's replacement (zero
  // or more complete graph fields) to `graph`, false to copy the node unchanged. Null keeps all.
  std::function<bool(size_t node, std::vector<uint8_t>& graph)> rewrite;
  GsSlice graphTail;  // appended after the last graph field
  GsSlice modelTail;  // appended after the last model field
  // value_info entries of these tensors are dropped (their producers are gone).
  const std::set<std::string>* dropValueInfo = nullptr;
  size_t reserveExtra = 64;
};

// Copies `model` into `out` with `edit` applied to its first graph; every other byte is kept.
void gsRebuildNodes(GsSlice model, const GsNodeEdit& edit, std::vector<uint8_t>& out);

}  // namespace qo
