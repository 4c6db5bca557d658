// Binding the lip contour into the director's compose step: the alpha that blends the generated
// face over the source is clamped by a per-frame mask fed from outside, Min(a, lip_delivery),
// so the graph's own over-covering ellipse can no longer reach the output.
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "render/qo_graph_index.h"
#include "render/qo_graph_rewrites.h"

namespace qo {
namespace {

constexpr const char* kInput = "lip_delivery";
constexpr const char* kClamped = "tessera_lipdel_alpha";
constexpr const char* kMinName = "tessera_lipdel_min";
constexpr const char* kDash = " \xE2\x80\x94 ";
constexpr size_t kMaxVisits = 64;

constexpr uint32_t kGraphNode = 1, kGraphOutput = 12, kGraphInput = 11, kNodeInput = 1;

const GsNode* producerOf(const GsGraphIndex& g, const std::string& tensor) {
  const auto it = g.producer.find(tensor);
  return it == g.producer.end() ? nullptr : &g.nodes[it->second];
}

// A one-element float tensor holding exactly 1, from an initializer or a Constant node.
bool isOne(const GsGraphIndex& g, const std::string& tensor) {
  const GsSlice* t = g.constant(tensor);
  if (!t) return false;
  std::vector<int64_t> dims;
  hcTensorDims(*t, dims);
  int64_t elements = 1;
  for (int64_t d : dims) elements *= d;
  std::vector<float> v;
  return elements == 1 && hcTensorFloats(*t, v) && v.size() == 1 && v[0] == 1.0f;
}

std::string firstGraphOutput(GsSlice model) {
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f))
    if (f.isBytes(kGraphOutput)) return gsFirstStr(f.payloadSlice(), 1);
  return {};
}

int64_t firstDim(const GsGraphIndex& g, const std::string& input) {
  const auto it = g.inputInfo.find(input);
  std::vector<int64_t> dims;
  if (it == g.inputInfo.end() || !gsInputDims(it->second, dims) || dims.empty()) return -1;
  return dims[0];
}

// The NodeProto with every input named `from` renamed to `to`, as a graph field; every other
// field is copied as it was.
void renamedNode(const GsNode& n, const std::string& from, std::vector<uint8_t>& graph) {
  std::vector<uint8_t> node;
  GsReader r(n.payload);
  GsField f;
  while (r.next(f)) {
    if (f.isBytes(kNodeInput) && f.payloadSlice().view() == from) gsPutBytes(node, kNodeInput, std::string_view(kClamped));
    else gsPutRaw(node, f.rawSlice());
  }
  gsPutBytes(graph, kGraphNode, node);
}

struct Tail {
  size_t alphaProducer = 0, sub = 0, otherMul = 0;
  std::string alpha;
};

// The compose tail out = Add(Mul(Sub(one, a), Clip(...)), Mul(a, X)) at one Add, in any input order.
bool matchTail(const GsGraphIndex& g, const GsNode& add, Tail& t, bool& found) {
  found = false;
  if (add.inputs.size() != 2) return false;
  size_t mul[2];
  for (int i = 0; i < 2; ++i) {
    const auto it = g.producer.find(add.inputs[size_t(i)]);
    if (it == g.producer.end() || g.nodes[it->second].opType != "Mul") return false;
    mul[i] = it->second;
  }
  for (int m = 0; m < 2; ++m) {
    const GsNode& blend = g.nodes[mul[m]];
    const GsNode& other = g.nodes[mul[1 - m]];
    if (blend.inputs.size() != 2) continue;
    for (int order = 0; order < 2; ++order) {
      const GsNode* sub = producerOf(g, blend.inputs[size_t(order)]);
      const GsNode* clip = producerOf(g, blend.inputs[size_t(1 - order)]);
      if (!sub || !clip || sub->opType != "Sub" || clip->opType != "Clip" || sub->inputs.size() != 2) continue;
      if (!isOne(g, sub->inputs[0])) continue;
      const std::string& a = sub->inputs[1];
      if (other.inputs.size() != 2 || (other.inputs[0] == a) == (other.inputs[1] == a)) continue;
      found = true;
      t.alpha = a;
      t.sub = g.producer.at(blend.inputs[size_t(order)]);
      t.otherMul = mul[1 - m];
      const auto p = g.producer.find(a);
      if (p == g.producer.end()) return false;
      t.alphaProducer = p->second;
      return true;
    }
  }
  return false;
}

std::string selfCheck(GsSlice rebuilt, const std::string& a) {
  const GsGraphIndex g(rebuilt);
  if (!g.graphInputs.count(kInput)) return "self-check: the input did not survive the rebuild";

  std::set<size_t> readers;
  if (const auto it = g.consumers.find(kClamped); it != g.consumers.end()) readers.insert(it->second.begin(), it->second.end());
  bool stillReads = false;
  for (size_t i : readers)
    stillReads = stillReads || std::count(g.nodes[i].inputs.begin(), g.nodes[i].inputs.end(), a) > 0;
  if (readers.size() != 2 || stillReads)
    return "self-check: rewire did not take: " + std::to_string(readers.size()) + " consumers of " + kClamped +
           (stillReads ? ", one still reads the alpha" : "") + kDash +
           "refusing a graph that would serve the ellipse with the input attached and ignored";

  size_t mins = 0;
  bool minOk = false;
  for (const GsNode& n : g.nodes)
    if (n.name == kMinName) {
      ++mins;
      minOk = n.inputs == std::vector<std::string>{a, kInput};
    }
  if (mins != 1 || !minOk) return "self-check: the Min node did not survive the rebuild";

  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& in : g.nodes[i].inputs) {
      const auto p = in.empty() ? g.producer.end() : g.producer.find(in);
      if (p != g.producer.end() && p->second > i)
        return "self-check: node " + std::to_string(i) + " reads '" + in + "' produced at " + std::to_string(p->second) +
               kDash + "the rewritten graph is not topologically ordered";
    }
  return {};
}

}  // namespace

bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int32_t* canvasSide, int32_t* batchOut) {
  reason.clear();
  if (canvasSide) *canvasSide = 0;
  if (batchOut) *batchOut = 0;
  const GsGraphIndex g{GsSlice(model)};
  if (!g.hasGraph) {
    reason = "no graph";
    return false;
  }
  if (g.graphInputs.count(kInput)) {
    reason = std::string("the graph already carries an input named ") + kInput;
    return false;
  }

  // The walk starts at the output's producer, past the Identity / Cast a graph may end on.
  const GsNode* start = producerOf(g, firstGraphOutput(GsSlice(model)));
  for (int step = 0; start && step < 4 && (start->opType == "Identity" || start->opType == "Cast"); ++step)
    start = start->inputs.empty() ? nullptr : producerOf(g, start->inputs[0]);

  std::vector<size_t> adds;
  std::set<size_t> visited;
  std::function<void(size_t)> visit = [&](size_t i) {
    visited.insert(i);
    if (g.nodes[i].opType == "Add") adds.push_back(i);
    for (const std::string& in : g.nodes[i].inputs) {
      if (visited.size() >= kMaxVisits) return;
      const auto p = g.producer.find(in);
      if (p != g.producer.end() && !visited.count(p->second)) visit(p->second);
    }
  };
  if (start) visit(size_t(start - g.nodes.data()));

  Tail tail;
  bool matched = false;
  for (size_t i : adds) {
    bool found = false;
    if (matchTail(g, g.nodes[i], tail, found)) {
      matched = true;
      break;
    }
    if (found) {
      reason = "the compose alpha '" + tail.alpha + "' has no producer node";
      return false;
    }
  }
  if (!matched) {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }

  int64_t side = 0;
  for (const std::string& in : g.nodes[tail.alphaProducer].inputs) {
    if (!g.initializers.count(in)) continue;
    std::vector<int64_t> dims;
    hcTensorDims(*g.constant(in), dims);
    if (dims.size() >= 2 && dims[dims.size() - 1] == dims[dims.size() - 2]) side = dims.back();
  }
  if (!side) {
    std::vector<int64_t> dims;
    const auto it = g.inputInfo.find("P_rgb");
    if (it != g.inputInfo.end() && gsInputDims(it->second, dims) && dims.size() == 4 && dims[3] > 0) side = dims[3];
  }
  if (!side) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  int64_t batch = firstDim(g, "pooled64");
  if (batch <= 0) batch = firstDim(g, "kp_driving");
  if (batch <= 0) batch = 0;  // written as a symbolic dimension

  const std::string a = tail.alpha;
  std::vector<uint8_t> declared;
  const int64_t dims[4] = {batch, 1, side, side};
  gsPutTensorValueInfo(declared, kGraphInput, kInput, dims, 4);
  GsNodeEdit edit;
  edit.rewrite = [&](size_t i, std::vector<uint8_t>& graph) {
    if (i == tail.sub || i == tail.otherMul) {
      renamedNode(g.nodes[i], a, graph);
      return true;
    }
    if (i != tail.alphaProducer) return false;
    gsPutRaw(graph, g.nodes[i].raw);
    hcNode(graph, "Min", {a, kInput}, kClamped, kMinName, GsSlice());
    return true;
  };
  edit.graphTail = GsSlice(declared);
  edit.reserveExtra = declared.size() + 256;
  std::vector<uint8_t> rebuilt;
  gsRebuildNodes(GsSlice(model), edit, rebuilt);

  if (std::string failed = selfCheck(GsSlice(rebuilt), a); !failed.empty()) {
    reason = std::move(failed);
    return false;
  }
  model = std::move(rebuilt);
  if (canvasSide) *canvasSide = int32_t(side);
  if (batchOut) *batchOut = int32_t(batch);
  return true;
}

}  // namespace qo
