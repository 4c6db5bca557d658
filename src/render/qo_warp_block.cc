// The warp block on the source cone's tip, and its replacement by one WarpDirector node.
#include <set>

#include "render/qo_graph_rewrites.h"
#include "render/qo_source_cone.h"

namespace qo {
namespace {

bool isElementwise(const std::string& op) { return op == "Add" || op == "Sub" || op == "Mul"; }

bool readsAny(const GsNode& n, const std::set<std::string>& values) {
  for (const std::string& in : n.inputs)
    if (values.count(in)) return true;
  return false;
}

// Values computed from the grid's own ancestry alone: every value the grid is computed from
// (graph inputs excepted), and whatever other nodes compute only from those and constants. The
// recombination's correction weights are such values; a residual or gain from elsewhere is not.
std::set<std::string> gridSide(const GsGraphIndex& g, const std::string& grid, const std::set<std::string>& block) {
  std::set<std::string> side;
  std::vector<std::string> stack = {grid};
  while (!stack.empty()) {
    const std::string t = std::move(stack.back());
    stack.pop_back();
    if (t.empty() || side.count(t)) continue;
    const auto p = g.producer.find(t);
    if (p == g.producer.end()) continue;
    side.insert(t);
    for (const std::string& in : g.nodes[p->second].inputs) stack.push_back(in);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const GsNode& n : g.nodes) {
      if (n.inputs.empty() || n.outputs.empty() || side.count(n.outputs[0])) continue;
      bool all = true;
      for (const std::string& in : n.inputs)
        all = all && !in.empty() && !block.count(in) && (side.count(in) || g.constants.count(in));
      if (!all) continue;
      for (const std::string& out : n.outputs) side.insert(out);
      grew = true;
    }
  }
  return side;
}

struct Found {
  WarpBlock block;
  size_t gridSample = 0;
  std::vector<uint8_t> mask;  // GridSample, Slices, recombination
};

int64_t find(const GsGraphIndex& g, WarpBlock* out, Found& f, std::string& reason) {
  if (!out) {
    reason = "no out param";
    return 0;
  }
  if (!g.hasGraph) {
    reason = "no graph";
    return 0;
  }
  std::string tip;
  if (findSourceConeBoundary(g, tip) != 1) {
    reason = std::string("not one Concat consuming ") + "P_rgb";
    return 0;
  }
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const GsNode& n = g.nodes[i];
    if ((n.opType == "GridSample" || n.opType == "GridSampleFast") && n.inputs.size() >= 2 && n.inputs[0] == tip) {
      f.gridSample = i;
      ++count;
    }
  }
  if (count >= 2) {
    reason = "two GridSamples on the cone's tip";
    return 0;
  }
  if (count == 0) {
    reason = "no GridSample consuming '" + tip + "'";
    return 0;
  }
  const GsNode& gs = g.nodes[f.gridSample];
  if (gs.opType != "GridSampleFast" && !gsIsRewritableGridSample(gs.payload)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  const std::string& W = gs.outputs[0];
  const std::string& grid = gs.inputs[1];

  f.mask.assign(g.nodes.size(), 0);
  f.mask[f.gridSample] = 1;
  std::set<std::string> values = {W};
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const GsNode& n = g.nodes[i];
    if (n.opType != "Slice" || n.inputs.empty() || n.inputs[0] != W) continue;
    f.mask[i] = 1;
    for (const std::string& o : n.outputs) values.insert(o);
  }
  // A node joins the recombination only when every input is a block value, a constant or a
  // grid-side value: a residual or gain after the recombination stays in the graph.
  std::set<std::string> side = gridSide(g, grid, values);
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      const GsNode& n = g.nodes[i];
      if (f.mask[i] || !isElementwise(n.opType) || !readsAny(n, values)) continue;
      bool fits = true;
      for (const std::string& in : n.inputs) fits = fits && (values.count(in) || g.constants.count(in) || side.count(in));
      if (!fits) continue;
      f.mask[i] = 1;
      for (const std::string& o : n.outputs) values.insert(o);
      grew = true;
    }
  }

  std::set<std::string> exits;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (f.mask[i]) continue;
    for (const std::string& in : g.nodes[i].inputs) {
      if (in == W) {
        reason = "the fused GridSample's output is also read by " + g.nodes[i].opType + " outside the block";
        return 0;
      }
      if (values.count(in)) exits.insert(in);
    }
  }
  for (const std::string& o : g.graphOutputs)
    if (o != W && values.count(o)) exits.insert(o);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  if (!g.producer.count(grid)) {
    reason = "the grid has no producer";
    return 0;
  }
  int64_t nodes = 0;
  for (uint8_t m : f.mask) nodes += m;
  f.block = {tip, grid, *exits.begin(), nodes};
  *out = f.block;
  return nodes;
}

}  // namespace

int64_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason) {
  const GsGraphIndex g{GsSlice(model)};
  Found f;
  return find(g, block, f, reason);
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  const GsGraphIndex g{GsSlice(model)};
  if (!g.singleGraph) {
    reason = "the model carries more than one graph";
    return 0;
  }
  Found f;
  WarpBlock block;
  if (find(g, &block, f, reason) == 0) return 0;
  std::vector<uint8_t> cone;
  if (!gsSourceCone(g, block.tip, cone, reason)) return 0;
  Found again;
  WarpBlock second;
  std::string ignored;
  if (find(g, &second, again, ignored) == 0 || again.gridSample != f.gridSample) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  // The tip disappears with the cone: nothing but the GridSample may read it.
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (i == f.gridSample || cone[i]) continue;
    for (const std::string& in : g.nodes[i].inputs)
      if (in == block.tip) {
        reason = "the cone's tip is also read by " + g.nodes[i].opType;
        return 0;
      }
  }

  std::vector<uint8_t> remove(g.nodes.size(), 0);
  std::set<std::string> gone;  // values whose producers are removed, the exit apart
  size_t removed = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (!cone[i] && !f.mask[i]) continue;
    remove[i] = 1;
    ++removed;
    for (const std::string& o : g.nodes[i].outputs)
      if (o != block.exit) gone.insert(o);
  }

  const std::vector<uint8_t> tail =
      gsImportsDomain(model, "com.corvanta") ? std::vector<uint8_t>() : gsOpsetImport("com.corvanta", 1);
  GsNodeEdit edit;
  edit.rewrite = [&](size_t i, std::vector<uint8_t>& graph) {
    if (i >= remove.size() || !remove[i]) return false;
    if (i == f.gridSample)
      hcNode(graph, "WarpDirector", {"P_rgb", block.grid}, block.exit, "qo_warp_director", {}, "com.corvanta");
    return true;
  };
  edit.modelTail = GsSlice(tail);
  edit.dropValueInfo = &gone;
  std::vector<uint8_t> out;
  gsRebuildNodes(model, edit, out);
  model = std::move(out);
  return removed;
}

}  // namespace qo
