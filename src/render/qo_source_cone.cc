#include "render/qo_source_cone.h"

#include <set>

namespace qo {
namespace {

constexpr const char* kPRgb = "P_rgb";

bool reads(const GsNode& n, const std::string& name) {
  for (const std::string& in : n.inputs)
    if (in == name) return true;
  return false;
}

// The preconditions both hoist graphs share, and the cone.
bool hoistCone(const std::string& boundary, const GsGraphIndex& g,
               std::vector<uint8_t>& cone, std::string& reason) {
  if (!g.hasGraph) {
    reason = "no graph";
    return false;
  }
  if (!g.graphInputs.count(kPRgb)) {
    reason = "no P_rgb input";
    return false;
  }
  if (!gsSourceCone(g, boundary, cone, reason)) return false;
  // A cone value that is also a graph output would vanish from the per-frame graph.
  for (const std::string& out : g.graphOutputs) {
    const auto p = g.producer.find(out);
    if (out != boundary && p != g.producer.end() && cone[p->second]) {
      reason = "cone value '" + out + "' escapes to the graph outputs";
      return false;
    }
  }
  return true;
}

}  // namespace

size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary) {
  return findSourceConeBoundary(GsGraphIndex{GsSlice(model)}, boundary);
}

size_t findSourceConeBoundary(const GsGraphIndex& g, std::string& boundary) {
  size_t count = 0;
  std::string found;
  for (const GsNode& n : g.nodes) {
    if (n.opType != "Concat" || !reads(n, kPRgb) || n.outputs.empty() || n.outputs[0].empty()) continue;
    ++count;
    found = n.outputs[0];
  }
  boundary = count == 1 ? found : std::string();
  return count;
}

bool gsSourceCone(const GsGraphIndex& g, const std::string& boundary, std::vector<uint8_t>& coneMask,
                  std::string& reason) {
  coneMask.assign(g.nodes.size(), 0);
  std::vector<std::string> stack = {boundary};
  std::set<std::string> visited;
  while (!stack.empty()) {
    const std::string t = std::move(stack.back());
    stack.pop_back();
    if (t.empty() || t == kPRgb || g.initializers.count(t) || !visited.insert(t).second) continue;
    const auto p = g.producer.find(t);
    if (p == g.producer.end()) {
      reason = g.graphInputs.count(t) ? "cone reads graph input '" + t + "'" : "cone leaf '" + t + "' has no producer";
      return false;
    }
    const GsNode& n = g.nodes[p->second];
    if (n.opType == "Constant") continue;
    coneMask[p->second] = 1;
    for (const std::string& in : n.inputs) stack.push_back(in);
  }
  std::set<std::string> coneValues;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (coneMask[i])
      for (const std::string& out : g.nodes[i].outputs)
        if (!out.empty()) coneValues.insert(out);
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (coneMask[i]) continue;
    const GsNode& n = g.nodes[i];
    if (reads(n, kPRgb)) {
      reason = "P_rgb is also read outside the cone by " + n.opType;
      return false;
    }
    for (const std::string& in : n.inputs)
      if (in != boundary && coneValues.count(in)) {
        reason = "cone value '" + in + "' escapes to " + n.opType;
        return false;
      }
  }
  return true;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason) {
  const GsGraphIndex g{GsSlice(model)};
  std::vector<uint8_t> cone;
  if (!hoistCone(boundary, g, cone, reason)) return false;
  std::vector<uint8_t> drop(g.nodes.size(), 1);
  bool any = false;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (cone[i] || g.nodes[i].opType == "Constant") {
      drop[i] = 0;
      any = true;
    }
  if (!any) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit edit;
  edit.dropMask = &drop;
  edit.keepOnlyPRgbInput = true;
  edit.dropOutputs = true;
  edit.addedName = &boundary;
  edit.addedDimCount = 4;
  edit.addedField = 12;
  gsRebuild(model, edit, prep);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t dimCount, std::vector<uint8_t>& perFrame, std::string& reason) {
  const GsGraphIndex g{GsSlice(model)};
  std::vector<uint8_t> cone;
  if (!hoistCone(boundary, g, cone, reason)) return false;
  GsGraphEdit edit;
  edit.dropMask = &cone;  // Constant nodes are never in the cone: they stay
  edit.dropPRgbInput = true;
  edit.addedName = &boundary;
  edit.addedDims = dims;
  edit.addedDimCount = dimCount;
  edit.addedField = 11;
  gsRebuild(model, edit, perFrame);
  return true;
}

}  // namespace qo
