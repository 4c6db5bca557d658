#include "render/qo_graph_index.h"

#include <cstring>

namespace qo {
namespace {

constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttribute = 5,
                   kNodeDomain = 7;
constexpr uint32_t kTensorName = 8;

GsSlice firstMessage(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.isBytes(field)) return f.payloadSlice();
  return {};
}

}  // namespace

GsNode gsNodeOf(GsSlice raw, GsSlice payload) {
  GsNode n;
  n.raw = raw;
  n.payload = payload;
  GsReader r(payload);
  GsField f;
  while (r.next(f)) {
    if (f.isBytes(kNodeInput)) n.inputs.emplace_back(f.payloadSlice().view());
    else if (f.isBytes(kNodeOutput)) n.outputs.emplace_back(f.payloadSlice().view());
    else if (f.isBytes(kNodeName) && n.name.empty()) n.name = std::string(f.payloadSlice().view());
    else if (f.isBytes(kNodeOpType) && n.opType.empty()) n.opType = std::string(f.payloadSlice().view());
    else if (f.isBytes(kNodeDomain) && n.domain.empty()) n.domain = std::string(f.payloadSlice().view());
  }
  return n;
}

bool gsStandardDomain(const std::string& domain) { return domain.empty() || domain == "ai.onnx"; }

GsGraphIndex::GsGraphIndex(GsSlice model) {
  GsSlice graph;
  {
    GsReader r(model);
    GsField f;
    while (r.next(f)) {
      if (!f.isBytes(kModelGraph)) continue;
      if (hasGraph) singleGraph = false;
      if (!hasGraph) graph = f.payloadSlice();
      hasGraph = true;
    }
  }
  if (!hasGraph) return;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.isBytes(kGraphNode)) {
      GsNode n = gsNodeOf(f.rawSlice(), f.payloadSlice());
      const size_t index = nodes.size();
      for (const std::string& out : n.outputs)
        if (!out.empty()) producer.emplace(out, index);
      for (const std::string& in : n.inputs)
        if (!in.empty()) consumers[in].push_back(index);
      if (n.opType == "Constant" && n.outputs.size() == 1) {
        const GsSlice t = hcConstValue(n.payload);
        if (!t.empty()) constants.emplace(n.outputs[0], t);
      }
      nodes.push_back(std::move(n));
    } else if (f.isBytes(kGraphInitializer)) {
      const std::string name = gsFirstStr(f.payloadSlice(), kTensorName);
      initializers.insert(name);
      constants.emplace(name, f.payloadSlice());
    } else if (f.isBytes(kGraphOutput)) {
      graphOutputs.insert(gsFirstStr(f.payloadSlice(), 1));
    } else if (f.isBytes(kGraphInput)) {
      const std::string name = gsFirstStr(f.payloadSlice(), 1);
      graphInputs.insert(name);
      inputInfo.emplace(name, f.payloadSlice());
    }
  }
}

const GsSlice* GsGraphIndex::constant(const std::string& name) const {
  const auto it = constants.find(name);
  return it == constants.end() ? nullptr : &it->second;
}

bool GsGraphIndex::namesTensor(const std::string& name) const {
  return producer.count(name) || consumers.count(name);
}

bool gsInputDims(GsSlice valueInfo, std::vector<int64_t>& dims) {
  dims.clear();
  const GsSlice tensorType = firstMessage(firstMessage(valueInfo, 2), 1);
  if (tensorType.empty()) return false;
  GsReader r(tensorType);
  GsField f;
  bool hasShape = false;
  while (r.next(f)) {
    if (!f.isBytes(2)) continue;
    hasShape = true;
    GsReader sr(f.payloadSlice());
    GsField sf;
    while (sr.next(sf)) {
      if (!sf.isBytes(1)) continue;
      int64_t v = -1;
      GsReader dr(sf.payloadSlice());
      GsField df;
      while (dr.next(df))
        if (df.number == 1 && df.wireType == 0) v = int64_t(df.varint);
      dims.push_back(v);
    }
  }
  return hasShape;
}

GsAttr gsNodeAttr(GsSlice node, std::string_view name) {
  GsAttr a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (!f.isBytes(kNodeAttribute)) continue;
    GsAttr cur;
    std::string_view n;
    GsReader ar(f.payloadSlice());
    GsField af;
    while (ar.next(af)) {
      if (af.isBytes(1)) {
        n = af.payloadSlice().view();
      } else if (af.isBytes(4)) {
        cur.s = std::string(af.payloadSlice().view());
        cur.hasS = true;
      } else if (af.number == 3 && af.wireType == 0) {
        cur.i = int64_t(af.varint);
        cur.hasI = true;
      } else if (af.number == 2 && af.wireType == 5) {
        std::memcpy(&cur.f, af.raw + af.rawLen - 4, 4);
        cur.hasF = true;
      }
    }
    if (n != name) continue;
    cur.present = true;
    a = cur;
  }
  return a;
}

size_t gsAttrCount(GsSlice node) {
  size_t n = 0;
  GsReader r(node);
  GsField f;
  while (r.next(f)) n += f.isBytes(kNodeAttribute);
  return n;
}

bool gsImportsDomain(GsSlice model, std::string_view domain) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.isBytes(8) && gsFirstStr(f.payloadSlice(), 1) == domain) return true;
  return false;
}

std::vector<uint8_t> gsOpsetImport(std::string_view domain, uint64_t version) {
  std::vector<uint8_t> id, out;
  gsPutBytes(id, 1, domain);
  gsPutVarint(id, 2 << 3);  // version, a varint field
  gsPutVarint(id, version);
  gsPutBytes(out, 8, id);
  return out;
}

void gsRebuildNodes(GsSlice model, const GsNodeEdit& edit, std::vector<uint8_t>& out) {
  std::vector<uint8_t> built;
  built.reserve(model.len + edit.reserveExtra);
  GsReader r(model);
  GsField f;
  bool graphDone = false;
  while (r.next(f)) {
    if (!f.isBytes(kModelGraph) || graphDone) {
      gsPutRaw(built, f.rawSlice());
      continue;
    }
    graphDone = true;
    std::vector<uint8_t> graph;
    graph.reserve(f.payloadLen + edit.reserveExtra);
    GsReader g(f.payloadSlice());
    GsField gf;
    size_t node = 0;
    while (g.next(gf)) {
      if (gf.isBytes(kGraphNode) && edit.rewrite && edit.rewrite(node++, graph)) continue;
      if (gf.isBytes(kGraphValueInfo) && edit.dropValueInfo &&
          edit.dropValueInfo->count(gsFirstStr(gf.payloadSlice(), 1)))
        continue;
      gsPutRaw(graph, gf.rawSlice());
    }
    gsPutRaw(graph, edit.graphTail);
    gsPutBytes(built, kModelGraph, graph);
  }
  gsPutRaw(built, edit.modelTail);
  out = std::move(built);
}

}  // namespace qo
